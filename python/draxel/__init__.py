"""draxel: the Mekta token from Python, over libdraxel_lib.so.

    import draxel

    with draxel.connect() as token:
        token.verify_pin("1234")
        text = token.encrypt("hello", "a pass phrase")
        assert token.decrypt(text, "a pass phrase") == "hello"

The library is loaded on first use: DRAXEL_LIB names its path (a build
tree, say), otherwise the installed libdraxel_lib.so.1 is loaded. One token
is connected at a time; every call holds one lock of the package, so
threads may share a token.
"""

from ._lib import UNWRAPPED, LoadError
from .errors import (
    BlockedError,
    CommunicationError,
    DraxelError,
    FailureError,
    IntegrityError,
    NoTokenError,
    RefusedError,
    UsageError,
    WrongPasswordError,
)
from .token import (
    CHUNK,
    BusyError,
    Group,
    Mode,
    NoteInfo,
    Password,
    Reader,
    Token,
    connect,
    connect_handler,
    key_buffer,
    last_transport_code,
    readers,
)

__version__ = "1.0.0"

__all__ = [
    "CHUNK",
    "UNWRAPPED",
    "BlockedError",
    "BusyError",
    "CommunicationError",
    "DraxelError",
    "FailureError",
    "Group",
    "IntegrityError",
    "LoadError",
    "Mode",
    "NoTokenError",
    "NoteInfo",
    "Password",
    "Reader",
    "RefusedError",
    "Token",
    "UsageError",
    "WrongPasswordError",
    "connect",
    "connect_handler",
    "key_buffer",
    "last_transport_code",
    "readers",
]
