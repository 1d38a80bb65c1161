"""The package through the real pcscd, against software tokens in the two
vpcd readers, its results checked against draxel-tool's."""

from __future__ import annotations

import io
import os
import signal
import subprocess
import sys
import time
from typing import Iterator

import pytest

import draxel
from draxel import Password
from conftest import SOURCE, program

PUK, SECOND_PUK = "12345678", "87654321"


class Sim:
    """draxel-token-sim in vpcd reader 0 or 1, stopped by its PID."""

    def __init__(self, index: int, *args: str) -> None:
        self.process = subprocess.Popen(
            [program("DRAXEL_TOKEN_SIM"), "--port", str(35963 + index), *args]
        )
        self.reader, self.serial = "", ""
        for _ in range(100):
            found = [r for r in draxel.readers() if r.name.startswith("Virtual PCD") and r.token]
            mine = sorted(r.name for r in draxel.readers() if r.name.startswith("Virtual PCD"))
            if len(mine) > index and any(r.name == mine[index] for r in found):
                self.reader = mine[index]
                self.serial = next(r.serial or "" for r in found if r.name == self.reader)
                return
            time.sleep(0.1)
        self.stop()
        pytest.fail(f"the software token did not appear in reader {index}")

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        assert self.process.wait(10) == 0


def tool(*args: str, pin: str = "1234", check: bool = True) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, DRAXEL_PIN=pin, DRAXEL_PUK=PUK, DRAXEL_PASS_PHRASE="phrase")
    return subprocess.run(
        [program("DRAXEL_TOOL"), "--wait", "2", *args],
        env=env,
        capture_output=True,
        text=True,
        check=check,
        timeout=60,
    )


@pytest.fixture(scope="module")
def first() -> Iterator[Sim]:
    sim = Sim(0)
    yield sim
    sim.stop()


class Fails(io.RawIOBase):
    """A source that fails after its first chunk, as a full disk would."""

    def __init__(self) -> None:
        self.reads = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview") -> int:  # type: ignore[override]
        self.reads += 1
        if self.reads > 1:
            raise OSError("the source failed")
        buffer[:64] = bytes(64)
        return 64


