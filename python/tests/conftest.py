"""Where the tests find the library's headers and the programs they run."""

from __future__ import annotations

import os
import pathlib
import shutil

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
MAIN = SOURCE / "main"


def program(variable: str) -> str:
    """The path of a program the build names in an environment variable."""
    path = os.environ.get(variable)
    if not path:
        pytest.skip(f"{variable} is not set (ctest sets it)")
    return path


def compiler(name: str) -> str:
    found = shutil.which(os.environ.get(name.upper(), name))
    if found is None:
        pytest.skip(f"no {name}")
    return found
