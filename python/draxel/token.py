"""The token: connecting, and every operation of the library on it."""

from __future__ import annotations

import contextlib
import ctypes
import enum
import os
import tempfile
from dataclasses import dataclass
from typing import IO, Any, Callable, Iterator, Optional, Union

from . import _lib
from ._buffers import (
    MAX_MESSAGE_GROUP,
    MAX_MESSAGE_PHRASE,
    MAX_NAME,
    Scratch,
    Text,
    as_bytes,
    int_arg,
    ubytes,
    wipe,
)
from .errors import error_for

PathOrFile = Union[str, "os.PathLike[str]", IO[bytes]]
Transmit = Callable[[bytes], bytes]

CHUNK = 1 << 20
_HEADER = 48
_HEAD_ROOM = _HEADER + 32  # the header and the enciphered key of fast group files
_CRC = 4
_FIRST, _LAST, _FAST = 0x100, 0x200, 0x001
_MAX_TEXT = 2 * 255 + 1  # a request or invite: at most 255 bytes as hex
_MAX_NOTE_END = 0x10000
_BLOCKED_STATUS = 0x6983


class Mode(enum.IntEnum):
    """The key a message or file is enciphered under."""

    KEY_0B = 1
    KEY_0D = 2
    GROUP = 3


class Password(enum.Enum):
    """The token's passwords, by their references."""

    PIN = 0x05
    PUK = 0x07
    ERASE = 0x09
    NOTE = 0x11


_VERIFY = {
    Password.PIN: "VerifyPIN",
    Password.PUK: "VerifyPUK",
    Password.ERASE: "VerifyErasePas",
    Password.NOTE: "VerifyNotePas",
}
_CHANGE = {
    Password.PIN: "ChangePIN",
    Password.PUK: "ChangePUK",
    Password.ERASE: "ChangeErasePas",
    Password.NOTE: "ChangeNotePas",
}


@dataclass(frozen=True)
class Reader:
    """A PC/SC reader: whether it holds a card, a token, and its serial number."""

    name: str
    card: bool
    token: bool
    serial: Optional[str]


@dataclass(frozen=True)
class Group:
    """A group on the token; admin: this token administers it."""

    name: str
    attribute: int

    @property
    def admin(self) -> bool:
        """This token administers the group (attribute 01)."""
        return self.attribute == 1


@dataclass(frozen=True)
class NoteInfo:
    """The note's size in bytes and the password guarding it."""

    size: int
    policy: Password


class BusyError(RuntimeError):
    """Another connection is open: the library holds one token at a time."""


_active: Optional["Token"] = None


def _check(rc: int, doing: str) -> None:
    if rc != 0:
        raise error_for(rc, doing)


def _busy() -> None:
    if _active is not None:
        raise BusyError("a token is already connected in this process; close it first")


def _mode(mode: Optional[int], group: Optional[Text]) -> int:
    resolved = Mode(mode) if mode is not None else Mode.GROUP if group is not None else Mode.KEY_0B
    if (resolved == Mode.GROUP) != (group is not None):
        raise ValueError("a group goes with mode GROUP, and mode GROUP needs a group")
    return int(resolved)


def _split(records: bytes) -> list[Group]:
    groups = []
    at = 0
    while at < len(records):
        end = records.index(b"\0", at + 1)
        groups.append(Group(records[at + 1 : end].decode("utf-8", "replace"), records[at]))
        at = end + 1
    return groups


@_lib.locked
def readers() -> list[Reader]:
    """The PC/SC readers, each probed for a card and a token (as
    `draxel-tool readers` shows them). Not while a token is connected."""
    _busy()
    lib = _lib.library()
    lib.InitLib(None)
    rc = lib.OpenReaderContext(0)
    _check(rc, "connecting to pcscd")
    try:
        size = ctypes.c_ulong(0)
        rc = lib.ListReaders(None, ctypes.byref(size))
        if rc == 0x8010002E:  # SCARD_E_NO_READERS_AVAILABLE
            return []
        _check(rc, "listing the readers")
        names = ctypes.create_string_buffer(size.value + 1)
        _check(lib.ListReaders(names, ctypes.byref(size)), "listing the readers")
        return [_probe(name) for name in names.raw[: size.value].split(b"\0") if name]
    finally:
        lib.CloseReaderContext()


