"""Runs the GEMM's own C++ test (every element one FMA chain, result layouts Python never passes)
at each CPU level this processor has, and with every level's tile geometry emulated."""

import pytest

from native import ctest


@pytest.mark.parametrize("level", ["baseline", "avx2", "avx512", "emulated"])
def test_gemm_native(level):
    ctest(f"gemm.{level}", "test_gemm")
