"""Any Python-level input ends in a result or an ordinary exception: never a crash, never a
PanicException."""

import itertools

import numpy as np
import pytest

import tarnwick

ZOO = [
    None, 0, -1.5, 10**400, "ab", b"ab", [], [[]], [[1.0, 2.0], [3.0]], (1.0,), {1: 2},
    np.float64(2.0), np.array(3.0), np.zeros(0), np.zeros((0, 0)), np.zeros((3, 0)),
    np.zeros((2, 2, 2)), np.arange(6.0).reshape(2, 3), np.arange(6.0, dtype=np.float32),
    np.arange(6, dtype=np.int64), np.ones(4, dtype=bool), np.ones(3, dtype=complex),
    np.array([1.0, None], dtype=object), np.arange(4.0).astype(">f8"),
    np.broadcast_to(np.arange(3.0), (4, 3)), np.arange(12.0).reshape(3, 4)[::-1, ::2],
    np.full((2, 2), np.nan), np.full(3, np.inf, dtype=np.float32),
]

ORDINARY = (TypeError, ValueError, OverflowError, RuntimeError)


def good_args(name):
    """A valid call of `name`, argument by argument."""
    dtype = np.float32 if name.endswith("_f32") else np.float64
    square = np.eye(2, dtype=dtype)
    by_param = {
        "numbers": [1.0, 2.0], "data": [1.0, 2.0], "factor": 2.0, "eps": 1e-5, "scale": 0.5,
        "arr": np.arange(5.0, dtype=dtype), "bias": np.ones(2, dtype=dtype),
        "a": square, "b": square, "input": square, "weights": square,
        "x": square, "residual": square, "dropout_mask": square,
    }
    if name == "matrix_multiply":
        by_param["a"] = by_param["b"] = [[1.0, 0.0], [0.0, 1.0]]
    params = getattr(tarnwick, name).__text_signature__.strip("()").split(", ")
    return [by_param[p] for p in params]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", tarnwick.__all__)
def test_every_function_survives_the_zoo(name):
    fn = getattr(tarnwick, name)
    good = good_args(name)
    fn(*good)
    # One argument at a time is replaced by each member of the zoo, the others stay valid.
    for position, value in itertools.product(range(len(good)), ZOO):
        args = list(good)
        args[position] = value
        try:
            fn(*args)
        except ORDINARY:
            pass
