"""The exceptions, one class per kind of failure the library reports.

CODES mirrors the library's list of codes (name, class, English
description); the tests compare it with the list the library is built
from, so that a code added there and forgotten here fails them. GetError
gives the Russian text of each code.
"""

from __future__ import annotations

import ctypes
from typing import Optional

from . import _lib

# code: (name, class, description)
CODES: dict[int, tuple[str, str, str]] = {
    0: ("DRAXEL_OK", "None", "success"),
    101: ("DRAXEL_E_NO_READER", "Communication", "out of memory, or an answer of unexpected form"),
    102: ("DRAXEL_E_BAD_ARGUMENT", "Usage", "an argument is missing, too long or malformed"),
    104: ("DRAXEL_E_ACCESS_DENIED", "Refused", "the token refused access"),
    106: ("DRAXEL_E_BUFFER_TOO_SMALL", "Failure", "a buffer is too small"),
    108: ("DRAXEL_E_PASSWORD_BLOCKED", "Blocked", "the password is blocked"),
    109: ("DRAXEL_E_FILE_OPEN", "Failure", "the file cannot be opened"),
    110: ("DRAXEL_E_FILE_CREATE", "Failure", "the file cannot be created"),
    111: ("DRAXEL_E_FILE_WRITE", "Failure", "the file cannot be written"),
    112: ("DRAXEL_E_FILE_DAMAGED", "Integrity", "the encrypted file is damaged"),
    113: ("DRAXEL_E_CANNOT_DECRYPT", "WrongPassword", "wrong pass phrase, group or token"),
    114: ("DRAXEL_E_KEY_DAMAGED", "Refused", "the key on the token is damaged"),
    115: ("DRAXEL_E_PASSWORD_LENGTH", "Refused", "the token refused the password's length"),
    116: ("DRAXEL_E_COMMUNICATION", "Communication", "the exchange with the token failed"),
    117: ("DRAXEL_E_GROUP_NOT_FOUND", "Refused", "no group of that name"),
    118: ("DRAXEL_E_GROUP_EXISTS", "Refused", "a group of that name exists"),
    119: ("DRAXEL_E_TOO_MANY_GROUPS", "Refused", "the token holds all the groups it can"),
    120: ("DRAXEL_E_BAD_STATUS", "Refused", "the token answered an unexpected status"),
    121: ("DRAXEL_E_INTEGRITY", "Integrity", "the decrypted file fails its checksum"),
    122: ("DRAXEL_E_NOT_GROUP_ADMIN", "Refused", "only the group's administrator may do this"),
    123: ("DRAXEL_E_NO_TOKEN", "NoToken", "no token found"),
    124: ("DRAXEL_E_SEVERAL_TOKENS", "NoToken", "several tokens found; choose one with --reader"),
    125: ("DRAXEL_E_VERSION_TOO_OLD", "Refused", "the token's version lacks the operation"),
    126: ("DRAXEL_E_GROUP_LIST_DAMAGED", "Refused", "the token's group list cannot be read"),
    1: ("DRAXEL_TR_FAILURE", "Communication", "the reader failed"),
    2: ("DRAXEL_TR_NOT_CONNECTED", "NoToken", "not connected to the reader"),
    3: ("DRAXEL_TR_BAD_ARGUMENT", "Failure", "a command's argument is missing or too long"),
    4: ("DRAXEL_TR_NO_MEMORY", "Failure", "out of memory"),
    5: ("DRAXEL_TR_STATUS_WORD", "Refused", "the token refused the command"),
    6: ("DRAXEL_TR_TIMEOUT", "Communication", "the reader timed out"),
    7: ("DRAXEL_TR_UNKNOWN_READER", "NoToken", "unknown reader"),
    8: ("DRAXEL_TR_INSUFFICIENT_BUFFER", "Refused", "the token's answer is too long"),
    9: ("DRAXEL_TR_NO_READERS", "NoToken", "no readers"),
    10: ("DRAXEL_TR_NO_SERVICE", "NoToken", "pcscd is not running"),
}

WRONG_PASSWORD = 140  # ... to 155: the attempts left are the code less 140
WRONG_PASSWORD_MAX = 155

# PC/SC results the library passes through: name, and whether it means that
# no token is there to talk to (the rest are failed exchanges).
PCSC_RESULTS: dict[int, tuple[str, bool]] = {
    0x8010001D: ("SCARD_E_NO_SERVICE", True),
    0x8010001E: ("SCARD_E_SERVICE_STOPPED", True),
    0x8010002E: ("SCARD_E_NO_READERS_AVAILABLE", True),
    0x80100009: ("SCARD_E_UNKNOWN_READER", True),
    0x80100017: ("SCARD_E_READER_UNAVAILABLE", True),
    0x8010000C: ("SCARD_E_NO_SMARTCARD", True),
    0x80100069: ("SCARD_W_REMOVED_CARD", True),
    0x8010000A: ("SCARD_E_TIMEOUT", False),
    0x8010000B: ("SCARD_E_SHARING_VIOLATION", False),
    0x80100008: ("SCARD_E_INSUFFICIENT_BUFFER", False),
}
_NO_PCSCD = (10, 0x8010001D, 0x8010001E)
PCSCD_HINT = "pcscd is not running: start it (systemctl start pcscd.socket, or pcscd as root)"