def test_example_messages_files_and_the_tool(first: Sim, tmp_path: "os.PathLike[str]") -> None:
    run = subprocess.run(
        [sys.executable, str(SOURCE / "examples/host_example.py"), "from python"],
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0 and "deciphered: from python" in run.stdout, run.stderr
    data = bytes(range(256)) * 4 + b"tail"  # over several chunks, not a multiple of 8
    path = lambda name: os.path.join(tmp_path, name)
    with open(path("plain"), "wb") as out:
        out.write(data)
    with draxel.connect() as token:
        assert token.serial_number() == first.serial and token.version() == 18
        with pytest.raises(draxel.WrongPasswordError) as wrong:
            token.verify_pin("0000")
        assert wrong.value.tries_left == 2 == token.tries_left(Password.PIN)
        assert not token.pin_verified()
        token.verify_pin(bytearray(b"1234"))
        token.create_group("team", "phrase")
        for mode, group in ((draxel.Mode.KEY_0B, None), (draxel.Mode.KEY_0D, None), (None, "team")):
            text = token.encrypt("сообщение", "phrase", mode=mode, group=group)
            back = token.decrypt(text.lower(), "phrase", mode=mode, group=group)
            assert back == "сообщение"
        with pytest.raises(draxel.WrongPasswordError):
            token.decrypt(text, "other", group="team")
        token.encrypt_file(path("plain"), path("fast.drx"), "phrase", fast=True, chunk_size=64)
        with open(path("plain"), "rb") as source, open(path("token.drx"), "wb") as target:
            token.encrypt_file(source, target, "phrase", group="team", chunk_size=64)
        mine = token.encrypt("from the package", "phrase")
        # a token-mode file that fails midway lets the token go
        with pytest.raises(OSError):
            token.encrypt_file(Fails(), io.BytesIO(), "phrase", chunk_size=64)
        assert tool("msg", "decrypt", mine).stdout.strip() == "from the package"
        theirs = tool("msg", "encrypt", "-m", "2", "from the tool").stdout.strip()
        tool("file", "decrypt", path("fast.drx"), "-o", path("fast.out"))
        tool("file", "encrypt", "-g", "team", path("plain"), "-o", path("tool.drx"))
        # the tool's connection reset the card: verify again
        with pytest.raises(draxel.RefusedError):
            token.decrypt(theirs, "phrase", mode=2)
        token.verify_pin("1234")
        assert token.decrypt(theirs, "phrase", mode=2) == "from the tool"
        for name in ("token.drx", "tool.drx"):
            size = token.decrypt_file(
                path(name), path("out"), "phrase", group="team", chunk_size=64
            )
            assert size == len(data)
            assert open(path("out"), "rb").read() == data
        damaged = bytearray(open(path("fast.drx"), "rb").read())
        damaged[100] ^= 1
        with pytest.raises(draxel.IntegrityError):
            token.decrypt_file(io.BytesIO(damaged), path("out"), "phrase", chunk_size=64)
        assert open(path("out"), "rb").read() == data  # as it was
        assert not [name for name in os.listdir(tmp_path) if name.startswith(".")]
        assert os.stat(path("out")).st_mode & 0o777 == 0o600
    assert open(path("fast.out"), "rb").read() == data
    with pytest.raises(draxel.NoTokenError):
        draxel.connect("Virtual PCD 00 01")  # an empty reader


def test_groups_join_note_copy_and_passwords(first: Sim) -> None:
    second = Sim(1, "--t0", "--puk", SECOND_PUK)
    try:
        with pytest.raises(draxel.NoTokenError) as several:
            draxel.connect()
        assert several.value.code == 124
        with draxel.connect(second.reader) as token:
            token.verify_pin("1234")
            request = token.group_request("joiner")
        with draxel.connect(first.reader) as token, token.transaction():
            token.verify_pin("1234")
            token.create_group("club", "phrase")
            invite = token.group_invite("club", request)
            sealed = token.encrypt("to the club", "phrase", group="club")
            assert [(g.name, g.admin) for g in token.groups()] == [("team", True), ("club", True)]
        with draxel.connect(second.reader) as token:
            token.verify_pin("1234")
            token.accept_invite(invite, "club", "joiner")
            assert token.decrypt(sealed, "joiner", group="club") == "to the club"  # its own phrase
            assert [g.admin for g in token.groups()] == [False]
        with draxel.connect(first.reader) as token:
            token.verify_pin("1234")
            token.write_note(b"a secret", 100)
            assert token.read_note(100, 8) == b"a secret"
            assert token.note_info() == draxel.NoteInfo(65280, Password.PIN)
            token.clear_note()
            sealed = token.encrypt("copied", "phrase")
            duplicate = token.export_duplicate(PUK)
            token.import_duplicate(PUK, duplicate)
            assert token.puk_is_default()
            token.connect_second()
            token.copy_to_second(PUK, SECOND_PUK)
            assert token.note_info(second=True).size == 65280
            for left in (2, 1, 0):
                with pytest.raises(draxel.WrongPasswordError) as wrong:
                    token.verify_pin("0000")
                assert wrong.value.tries_left == left
            with pytest.raises(draxel.BlockedError):
                token.verify_pin("1234")
            token.unblock(Password.PIN, PUK, "2468")
            token.verify_pin("2468")
        with draxel.connect(second.reader) as token:
            token.verify_pin("1234")
            assert token.decrypt(sealed, "phrase") == "copied"
            source = token.generate_key_source()
            token.load_keys(source, "11111111")
            sealed = token.encrypt("the same keys", "phrase", mode=2)
            token.verify(Password.ERASE, "00000000")
            token.clean()
            assert token.groups() == []
        with draxel.connect(first.reader) as token:
            token.load_keys(source, "11111111")
            token.verify_pin("2468")
            assert token.decrypt(sealed, "phrase", mode=2) == "the same keys"
    finally:
        second.stop()
