"""Runs the GEMM's own C++ test (every element one FMA chain, result layouts Python never passes)
at each CPU level this processor has, and with every level's tile geometry emulated."""

import platform
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/cpp/test_gemm.cpp", "src/core/gemm/gemm.cpp",
           "src/core/gemm/scratch.cpp", "src/core/gemm/tiles.cpp",
           "src/core/dispatch/cpu.cpp", "src/core/memory/buffer.cpp", "src/core/platform/memory.cpp"]
LEVEL_SOURCES = {  # built with their level's flags, as CMakeLists.txt does
    "src/core/gemm/tiles_avx2.cpp": ["-mavx2", "-mfma"],
    "src/core/gemm/tiles_avx512.cpp": ["-mavx2", "-mfma", "-mavx512f", "-mavx512dq",
                                                 "-mavx512bw", "-mavx512vl"],
}


@pytest.fixture(scope="module")
def binary(tmp_path_factory):
    if shutil.which("g++") is None:
        pytest.skip("needs g++")
    out = tmp_path_factory.mktemp("gemm")
    flags = ["g++", "-O2", "-std=c++20", "-ffp-contract=off", f"-I{ROOT / 'src'}", "-c"]
    sources = dict.fromkeys(SOURCES, [])
    if platform.machine() in ("x86_64", "AMD64"):
        sources.update(LEVEL_SOURCES)
    objects = []
    for i, (source, extra) in enumerate(sources.items()):
        objects.append(str(out / f"{i}.o"))
        subprocess.run(flags + extra + [str(ROOT / source), "-o", objects[-1]], check=True,
                       timeout=300)
    subprocess.run(["g++", "-pthread", *objects, "-o", str(out / "test_gemm")], check=True,
                   timeout=300)
    return out / "test_gemm"


@pytest.mark.parametrize("level", ["baseline", "avx2", "avx512", "emulated"])
def test_gemm_native(binary, level):
    args = [str(binary)] + (["emulated"] if level == "emulated" else [])
    result = subprocess.run(args, capture_output=True, text=True, timeout=600,
                            env={"TARNWICK_CPU": level})
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
