"""Loading libdraxel_lib.so and the C prototypes the package calls.

Every prototype is written once, in C terms, in PROTOTYPES; the ctypes
argument and result types are made from it, and the tests compile the same
text beside the library's header, so a prototype that drifts from the header
fails there instead of corrupting a call.
"""

from __future__ import annotations

import ctypes
import functools
import os
import threading
from typing import Any, Callable, Optional, TypeVar, cast

# The library keeps its state in globals and takes no locks: every call into
# it, and every sequence of calls that belongs together, holds this lock.
LOCK = threading.RLock()


class LoadError(OSError):
    """The library, or the PC/SC library it needs, cannot be loaded."""


TRANSMIT = ctypes.CFUNCTYPE(
    ctypes.c_ulong,
    ctypes.POINTER(ctypes.c_ubyte),
    ctypes.c_int,
    ctypes.POINTER(ctypes.c_ubyte),
    ctypes.POINTER(ctypes.c_int),
)


class ReaderFuncStruct(ctypes.Structure):
    """Type_ReaderFuncStruct: the host's transmit handler."""

    _fields_ = [("handlerScardTransmit", TRANSMIT)]


class LogicDLLContext(ctypes.Structure):
    """The library's one context, cur_context."""

    _fields_ = [
        ("pCurReader", ctypes.c_void_p),
        ("pSecondReader", ctypes.c_void_p),
        ("error", ctypes.c_ulong),
    ]



C_TYPES: dict[str, Any] = {
    "void": None,
    "bool": ctypes.c_bool,
    "int": ctypes.c_int,
    "const int": ctypes.c_int,
    "unsigned long": ctypes.c_ulong,
    "unsigned short": ctypes.c_ushort,
    "BYTE": ctypes.c_ubyte,
    "const char *": ctypes.c_char_p,
    "char *": ctypes.c_char_p,
    "unsigned char *": ctypes.POINTER(ctypes.c_ubyte),
    "const unsigned char *": ctypes.POINTER(ctypes.c_ubyte),
    "BYTE *": ctypes.POINTER(ctypes.c_ubyte),
    "int *": ctypes.POINTER(ctypes.c_int),
    "unsigned long *": ctypes.POINTER(ctypes.c_ulong),
    "bool *": ctypes.POINTER(ctypes.c_bool),
    "ReaderStructPtr": ctypes.c_void_p,
    "Type_ReaderFuncStruct *": ctypes.POINTER(ReaderFuncStruct),
}

_UL = "unsigned long"
_S = "const char *"
_RS = "ReaderStructPtr"
_CRYPT = [_S, "char *", "int *", "int", _S, _S]
_FILE = ["const unsigned char *", "const int", "unsigned char *", "int *", "int", _S, _S, "int"]

