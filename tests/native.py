"""The C++ tests and tools (CMake targets registered with ctest), built from the core alone with
CMake and run through ctest: one build directory per compiler, configured and built once per
session, kept under build/ so that a later session only rebuilds what changed."""

from __future__ import annotations

import hashlib
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
_built: dict[tuple[str, str], Path] = {}


def _build(compiler: str, target: str) -> Path:
    if shutil.which("cmake") is None or shutil.which("ctest") is None:
        pytest.skip("needs CMake")
    if shutil.which(compiler) is None:
        pytest.skip(f"needs {compiler}")
    if (compiler, target) not in _built:
        # Keyed by the tree's own path too: a CMake cache names its source directory, so a copy
        # of this tree (a release test runs one inside a chroot) must not inherit the original's.
        # Warnings are not errors here: the suite runs on users' compilers too, and a newer one
        # warns about test scaffolding (GCC 16: the counting operator new's delete).
        # Ninja where it is installed: some systems (Debian's minimal trees) have no make.
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        tree = hashlib.sha1(f"{ROOT} {generator}".encode()).hexdigest()[:8]
        build = ROOT / "build" / f"ctest-{Path(compiler).name}-{tree}"
        subprocess.run(["cmake", *generator, "-S", str(ROOT), "-B", str(build),
                        "-DCMAKE_BUILD_TYPE=Release",
                        f"-DCMAKE_CXX_COMPILER={compiler}", "-DTARNWICK_MODULE=OFF",
                        "-DBUILD_TESTING=ON"],
                       check=True, capture_output=True, timeout=300)
        result = subprocess.run(["cmake", "--build", str(build), "--target", target, "--parallel"],
                                capture_output=True, text=True, timeout=900)
        assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
        _built[compiler, target] = build
    return _built[compiler, target]


def ctest(name: str, target: str, compiler: str = "c++") -> str:
    """Builds `target` and runs the ctest test `name`; its output when it passes."""
    build = _build(compiler, target)
    result = subprocess.run(["ctest", "-R", f"^{name}$", "--output-on-failure", "-V"], cwd=build,
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-4000:]
    assert "No tests were found" not in result.stdout, result.stdout
    return result.stdout