def _probe(name: bytes) -> Reader:
    lib = _lib.library()
    record = lib.AllocReaderStruct(name)
    try:
        card = lib.OpenReader(None, record, False) == 0
        token = card and lib.APDU_SelectApplication(record) == 0
        serial = (ctypes.c_ubyte * 7)()
        known = token and lib.APDU_GetSN(record, serial, 7) == 0
        if card:
            lib.CloseReader(record)
    finally:
        lib.FreeReaderStruct(record)
    return Reader(
        name.decode("utf-8", "replace"), card, token, bytes(serial).hex().upper() if known else None
    )


@_lib.locked
def connect(reader: Optional[str] = None, *, first: bool = False) -> "Token":
    """Connect to the token through pcscd.

    reader: the reader's name; None finds the token among all readers, which
    must hold exactly one (or, with first=True, the first one in PC/SC order
    wins). Raises NoTokenError (no token, several tokens, no pcscd: see its
    text), BusyError while another connection is open.
    """
    _busy()
    lib = _lib.library()
    lib.InitLib(None)
    if reader is None:
        _check(lib.ConnectToMekta(not first), "connecting to the token")
    else:
        with Scratch() as scratch:
            name = scratch.text(reader, "reader", 1, 4096)
            _check(lib.OpenReaderContext(0), "connecting to pcscd")
            rc = lib.SelectReader(name)
            # a reader that cannot be opened holds no card, so no token
            current = _lib.context().pCurReader
            if rc == 116 or rc == 0 and lib.APDU_SelectApplication(current) != 0:
                rc = 123
            if rc != 0:
                _release()
                raise error_for(rc, f"connecting to the token in {reader!r}")
    return Token(None)


@_lib.locked
def connect_handler(transmit: Transmit) -> "Token":
    """Connect to a token that the callable transmit reaches: it receives a
    command APDU (bytes) and returns the reply, data and SW1 SW2 (2 to 258
    bytes). No PC/SC call is made. An exception it raises fails the exchange
    (CommunicationError, its __cause__ the exception), never the process."""
    _busy()
    token = Token(transmit)
    try:
        _check(_lib.library().ConnectToMekta(False), "connecting to the token")
    except BaseException:
        token.close()
        raise
    return token


@_lib.locked
def key_buffer(source: Union[bytes, bytearray]) -> bytearray:
    """The 128-byte key buffer of a 160-byte key source, as load_keys loads
    it (MakeKeysFromBuf); no token needed."""
    data = as_bytes(source, "source")
    if isinstance(source, str) or len(data) != 160:
        raise ValueError("a key source is 160 bytes")
    out = bytearray(128)
    with Scratch() as scratch:
        copy = scratch.data(160)
        copy[:] = data
        _check(
            _lib.library().MakeKeysFromBuf(ubytes(out), ubytes(copy), 160), "making the key buffer"
        )
    return out


def last_transport_code() -> int:
    """The transport code of the last group request, invite or acceptance
    exchange (GetLastErrorCode); 0 before any."""
    with _lib.LOCK:
        return int(_lib.library().GetLastErrorCode())


def _release() -> None:
    """Close and free the context's readers and release the PC/SC context."""
    lib = _lib.library()
    ctx = _lib.context()
    second, current = ctx.pSecondReader, ctx.pCurReader
    for record in (second, current) if second != current else (current,):
        if record:
            lib.CloseReader(record)
            lib.FreeReaderStruct(record)
    ctx.pSecondReader = ctx.pCurReader = None
    lib.CloseReaderContext()


def _read_full(source: Any, view: memoryview) -> int:
    got = 0
    while got < len(view):
        n = source.readinto(view[got:])
        if not n:
            break
        got += n
    return got