class DraxelError(Exception):
    """A failure the library reported.

    code: the library's code (or a PC/SC result, see pcsc_result); name: its
    symbolic name; text: the library's own (Russian) text; description: a
    short English description, which str() shows with the code.
    """

    kind = "Failure"

    def __init__(self, code: int, name: str, text: str, description: str) -> None:
        super().__init__(code, name, text, description)
        self.code = code
        self.name = name
        self.text = text
        self.description = description

    @property
    def pcsc_result(self) -> Optional[int]:
        """The PC/SC result when the library passed one through, else None."""
        return self.code if is_pcsc(self.code) else None

    def __str__(self) -> str:
        return f"{self.description} (code {self.code:#x} {self.name})" if is_pcsc(
            self.code
        ) else f"{self.description} (code {self.code}, {self.name})"


class UsageError(DraxelError):
    """An argument or input the library refused: fix it."""

    kind = "Usage"


class NoTokenError(DraxelError):
    """No reader, no token, several tokens, or no pcscd: connect one."""

    kind = "NoToken"


class WrongPasswordError(DraxelError):
    """A wrong password or pass phrase. tries_left: the attempts the token
    still allows, or None where it does not say (a wrong pass phrase)."""

    kind = "WrongPassword"

    @property
    def tries_left(self) -> Optional[int]:
        """The attempts left that a wrong-password code carries, else None."""
        if WRONG_PASSWORD <= self.code <= WRONG_PASSWORD_MAX:
            return self.code - WRONG_PASSWORD
        return None


class BlockedError(DraxelError):
    """The password is blocked: unblock it with the PUK."""

    kind = "Blocked"


class IntegrityError(DraxelError):
    """An encrypted file is damaged or fails its checksum."""

    kind = "Integrity"


class RefusedError(DraxelError):
    """The token refused the operation."""

    kind = "Refused"


class CommunicationError(DraxelError):
    """The exchange with the reader or token failed: retry it."""

    kind = "Communication"


class FailureError(DraxelError):
    """Anything else: memory, a buffer, an unknown code."""


CLASSES: dict[str, type[DraxelError]] = {
    cls.kind: cls
    for cls in (
        UsageError,
        NoTokenError,
        WrongPasswordError,
        BlockedError,
        IntegrityError,
        RefusedError,
        CommunicationError,
        FailureError,
    )
}


def is_pcsc(code: int) -> bool:
    """True for a PC/SC result, which the library passes on as its 32 bits."""
    return (code & 0xFFFF0000) == 0x80100000


def kind_of(code: int) -> str:
    """The class of failure of a code, as the library's own table says."""
    if WRONG_PASSWORD <= code <= WRONG_PASSWORD_MAX:
        return "WrongPassword"
    if code in CODES:
        return CODES[code][1]
    if not is_pcsc(code):
        return "Failure"
    return "NoToken" if PCSC_RESULTS.get(code, ("", False))[1] else "Communication"


@_lib.locked
def library_text(code: int) -> str:
    """GetError's text for a code; the code the library recorded stays."""
    ctx = _lib.context()
    lib = _lib.library()
    saved = ctx.error
    ctx.error = code
    try:
        size = ctypes.c_int(0)
        buf = ctypes.create_string_buffer(1024)
        size.value = len(buf)
        rc = lib.GetError(buf, ctypes.byref(size))
        return buf.value.decode("utf-8", "replace") if rc == 0 else ""
    finally:
        ctx.error = saved


def error_for(code: int, doing: str = "") -> DraxelError:
    """The exception for a failed call's code."""
    kind = kind_of(code)
    if WRONG_PASSWORD <= code <= WRONG_PASSWORD_MAX:
        left = code - WRONG_PASSWORD
        name, description = "DRAXEL_E_WRONG_PASSWORD", f"wrong password, {left} attempts left"
    elif code in CODES:
        name, _, description = CODES[code]
    elif is_pcsc(code):
        name = PCSC_RESULTS.get(code, ("PC/SC result",))[0]
        description = f"PC/SC failed with {name}"
    else:
        name, description = "unknown", "an unknown code"
    if code in _NO_PCSCD:
        description = PCSCD_HINT
    if doing:
        description = f"{doing}: {description}"
    return CLASSES.get(kind, FailureError)(code, name, library_text(code), description)
