"""Runs the C++ test of softmax's quotients through the reciprocal: the divide
instruction's bits on quotients next to a midpoint between two doubles and at the edges of
the bounds softmax checks."""

from native import ctest


def test_quotient_native():
    ctest("rowwise.quotient", "test_quotient")
