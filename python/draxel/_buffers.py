"""Scratch buffers for one call, wiped when it returns, and argument checks.

Passwords, pass phrases, keys and plaintext pass through ctypes buffers and
bytearrays made here; every one is zeroed on the way out, whatever the
outcome. (A str cannot be wiped: pass a bytearray to keep a secret out of
immutable objects altogether.)
"""

from __future__ import annotations

import ctypes
from typing import Any, Optional, Union

Text = Union[str, bytes, bytearray]

MAX_PASSWORD = 255
MAX_NAME = 63  # group names and their pass phrases
MAX_MESSAGE_GROUP = 64
MAX_MESSAGE_PHRASE = 219


def wipe(buffer: Union[bytearray, "ctypes.Array[Any]"]) -> None:
    """Zero a bytearray or ctypes array in place."""
    if isinstance(buffer, bytearray):
        if buffer:
            ctypes.memset((ctypes.c_char * len(buffer)).from_buffer(buffer), 0, len(buffer))
    else:
        ctypes.memset(buffer, 0, ctypes.sizeof(buffer))


def as_bytes(value: object, what: str) -> Union[bytes, bytearray]:
    """The bytes of a str (UTF-8), bytes or bytearray; TypeError otherwise."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray)):
        return value
    raise TypeError(f"{what} must be str, bytes or bytearray, not {type(value).__name__}")


class Scratch:
    """The buffers of one call; all of them are wiped when the block ends."""

    def __init__(self) -> None:
        self._held: list[Union[bytearray, "ctypes.Array[Any]"]] = []

    def __enter__(self) -> "Scratch":
        return self

    def __exit__(self, *exc: object) -> None:
        for buffer in self._held:
            wipe(buffer)
        self._held.clear()

    def chars(self, size: int) -> "ctypes.Array[ctypes.c_char]":
        buffer = ctypes.create_string_buffer(max(size, 1))
        self._held.append(buffer)
        return buffer

    def data(self, size: int) -> bytearray:
        buffer = bytearray(size)
        self._held.append(buffer)
        return buffer

    def text(
        self, value: object, what: str, low: int = 1, high: int = MAX_PASSWORD
    ) -> "ctypes.Array[ctypes.c_char]":
        """A zero-terminated copy of a text argument, checked as the library
        would check it: ValueError for an embedded NUL or a length outside
        low..high bytes."""
        raw = as_bytes(value, what)
        if b"\0" in raw:
            raise ValueError(f"{what} holds a NUL byte")
        if not low <= len(raw) <= high:
            raise ValueError(f"{what} must be {low} to {high} bytes, not {len(raw)}")
        buffer = self.chars(len(raw) + 1)
        if raw:
            source: Any = raw
            if isinstance(raw, bytearray):  # no copy of the caller's secret
                source = (ctypes.c_char * len(raw)).from_buffer(raw)
            ctypes.memmove(buffer, source, len(raw))
        return buffer

    def optional_text(
        self, value: Optional[object], what: str, high: int
    ) -> Optional["ctypes.Array[ctypes.c_char]"]:
        return None if value is None else self.text(value, what, 0, high)


def ubytes(buffer: bytearray) -> "ctypes.Array[ctypes.c_ubyte]":
    """A ctypes view of a bytearray, for the library's unsigned char pointers."""
    return (ctypes.c_ubyte * max(len(buffer), 1)).from_buffer(buffer if buffer else bytearray(1))


def int_arg(value: object, what: str, low: int, high: int) -> int:
    """An int argument within low..high: TypeError or ValueError otherwise."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be {low} to {high}, not {value}")
    return value
