"""The package against the library's headers, and its behaviour where no
token is needed: prototypes, error classes, arguments refused before any
exchange, the host handler's faults, pcscd missing."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import threading
import time

import pytest

import draxel
from draxel import _lib, errors
from conftest import MAIN, SOURCE, compiler


def test_prototypes_match_the_header(tmp_path: "os.PathLike[str]") -> None:
    # a redeclaration that differs from the header's is a compile error
    source = os.path.join(tmp_path, "prototypes.c")
    with open(source, "w") as out:
        out.write('#include "draxel_lib.h"\n' + _lib.c_declarations())
    subprocess.run(
        [compiler("cc"), "-fsyntax-only", "-Werror", "-I", str(MAIN), source], check=True
    )


def host_functions() -> set[str]:
    with open(MAIN / "draxel_lib.h") as header:
        text = re.sub(r"/\*.*?\*/", "", header.read(), flags=re.S)
    return set(re.findall(r"^(?!typedef\b)[A-Za-z_][\w \*]*?\b(\w+)\(", text, flags=re.M))


def test_every_host_function_is_wrapped_or_declared_unwrapped() -> None:
    names = host_functions()
    assert {"EncryptMes", "GetCardVer", "InitLib", "FreeDataBlock"} <= names
    package = "".join(
        open(os.path.join(_lib.__file__.rsplit("/", 1)[0], f)).read()
        for f in ("token.py", "errors.py")
    )
    readme = open(SOURCE / "README.md").read()
    for name in sorted(names):
        if name in draxel.UNWRAPPED:
            assert name in readme, f"{name}: its reason for staying unwrapped is not in the README"
            continue
        assert name in _lib.PROTOTYPES, f"{name} has no prototype"
        assert re.search(rf'["\.]{name}\b', package), f"{name} is not called"


CLASSES_PROGRAM = r"""
#include <cstdio>
#include <initializer_list>
#include "error_table.h"
using namespace draxel_errors;
static const char *kinds[] = {"None", "Usage", "NoToken", "WrongPassword", "Blocked",
                              "Integrity", "Refused", "Communication", "Failure"};
