"""Runs the worker pool's own C++ tests (fork, sleep and wake, nested calls, stress, processor
counts under a control-group quota), which reach corners a Python caller cannot steer. Built
with every compiler found, since the pool leans on atomics and futex waits that each standard
library implements its own way."""

import shutil
from pathlib import Path

import pytest

from native import ctest

COMPILERS = ["g++", "clang++", "clang++-19"]


def _found():
    seen, found = set(), []
    for name in COMPILERS:
        path = shutil.which(name)
        if path and Path(path).resolve() not in seen:
            seen.add(Path(path).resolve())
            found.append(name)
    return found or [pytest.param("g++", marks=pytest.mark.skip(reason="needs a C++ compiler"))]


@pytest.mark.parametrize("compiler", _found())
def test_pool_native(compiler):
    ctest("pool", "test_pool", compiler)