@contextlib.contextmanager
def _opened(target: PathOrFile, write: bool, private: bool) -> Iterator[Any]:
    if not isinstance(target, (str, os.PathLike)):
        yield target
        return
    if not write:
        with open(target, "rb", buffering=0) as source:
            yield source
        return
    # a file that fails midway leaves the target as it was
    folder, name = os.path.split(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=folder)
    done = False
    try:
        if not private:
            umask = os.umask(0o22)
            os.umask(umask)
            os.fchmod(fd, 0o666 & ~umask)
        with open(fd, "wb", buffering=0) as sink:
            yield sink
        os.replace(temporary, target)
        done = True
    finally:
        if not done:
            os.unlink(temporary)


class Token:
    """A connected token. Use connect() or connect_handler() to make one, and
    close it (or use it in a with block): closing powers a card that saw a
    password down, so that no verified password outlives the connection."""

    def __init__(self, handler: Optional[Transmit]) -> None:
        global _active
        self._open = True
        self._version: Optional[int] = None
        self._handler = handler
        self._handler_error: Optional[BaseException] = None
        lib = _lib.library()
        if handler is not None:
            self._callback = _lib.TRANSMIT(self._transmit)
            self._table = _lib.ReaderFuncStruct(self._callback)
            lib.InitLib(ctypes.byref(self._table))
        _active = self

    # -- connection ---------------------------------------------------------

    def _transmit(self, send: Any, send_len: int, recv: Any, recv_len: Any) -> int:
        try:
            capacity = recv_len[0]
            recv_len[0] = 0
            assert self._handler is not None, "the handler is gone"
            reply = self._handler(ctypes.string_at(send, send_len))
            if not isinstance(reply, (bytes, bytearray)) or not 2 <= len(reply) <= capacity:
                raise ValueError(f"the handler's reply must be 2 to {capacity} bytes")
            ctypes.memmove(recv, bytes(reply), len(reply))
            recv_len[0] = len(reply)
        except BaseException as exc:  # nothing may cross into the library
            self._handler_error = exc
        return 0

    def _call(self, name: str, doing: str, *args: Any) -> None:
        """One library call that fails with a recorded code."""
        self._ensure_open()
        self._handler_error = None
        rc = int(getattr(_lib.library(), name)(*args))
        caught, self._handler_error = self._handler_error, None
        if caught is not None and not isinstance(caught, Exception):
            raise caught
        if rc != 0:
            raise error_for(rc, doing) from caught

    def _ensure_open(self) -> None:
        if not self._open:
            raise ValueError("the token is closed")

    @_lib.locked
    def close(self) -> None:
        """Close the connection (CloseReader), free it, release PC/SC."""
        global _active
        if not self._open:
            return
        self._open = False
        _release()
        if self._handler is not None:
            _lib.library().InitLib(None)
            self._handler = None
        _active = None

    def __enter__(self) -> "Token":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        """The connection is closed."""
        return not self._open

    @_lib.locked
    def connect_second(self, reader: Optional[str] = None) -> None:
        """Find the second token, for copy_to_second and the second token's
        note: the one other token present, or the one in reader."""
        self._ensure_open()
        lib = _lib.library()
        if reader is None:
            rc = int(lib.ConnectToSecondMekta())
            _check(rc, "connecting to the second token")
            return
        with Scratch() as scratch:
            name = scratch.text(reader, "reader", 1, 4096)
            ctx = _lib.context()
            if lib.IsCurrentReader(ctx.pCurReader, name):
                raise ValueError("the second reader is the first one")
            record = lib.AllocReaderStruct(name)
            if not record:
                raise MemoryError
            if lib.OpenReader(None, record, False) != 0 or lib.APDU_SelectApplication(record) != 0:
                lib.CloseReader(record)
                lib.FreeReaderStruct(record)
                raise error_for(123, f"connecting to the token in {reader!r}")
            ctx.pSecondReader = record

    @_lib.locked
    def is_present(self) -> bool:
        """Is the card still there (CheckCurrentReader)?"""
        self._ensure_open()
        return int(_lib.library().CheckCurrentReader()) == 0

    @_lib.locked
    def serial_number(self) -> str:
        """The 7-byte serial number as 14 hex digits."""
        with Scratch() as scratch:
            out = scratch.chars(15)
            self._call("GetSN", "reading the serial number", out)
            return out.value.decode("ascii")

    @_lib.locked
    def version(self) -> int:
        """The token's version; 0 for a token without a version file."""
        if self._version is None:
            ver = ctypes.c_int(0)
            self._call("GetCardVer", "reading the version", ctypes.byref(ver))
            self._version = ver.value
        return self._version

    @contextlib.contextmanager
    def transaction(self) -> Iterator["Token"]:
        """Keep the token to this program (and this thread) for the block:
        other programs' commands wait (BeginTokenTransaction; the matching
        EndTokenTransaction runs whatever the block's outcome)."""
        with _lib.LOCK:
            self._call("BeginTokenTransaction", "taking the token")
            try:
                yield self
            finally:
                if self._open:
                    _lib.library().EndTokenTransaction()

    # -- messages ----------------------------------------------------------

    def _message(
        self,
        func: str,
        message: Text,
        pass_phrase: Optional[Text],
        mode: Optional[int],
        group: Optional[Text],
        scratch: Scratch,
    ) -> "ctypes.Array[ctypes.c_char]":
        resolved = _mode(mode, group)
        text = scratch.text(message, "message", 1, 1 << 24)
        phrase = scratch.optional_text(pass_phrase, "pass phrase", MAX_MESSAGE_PHRASE)
        name = None if group is None else scratch.text(group, "group", 1, MAX_MESSAGE_GROUP)
        size = ctypes.c_int(0)
        self._call(func, "sizing", text, None, ctypes.byref(size), resolved, phrase, name)
        out = scratch.chars(size.value)
        self._call(
            func,
            "encrypting" if func == "EncryptMes" else "decrypting",
            text,
            out,
            ctypes.byref(size),
            resolved,
            phrase,
            name,
        )
        return out

    @_lib.locked
    def encrypt(
        self,
        message: Text,
        pass_phrase: Optional[Text] = None,
        *,
        mode: Optional[int] = None,
        group: Optional[Text] = None,
    ) -> str:
        """Encipher a message (at least one byte, no NUL) under the token's
        key (mode KEY_0B, the default, or KEY_0D) or a group's (group=...).
        Returns the upper-case hex text. Needs the PIN verified."""
        with Scratch() as scratch:
            out = self._message("EncryptMes", message, pass_phrase, mode, group, scratch)
            return out.value.decode("ascii")

    @_lib.locked
    def decrypt_bytes(
        self,
        text: str,
        pass_phrase: Optional[Text] = None,
        *,
        mode: Optional[int] = None,
        group: Optional[Text] = None,
    ) -> bytes:
        """Decipher a hex text made by encrypt, with the same mode, pass
        phrase and group; the message's bytes."""
        if not isinstance(text, str):
            raise TypeError("the encrypted text is a str")
        with Scratch() as scratch:
            return self._message("DecryptMes", text, pass_phrase, mode, group, scratch).value

    def decrypt(
        self,
        text: str,
        pass_phrase: Optional[Text] = None,
        *,
        mode: Optional[int] = None,
        group: Optional[Text] = None,
    ) -> str:
        """As decrypt_bytes, the message decoded as UTF-8."""
        return self.decrypt_bytes(text, pass_phrase, mode=mode, group=group).decode("utf-8")

    # -- files -------------------------------------------------------------

    def encrypt_file(
        self,
        source: PathOrFile,
        target: PathOrFile,
        pass_phrase: Optional[Text] = None,
        *,
        mode: Optional[int] = None,
        group: Optional[Text] = None,
        fast: bool = False,
        chunk_size: int = CHUNK,
    ) -> int:
        """Encipher a file, path or binary file object to path or binary file
        object, chunk by chunk. fast: the token only makes the file key and
        the data is enciphered on the host; otherwise every byte goes through
        the token, which no other operation may use meanwhile. chunk_size: a
        multiple of 8. A target path is written only when the whole file
        succeeds (through a temporary file beside it). Returns the bytes
        written."""
        return self._file(True, source, target, pass_phrase, mode, group, fast, chunk_size)

    def decrypt_file(
        self,
        source: PathOrFile,
        target: PathOrFile,
        pass_phrase: Optional[Text] = None,
        *,
        mode: Optional[int] = None,
        group: Optional[Text] = None,
        chunk_size: int = CHUNK,
    ) -> int:
        """Decipher a file made by encrypt_file (the fast mode is read from
        its header). A target path is written private (0600), and only when
        the whole file succeeds, its checksum included. Returns the bytes
        written."""
        return self._file(False, source, target, pass_phrase, mode, group, False, chunk_size)

    @_lib.locked
    def _file(
        self,
        encrypt: bool,
        source: PathOrFile,
        target: PathOrFile,
        pass_phrase: Optional[Text],
        mode: Optional[int],
        group: Optional[Text],
        fast: bool,
        chunk: int,
    ) -> int:
        self._ensure_open()
        int_arg(chunk, "chunk_size", 8, 1 << 28)
        if chunk % 8:
            raise ValueError("chunk_size must be a multiple of 8")
        resolved = _mode(mode, group)
        with Scratch() as scratch:
            phrase = scratch.optional_text(pass_phrase, "pass phrase", MAX_MESSAGE_PHRASE)
            name = None if group is None else scratch.text(group, "group", 1, MAX_MESSAGE_GROUP)
            with _opened(source, False, False) as fin, _opened(target, True, not encrypt) as fout:
                finished = False
                try:
                    args = (resolved, phrase, name)
                    if encrypt:
                        written = self._encrypt_chunks(
                            fin, fout, scratch, chunk, args, _FAST if fast else 0
                        )
                    else:
                        written = self._decrypt_chunks(fin, fout, scratch, chunk, args)
                    finished = True
                finally:
                    if not finished:
                        _lib.library().AbandonFileData()
        return written

    def _chunk(
        self,
        func: str,
        data: bytearray,
        size: int,
        out: bytearray,
        flags: int,
        args: tuple[Any, ...],
    ) -> memoryview:
        out_len = ctypes.c_int(len(out))
        self._call(
            func,
            "encrypting the file" if func == "EncryptFileData" else "decrypting the file",
            ubytes(data),
            size,
            ubytes(out),
            ctypes.byref(out_len),
            *args,
            flags,
        )
        return memoryview(out)[: out_len.value]

    def _encrypt_chunks(
        self,
        fin: Any,
        fout: Any,
        scratch: Scratch,
        chunk: int,
        args: tuple[Any, ...],
        fast: int,
    ) -> int:
        plain = scratch.data(chunk)
        cipher = scratch.data(chunk + _HEAD_ROOM + _CRC)
        written, first, last = 0, True, False
        while not last:
            size = _read_full(fin, memoryview(plain))
            last = size < chunk
            flags = (_FIRST if first else 0) | (_LAST if last else 0) | fast
            out = self._chunk("EncryptFileData", plain, size, cipher, flags, args)
            written += fout.write(out) or 0
            out.release()
            first = False
        return written

    def _decrypt_chunks(
        self,
        fin: Any,
        fout: Any,
        scratch: Scratch,
        chunk: int,
        args: tuple[Any, ...],
    ) -> int:
        # the last chunk must hold the whole CRC: four bytes are held back
        # until the next read shows whether more data follows them
        cipher = scratch.data(_HEAD_ROOM + chunk + _CRC)
        plain = scratch.data(_HEAD_ROOM + chunk + _CRC)
        have = _read_full(fin, memoryview(cipher))
        written, first = 0, True
        while True:
            capacity = len(cipher) if first else chunk + _CRC
            last = have < capacity
            size = have if last else have - _CRC
            out = self._chunk(
                "DecryptFileData",
                cipher,
                size,
                plain,
                (_FIRST if first else 0) | (_LAST if last else 0),
                args,
            )
            written += fout.write(out) or 0
            out.release()
            if last:
                return written
            cipher[:_CRC] = cipher[size : size + _CRC]
            have = _CRC + _read_full(fin, memoryview(cipher)[_CRC : _CRC + chunk])
            first = False

    # -- passwords ---------------------------------------------------------

    @_lib.locked
    def verify(self, password: Password, secret: Text, *, write_trace_buffer: bool = False) -> None:
        """Present a password. Raises WrongPasswordError (tries_left),
        BlockedError, RefusedError (a length the token refuses)."""
        func = _VERIFY[Password(password)]
        with Scratch() as scratch:
            value = scratch.text(secret, "password")
            extra = (write_trace_buffer,) if password in (Password.PIN, Password.NOTE) else ()
            self._call(func, f"verifying the {Password(password).name}", value, *extra)

    def verify_pin(self, pin: Text) -> None:
        """verify(Password.PIN, pin)."""
        self.verify(Password.PIN, pin)

    @_lib.locked
    def change(self, password: Password, current: Text, new: Text) -> None:
        """Verify a password and replace it."""
        func = _CHANGE[Password(password)]
        with Scratch() as scratch:
            self._call(
                func,
                f"changing the {Password(password).name}",
                scratch.text(current, "password"),
                scratch.text(new, "new password"),
            )

    @_lib.locked
    def unblock(self, password: Password, puk: Text, new: Optional[Text] = None) -> None:
        """Reset the retry counter of the PIN or the note password with the
        PUK, and set it to new when given."""
        func = {Password.PIN: "UnblockPIN", Password.NOTE: "UnblockNotePas"}.get(Password(password))
        if func is None:
            raise ValueError("only the PIN and the note password are unblocked")
        with Scratch() as scratch:
            value = None if new is None else scratch.text(new, "new password")
            self._call(
                func, f"unblocking the {Password(password).name}", scratch.text(puk, "PUK"), value
            )

    @_lib.locked
    def tries_left(self, password: Password) -> Optional[int]:
        """The attempts a password has left (0: blocked); None when the token
        does not say, as when the password is verified."""
        lib = _lib.library()
        self._call("APDU_SelectApplication", "selecting the token", _lib.context().pCurReader)
        record = _lib.context().pCurReader
        attempts = ctypes.c_int(0)
        if lib.APDU_GetKeyAttempts(record, Password(password).value, ctypes.byref(attempts)) == 0:
            return attempts.value
        return 0 if lib.APDU_GetSW(record) == _BLOCKED_STATUS else None

    @_lib.locked
    def pin_verified(self) -> bool:
        """Is the PIN verified in this card session? Presents nothing."""
        self._ensure_open()
        return int(_lib.library().VerifyPIN(None, False)) == 0

    @_lib.locked
    def puk_is_default(self) -> bool:
        """True while the PUK is the one the token was issued with."""
        flag = ctypes.c_bool(False)
        self._call("GetPUKFlag", "reading the PUK flag", ctypes.byref(flag))
        return flag.value

    # -- groups ------------------------------------------------------------

    @_lib.locked
    def groups(self) -> list[Group]:
        """The token's groups, in the token's order."""
        out = ctypes.create_string_buffer(1024 * 66)
        size = ctypes.c_ulong(len(out))
        self._call("GetGroupList", "listing the groups", out, ctypes.byref(size))
        return _split(out.raw[: size.value])

    def _names(self, func: str, doing: str, *texts: tuple[object, str]) -> None:
        with _lib.LOCK, Scratch() as scratch:
            self._call(
                func, doing, *(scratch.text(value, what, 1, MAX_NAME) for value, what in texts)
            )

    def create_group(self, name: Text, pass_phrase: Text) -> None:
        """A new group administered by this token (names and pass phrases:
        1 to 63 bytes). Needs the PIN verified."""
        self._names(
            "CreateGroup", "creating the group", (name, "group"), (pass_phrase, "pass phrase")
        )

    def rename_group(self, name: Text, new_name: Text) -> None:
        """Rename a group."""
        self._names("RenameGroup", "renaming the group", (name, "group"), (new_name, "new name"))

    def change_group_pass_phrase(self, name: Text, pass_phrase: Text) -> None:
        """A new pass phrase; the group's administrator only."""
        self._names(
            "ChangePasPhrGroup",
            "changing the pass phrase",
            (name, "group"),
            (pass_phrase, "pass phrase"),
        )

    def delete_group(self, name: Text) -> None:
        """Delete a group."""
        self._names("DeleteGroup", "deleting the group", (name, "group"))

    @_lib.locked
    def group_request(self, pass_phrase: Text) -> str:
        """Step 1 of joining a group, on the joining token: the request text
        to hand to the group's administrator."""
        with Scratch() as scratch:
            phrase = scratch.text(pass_phrase, "pass phrase", 1, MAX_NAME)
            out = scratch.chars(_MAX_TEXT + 1)  # never a size query: it makes a request
            size = ctypes.c_int(len(out))
            self._call(
                "CreateRequestForGroup", "making the request", phrase, out, ctypes.byref(size)
            )
            return out.value.decode("ascii")

    @_lib.locked
    def group_invite(self, group: Text, request: str) -> str:
        """Step 2, on the administrator's token: the invite text for a request."""
        with Scratch() as scratch:
            name = scratch.text(group, "group", 1, MAX_NAME)
            blob = scratch.text(request, "request", 1, 4 * _MAX_TEXT)
            out = scratch.chars(_MAX_TEXT + 1)
            size = ctypes.c_int(len(out))
            self._call(
                "CreateInviteForGroup", "making the invite", name, blob, out, ctypes.byref(size)
            )
            return out.value.decode("ascii")

    def accept_invite(self, invite: str, group: Text, pass_phrase: Text) -> None:
        """Step 3, on the joining token: store the group under the name group,
        with the pass phrase of step 1."""
        if not isinstance(invite, str):
            raise TypeError("the invite is a str")
        with _lib.LOCK, Scratch() as scratch:
            self._call(
                "AcceptInviteForGroup",
                "accepting the invite",
                scratch.text(invite, "invite", 1, 4 * _MAX_TEXT),
                scratch.text(group, "group", 1, MAX_NAME),
                scratch.text(pass_phrase, "pass phrase", 1, MAX_NAME),
            )

    # -- the note ----------------------------------------------------------

    def create_note(self) -> None:
        """Create the note file on a token that lacks it."""
        with _lib.LOCK:
            self._call("CreateNote", "creating the note")
            self._version = None

    @_lib.locked
    def note_info(self, *, second: bool = False) -> NoteInfo:
        """The note's size and the password guarding it (of the second token
        with second=True)."""
        size, policy = ctypes.c_int(0), ctypes.c_int(0)
        self._call(
            "GetNoteInf",
            "reading the note's size",
            ctypes.byref(size),
            ctypes.byref(policy),
            self.version(),
            second,
        )
        return NoteInfo(size.value, Password.NOTE if policy.value == 2 else Password.PIN)

    @_lib.locked
    def read_note(self, offset: int = 0, size: Optional[int] = None) -> bytearray:
        """size bytes of the note from offset (to its end when None), fewer
        when the note ends first. Needs the note's password verified."""
        int_arg(offset, "offset", 0, _MAX_NOTE_END - 1)
        if size is None:
            size = max(min(self.note_info().size, _MAX_NOTE_END) - offset, 0)
            if size == 0:
                return bytearray()
        int_arg(size, "size", 1, _MAX_NOTE_END - offset)
        with Scratch() as scratch:
            out = scratch.data(size)
            got = ctypes.c_int(size)
            self._call("ReadNote", "reading the note", ubytes(out), ctypes.byref(got), offset)
            return bytearray(out[: got.value])

    @_lib.locked
    def write_note(
        self,
        data: Union[bytes, bytearray],
        offset: int = 0,
        *,
        second: bool = False,
    ) -> None:
        """Write data at offset (on the second token with second=True)."""
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("the note's data is bytes or bytearray")
        int_arg(offset, "offset", 0, _MAX_NOTE_END - 1)
        int_arg(len(data), "the data's length", 1, _MAX_NOTE_END - offset)
        with Scratch() as scratch:
            copy = scratch.data(len(data))
            copy[:] = data
            self._call("WriteNote", "writing the note", ubytes(copy), len(copy), offset, second)

    @_lib.locked
    def clear_note(self) -> None:
        """Empty the note."""
        self._call("ClearNote", "clearing the note", self.version())

    @_lib.locked
    def change_note_policy(self) -> None:
        """Switch the note's guard between the PIN and the note password."""
        self._call("ChangeNotePolicy", "changing the note's policy", self.version())

    @_lib.locked
    def repair_trace_buffer(self) -> None:
        """Refill (creating it where needed) the trace buffer file that
        verify(..., write_trace_buffer=True) writes (RepareTracBuf)."""
        self._call("RepareTracBuf", "repairing the trace buffer")

    # -- duplication and keys ------------------------------------------------

    @_lib.locked
    def export_duplicate(self, puk: Text) -> str:
        """The token's duplicate text, protected by the PUK."""
        with Scratch() as scratch:
            value = scratch.text(puk, "PUK")
            size = ctypes.c_int(0)
            self._call("GetDublData", "exporting the duplicate", value, None, ctypes.byref(size))
            out = scratch.chars(size.value)
            self._call("GetDublData", "exporting the duplicate", value, out, ctypes.byref(size))
            return out.value.decode("ascii")

    @_lib.locked
    def import_duplicate(self, puk: Text, text: str) -> None:
        """Restore a duplicate text into this token."""
        if not isinstance(text, str):
            raise TypeError("the duplicate is a str")
        with Scratch() as scratch:
            blob = scratch.text(text, "duplicate", 1, 1 << 20)
            self._call(
                "SetDublData", "importing the duplicate", scratch.text(puk, "PUK"), blob, len(blob)
            )

    @_lib.locked
    def copy_to_second(self, puk: Text, second_puk: Text) -> None:
        """Clear the second token (connect_second) and copy this one onto it."""
        with Scratch() as scratch:
            self._call(
                "MakeDublCard",
                "copying onto the second token",
                scratch.text(puk, "PUK"),
                scratch.text(second_puk, "second PUK"),
            )

    @_lib.locked
    def generate_key_source(self) -> bytearray:
        """A fresh 160-byte key source from the token's random generator."""
        out = bytearray(160)
        size = ctypes.c_int(160)
        try:
            self._call("GetKeys", "generating keys", ubytes(out), ctypes.byref(size))
        except BaseException:
            wipe(out)
            raise
        return out

    @_lib.locked
    def load_keys(self, source: Union[bytes, bytearray], password: Text) -> None:
        """Load the token's keys from a 160-byte key source, under the
        key-loading password."""
        if not isinstance(source, (bytes, bytearray)) or len(source) != 160:
            raise ValueError("a key source is 160 bytes")
        with Scratch() as scratch:
            copy = scratch.data(160)
            copy[:] = source
            self._call(
                "ChangeKeys", "loading keys", ubytes(copy), 160, scratch.text(password, "password")
            )

    @_lib.locked
    def generate_ds_key(self) -> None:
        """Let the token generate its DS key. Needs the PIN verified."""
        self._call("GenDSKey", "generating the DS key", self.version())

    @_lib.locked
    def clean(self) -> None:
        """Clear the token: new keys, no groups. Needs the erase password or
        the PUK verified (and, on old tokens, the note's password)."""
        self._call("CleanCard", "clearing the token", self.version())

