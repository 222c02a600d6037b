"""Runs the worker pool's own C++ tests (fork, sleep and wake, nested calls, stress, processor
counts under a control-group quota), which reach corners a Python caller cannot steer. Built
with every compiler found, since the pool leans on atomics and futex waits that each standard
library implements its own way."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/cpp/test_pool.cpp", "src/core/pool/pool.cpp", "src/core/platform/processors.cpp",
           "src/core/platform/fp_control.cpp"]
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
def test_pool_native(tmp_path, compiler):
    binary = tmp_path / "test_pool"
    subprocess.run([compiler, "-O2", "-std=c++20", "-pthread", "-Wall", "-Wextra", "-Wshadow",
                    "-Werror", f"-I{ROOT / 'src'}", *(str(ROOT / s) for s in SOURCES),
                    "-o", str(binary)], check=True, timeout=300)
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