int main() {
    for (const ErrorInfo &e : kErrors)
        std::printf("%lu %s %s\n", e.code, e.name, kinds[(int)e.error_class]);
    for (unsigned long code : {139UL, 140UL, 155UL, 156UL, 0x80100001UL, 0x8010001DUL})
        std::printf("%lu - %s\n", code, kinds[(int)class_of(code)]);
    for (LONG code : kPcscNoToken)
        std::printf("%lu - %s\n", (unsigned long)(uint32_t)code,
                    kinds[(int)class_of((uint32_t)code)]);
}
"""


def test_error_classes_match_the_librarys_table(tmp_path: "os.PathLike[str]") -> None:
    source, binary = os.path.join(tmp_path, "classes.cpp"), os.path.join(tmp_path, "classes")
    with open(source, "w") as out:
        out.write(CLASSES_PROGRAM)
    subprocess.run(
        [compiler("c++"), "-std=c++17", "-I", str(MAIN), "-I", "/usr/include/PCSC", source,
         "-o", binary],
        check=True,
    )
    rows = subprocess.run([binary], check=True, capture_output=True, text=True).stdout.split("\n")
    seen = set()
    for row in filter(None, rows):
        code, name, kind = row.split()
        assert errors.kind_of(int(code)) == kind, row
        if name != "-" and int(code) not in seen:  # 0 is listed twice: the first row holds
            assert errors.CODES[int(code)][:2] == (name, kind), row
            cls = errors.CLASSES.get(kind)
            raised = errors.error_for(int(code))
            assert kind == "None" or isinstance(raised, cls or errors.FailureError)
        seen.add(int(code))
    assert set(errors.CODES) <= seen, "codes here that the library does not have"
    wrong = errors.error_for(143, "verifying")
    assert isinstance(wrong, draxel.WrongPasswordError) and wrong.tries_left == 3
    assert wrong.text.endswith("попыток:  3") and "143" in str(wrong)


class Script:
    """A token that answers SELECT and then what the test says."""

    def __init__(self, *replies: object) -> None:
        self.replies = list(replies)
        self.sent: list[bytes] = []

    def __call__(self, apdu: bytes) -> bytes:
        self.sent.append(apdu)
        if apdu[1] == 0xA4 and apdu[4] == 10:
            return b"\x90\x00"
        reply = self.replies.pop(0) if self.replies else b"\x90\x00"
        if isinstance(reply, BaseException):
            raise reply
        return reply  # type: ignore[return-value]


@pytest.mark.parametrize(
    "reply", [RuntimeError("card gone"), b"\x90", bytes(300), "9000", None]
)
def test_a_handler_that_fails_fails_the_exchange(reply: object) -> None:
    script = Script(reply)
    with draxel.connect_handler(script) as token:
        with pytest.raises(draxel.CommunicationError) as caught:
            token.verify_pin("1234")
        if isinstance(reply, Exception):
            assert caught.value.__cause__ is reply
        assert caught.value.code == 116
        token.verify_pin("1234")  # the next exchange is sound again
    with pytest.raises(draxel.NoTokenError):
        draxel.connect_handler(lambda apdu: b"\x6a\x82")  # no token: nothing left open
    with draxel.connect_handler(Script(b"\x63\xc2")) as token:
        with pytest.raises(draxel.WrongPasswordError) as wrong:
            token.verify_pin("0000")
        assert wrong.value.tries_left == 2


def test_arguments_are_refused_before_any_exchange() -> None:
    script = Script()
    with draxel.connect_handler(script) as token:
        sent = len(script.sent)
        bad: list[tuple[type[Exception], object]] = [
            (ValueError, lambda: token.verify_pin("12\x0034")),
            (ValueError, lambda: token.verify_pin("")),
            (ValueError, lambda: token.verify_pin(bytearray(256))),
            (TypeError, lambda: token.verify_pin(1234)),  # type: ignore[arg-type]
            (ValueError, lambda: token.encrypt("", "p")),
            (ValueError, lambda: token.encrypt("m", "p", mode=draxel.Mode.GROUP)),
            (ValueError, lambda: token.encrypt("m", "p", group="g", mode=1)),
            (ValueError, lambda: token.encrypt("m", "x" * 220)),
            (ValueError, lambda: token.create_group("g" * 64, "p")),
            (TypeError, lambda: token.decrypt(b"00", "p")),  # type: ignore[arg-type]
            (ValueError, lambda: token.write_note(b"x", 0xFFFF + 1)),
            (ValueError, lambda: token.write_note(b"xy", 0xFFFF)),
            (ValueError, lambda: token.load_keys(bytes(159), "11111111")),
            (ValueError, lambda: token.encrypt_file("/nonexistent", "/dev/null", chunk_size=12)),
            (ValueError, lambda: token.unblock(draxel.Password.PUK, "12345678")),
        ]
        for kind, call in bad:
            with pytest.raises(kind):
                call()  # type: ignore[operator]
        assert len(script.sent) == sent
        with pytest.raises(draxel.BusyError):
            draxel.connect_handler(Script())
    assert token.closed
    with pytest.raises(ValueError):
        token.serial_number()


def test_secrets_are_wiped_and_calls_serialised(monkeypatch: pytest.MonkeyPatch) -> None:
    buffers: list[object] = []
    real = draxel._buffers.Scratch.chars

    def keep(self: draxel._buffers.Scratch, size: int) -> object:
        buffers.append(real(self, size))
        return buffers[-1]

    monkeypatch.setattr(draxel._buffers.Scratch, "chars", keep)
    commands = []

    def handler(apdu: bytes) -> bytes:
        commands.append(apdu[1])
        time.sleep(0.002)  # room for another thread's command to come between
        return b"\x90\x00"

    with draxel.connect_handler(handler) as token:
        del commands[:]
        pin = bytearray(b"2468")
        threads = [threading.Thread(target=token.verify_pin, args=(pin,)) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert buffers and all(not any(bytes(b)) for b in buffers)  # type: ignore[call-overload]
    assert commands == [0xA4, 0x20] * 4, "each operation's commands together"


def test_no_pcscd_names_the_cause() -> None:
    # a socket nobody listens on stands for a pcscd that is not running
    env = dict(os.environ, PCSCLITE_CSOCK_NAME="/nonexistent/pcscd.comm")
    code = "import draxel\ntry:\n draxel.connect()\n"
    code += "except draxel.NoTokenError as e:\n print(e.pcsc_result, e)"
    out = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    ).stdout
    assert out.startswith(str(0x8010001D)) and "start it" in out
