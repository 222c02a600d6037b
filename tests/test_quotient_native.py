"""Runs the C++ test of the row-wise kernels' quotients through the reciprocal: the divide
instruction's bits on quotients next to a midpoint between two doubles and at the edges of
the bounds the kernels check."""

from native import ctest


def test_quotient_native():
    ctest("rowwise.quotient", "test_quotient")
