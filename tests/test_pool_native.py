"""Runs the worker pool's own C++ tests (fork, sleep and wake, nested calls, stress), which reach
corners a Python caller cannot steer."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_pool_native(tmp_path):
    binary = tmp_path / "test_pool"
    subprocess.run(["g++", "-O2", "-std=c++20", "-pthread", f"-I{ROOT / 'src'}",
                    str(ROOT / "tests/cpp/test_pool.cpp"), str(ROOT / "src/core/pool.cpp"),
                    "-o", str(binary)], check=True, timeout=300)
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