# name: (result, [arguments]), as the headers declare them.
PROTOTYPES: dict[str, tuple[str, list[str]]] = {
    # draxel_lib.h
    "GetError": (_UL, ["char *", "int *"]),
    "GetLastErrorCode": (_UL, []),
    "InitLib": (_UL, ["Type_ReaderFuncStruct *"]),
    "ConnectToMekta": (_UL, ["bool"]),
    "ConnectToSecondMekta": (_UL, []),
    "SelectReader": (_UL, [_S]),
    "CheckCurrentReader": (_UL, []),
    "NewReaderStruct": (_RS, [_S]),
    "CloseReader": (_UL, [_RS]),
    "FreeReaderStruct": ("void", [_RS]),
    "BeginTokenTransaction": (_UL, []),
    "EndTokenTransaction": (_UL, []),
    "EncryptMes": (_UL, _CRYPT),
    "DecryptMes": (_UL, _CRYPT),
    "EncryptFileData": (_UL, _FILE),
    "DecryptFileData": (_UL, _FILE),
    "AbandonFileData": ("void", []),
    "VerifyPIN": (_UL, [_S, "bool"]),
    "VerifyPUK": (_UL, [_S]),
    "VerifyErasePas": (_UL, [_S]),
    "VerifyNotePas": (_UL, [_S, "bool"]),
    "UnblockPIN": (_UL, [_S, _S]),
    "UnblockNotePas": (_UL, [_S, _S]),
    "ChangePIN": (_UL, [_S, _S]),
    "ChangePUK": (_UL, [_S, _S]),
    "ChangeErasePas": (_UL, [_S, _S]),
    "ChangeNotePas": (_UL, [_S, _S]),
    "GetPUKFlag": (_UL, ["bool *"]),
    "GetGroupList": (_UL, ["char *", "unsigned long *"]),
    "CreateGroup": (_UL, [_S, _S]),
    "RenameGroup": (_UL, [_S, _S]),
    "ChangePasPhrGroup": (_UL, [_S, _S]),
    "DeleteGroup": (_UL, [_S]),
    "CreateRequestForGroup": (_UL, [_S, "char *", "int *"]),
    "CreateInviteForGroup": (_UL, [_S, _S, "char *", "int *"]),
    "AcceptInviteForGroup": (_UL, [_S, _S, _S]),
    "CreateNote": (_UL, []),
    "ReadNote": (_UL, ["unsigned char *", "int *", "int"]),
    "WriteNote": (_UL, ["const unsigned char *", "int", "int", "bool"]),
    "ClearNote": (_UL, ["int"]),
    "GetNoteInf": (_UL, ["int *", "int *", "int", "bool"]),
    "ChangeNotePolicy": (_UL, ["int"]),
    "RepareTracBuf": (_UL, []),
    "GetDublData": (_UL, [_S, "char *", "int *"]),
    "SetDublData": (_UL, [_S, _S, "int"]),
    "MakeDublCard": (_UL, [_S, _S]),
    "ChangeKeys": (_UL, ["const unsigned char *", "const int", _S]),
    "MakeKeysFromBuf": (_UL, ["unsigned char *", "const unsigned char *", _UL]),
    "GetKeys": (_UL, ["unsigned char *", "int *"]),
    "GenDSKey": (_UL, ["int"]),
    "CleanCard": (_UL, ["int"]),
    "GetSN": (_UL, ["char *"]),
    "GetCardVer": (_UL, ["int *"]),
    # draxel_lowlevel.h: the reader list, probing a reader, retry counters
    "OpenReaderContext": (_UL, ["int"]),
    "CloseReaderContext": (_UL, []),
    "ListReaders": (_UL, ["char *", "unsigned long *"]),
    "AllocReaderStruct": (_RS, [_S]),
    "OpenReader": (_UL, [_S, _RS, "bool"]),
    "IsCurrentReader": ("bool", [_RS, _S]),
    "APDU_SelectApplication": (_UL, [_RS]),
    "APDU_GetSN": (_UL, [_RS, "BYTE *", "BYTE"]),
    "APDU_GetKeyAttempts": (_UL, [_RS, "BYTE", "int *"]),
    "APDU_GetSW": ("unsigned short", [_RS]),
}

# Host functions of draxel_lib.h that the package leaves alone, and why.
UNWRAPPED: dict[str, str] = {
    "FreeDataBlock": "frees the blocks of the low-level block functions, "
    "which the package does not call",
    "NewReaderStruct": "a bare reader record is of no use without the low-level reader calls; "
    "connect(reader=...) makes and opens its own",
}


def c_declarations() -> str:
    """The prototypes as C declarations, to compile beside the header."""
    lines = []
    for name, (result, args) in PROTOTYPES.items():
        params = ", ".join(f"{arg} a{i}" for i, arg in enumerate(args)) or "void"
        lines.append(f"{result} {name}({params});")
    return "\n".join(lines) + "\n"


_loaded: Optional[ctypes.CDLL] = None


def _open(name: str, mode: int) -> ctypes.CDLL:
    try:
        return ctypes.CDLL(name, mode=mode)
    except OSError as exc:
        raise LoadError(f"cannot load {name}: {exc}") from exc


def library() -> ctypes.CDLL:
    """The loaded library with its prototypes set; loaded on first use.

    DRAXEL_LIB names the library's path (a build tree, say); otherwise the
    dynamic loader finds the installed copy.
    """
    global _loaded
    with LOCK:
        if _loaded is None:
            # the library takes its PC/SC functions from the process
            _open("libpcsclite.so.1", os.RTLD_GLOBAL)
            lib = _open(os.environ.get("DRAXEL_LIB") or "libdraxel_lib.so.1", os.RTLD_LOCAL)
            for name, (result, args) in PROTOTYPES.items():
                func = getattr(lib, name)
                func.restype = C_TYPES[result]
                func.argtypes = [C_TYPES[arg] for arg in args]
            _loaded = lib
        return _loaded


def context() -> LogicDLLContext:
    """The library's cur_context."""
    return LogicDLLContext.in_dll(library(), "cur_context")


F = TypeVar("F", bound=Callable[..., Any])


def locked(func: F) -> F:
    """Runs the function under the module lock."""

    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        with LOCK:
            return func(*args, **kwargs)

    return cast(F, wrapper)
