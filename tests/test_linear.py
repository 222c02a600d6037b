"""The matrix product and the fused dense layer: values for every operand layout, result
layouts, shape errors, empty shapes and IEEE special values."""

import numpy as np
import pytest

import tarnwick

RNG = np.random.default_rng(7)


def c_order(x):
    return x.copy()


def f_order(x):
    return np.asfortranarray(x)


def transposed(x):
    return x.T.copy().T


def sliced(x):
    big = np.zeros((2 * x.shape[0], 3 * x.shape[1]), x.dtype)
    big[::2, ::3] = x
    return big[::2, ::3]


def reversed_rows(x):
    return x[::-1].copy()[::-1]


def reversed_cols(x):
    return x[:, ::-1].copy()[:, ::-1]


def reversed_f(x):
    return np.asfortranarray(x[::-1, ::-1])[::-1, ::-1]


def broadcast_row(x):
    return np.broadcast_to(x[:1], x.shape)


def broadcast_col(x):
    return np.broadcast_to(x[:, :1], x.shape)


def broadcast_all(x):
    return np.broadcast_to(x[:1, :1], x.shape)


LAYOUTS = [c_order, f_order, transposed, sliced, reversed_rows, reversed_cols, reversed_f,
           broadcast_row, broadcast_col, broadcast_all]
MATMUL = {np.float64: tarnwick.matmul_numpy, np.float32: tarnwick.matmul_numpy_f32}
LINEAR = [  # function, dtype, relu, flat
    (tarnwick.fused_linear, np.float64, False, False),
    (tarnwick.fused_linear_f32, np.float32, False, True),
    (tarnwick.fused_linear_relu, np.float64, True, False),
    (tarnwick.fused_linear_relu_f32, np.float32, True, False),
]


def relu(v):
    return np.where(v > 0, v, 0).astype(v.dtype)


def tolerance(dtype):
    return {"rtol": 1e-12, "atol": 1e-12} if dtype == np.float64 else {"rtol": 2e-5, "atol": 2e-5}


@pytest.mark.parametrize("m, k, n", [(7, 5, 6), (1, 5, 6), (7, 5, 1)])  # 1: matrix-vector
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout_b", LAYOUTS)
@pytest.mark.parametrize("layout_a", LAYOUTS)
def test_matmul_any_layout(layout_a, layout_b, dtype, m, k, n):
    a0, b0 = RNG.standard_normal((m, k)).astype(dtype), RNG.standard_normal((k, n)).astype(dtype)
    a, b = layout_a(a0), layout_b(b0)
    before = a.copy(), b.copy()
    result = MATMUL[dtype](a, b)
    assert result.dtype == dtype and result.shape == (m, n) and result.flags.c_contiguous
    np.testing.assert_allclose(result, np.array(a) @ np.array(b), **tolerance(dtype))
    np.testing.assert_array_equal(a, before[0])
    np.testing.assert_array_equal(b, before[1])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("shape", [(1, 1, 1), (1, 300, 1), (300, 1, 200), (130, 257, 67),
                                   (1, 64, 70), (2, 33, 70), (5, 64, 129), (8, 64, 64), (9, 3, 17)])
def test_matmul_sizes(shape, dtype):
    m, k, n = shape
    a, b = RNG.standard_normal((m, k)).astype(dtype), RNG.standard_normal((k, n)).astype(dtype)
    for x, y in ((a, b), (a[::-1], b[:, ::-2]), (a[:, ::-1], b[::-1])):
        np.testing.assert_allclose(MATMUL[dtype](x, y), x @ y, **tolerance(dtype))


@pytest.mark.parametrize("a_shape, b_shape, message", [
    ((2, 3), (2, 3), "Matrix dimensions don't match: (2, 3) @ (2, 3)"),
    ((2, 3), (4, 5), "Matrix dimensions don't match: (2, 3) @ (4, 5)"),
    ((0, 10), (0, 12), "Matrix dimensions don't match: (0, 10) @ (0, 12)"),
])
def test_matmul_mismatch(a_shape, b_shape, message):
    with pytest.raises(ValueError) as info:
        tarnwick.matmul_numpy(np.ones(a_shape), np.ones(b_shape))
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        tarnwick.matmul_numpy_f32(np.ones(a_shape, np.float32), np.ones(b_shape, np.float32))
    assert str(info.value) == "Matrix dimensions don't match"


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("m, k, n", [(3, 0, 4), (0, 5, 2), (2, 5, 0), (0, 0, 0)])
def test_matmul_empty(m, k, n, dtype):
    result = MATMUL[dtype](np.ones((m, k), dtype), np.ones((k, n), dtype))
    assert result.shape == (m, n) and result.dtype == dtype
    np.testing.assert_array_equal(result, np.zeros((m, n)))


def test_matmul_nan_spreads_along_its_row():
    a, b = np.ones((3, 4)), np.zeros((4, 5))
    a[1, 2] = np.nan
    result = tarnwick.matmul_numpy(a, b)
    assert np.isnan(result[1]).all()
    assert not np.isnan(result[[0, 2]]).any()


def repeated_one(dtype, shape):
    """An array of `shape` whose every element is the same 1.0: no memory, however large."""
    return np.lib.stride_tricks.as_strided(np.ones(1, dtype), shape, (0,) * len(shape))


@pytest.mark.parametrize("m, k, n", [
    (2**59, 0, 2**59), (2**31, 0, 2**31), (2**59, 0, 32),  # empty operands
    (2**32, 1, 2**32), (2**31, 1, 2**31),  # element count, then byte count, past 2**63
])
def test_result_too_large_to_exist_is_memory_error(m, k, n, capfd):
    """A result whose size overflows cannot be allocated: MemoryError, as for any result too
    large for memory, and nothing written to standard error."""
    for dtype in (np.float64, np.float32):
        a, b, bias = repeated_one(dtype, (m, k)), repeated_one(dtype, (k, n)), repeated_one(dtype, (n,))
        calls = [lambda: MATMUL[dtype](a, b)]
        calls += [lambda fn=fn: fn(a, b, bias) for fn, fn_dtype, _, _ in LINEAR if fn_dtype == dtype]
        for call in calls:
            with pytest.raises(MemoryError):
                call()
    assert capfd.readouterr().err == ""


@pytest.mark.huge_alloc
def test_unallocatable_result_is_memory_error():
    with pytest.raises(MemoryError):
        tarnwick.matmul_numpy(np.empty((2**40, 0)), np.empty((0, 2**16)))


@pytest.mark.parametrize("fn, dtype, use_relu, flat", LINEAR)
@pytest.mark.parametrize("layout_w", LAYOUTS)
@pytest.mark.parametrize("layout_x", LAYOUTS)
def test_linear_any_layout(fn, dtype, use_relu, flat, layout_x, layout_w):
    x0, w0 = RNG.standard_normal((6, 4)).astype(dtype), RNG.standard_normal((4, 5)).astype(dtype)
    x, w, b = layout_x(x0), layout_w(w0), RNG.standard_normal(5).astype(dtype)
    result = fn(x, w, b)
    expected = np.array(x) @ np.array(w) + b
    expected = relu(expected) if use_relu else expected
    assert result.dtype == dtype
    if flat:
        assert result.shape == (30,) and result.flags.c_contiguous
        expected = expected.reshape(-1)
    else:
        column_major = x.strides[0] == x.itemsize and w.strides[0] == w.itemsize
        assert result.shape == (6, 5)
        assert result.flags.f_contiguous if column_major else result.flags.c_contiguous
        assert not (result.flags.c_contiguous if column_major else result.flags.f_contiguous)
    np.testing.assert_allclose(result, expected, **tolerance(dtype))


@pytest.mark.parametrize("bias_of", [
    lambda v: v[::-1].copy()[::-1],
    lambda v: np.repeat(v, 3)[::3],
    lambda v: np.broadcast_to(v[:1], v.shape),
])
@pytest.mark.parametrize("order", ["C", "F"])
def test_linear_bias_read_through_its_step(bias_of, order):
    x = np.asarray(RNG.standard_normal((3, 4)), order=order)
    w = np.asarray(RNG.standard_normal((4, 5)), order=order)
    b = bias_of(RNG.standard_normal(5))
    np.testing.assert_allclose(tarnwick.fused_linear(x, w, b), x @ w + b)
    np.testing.assert_allclose(tarnwick.fused_linear_relu(x, w, b), relu(x @ w + b))


def test_bias_pass_adds_exactly_once():
    x, w, b = RNG.standard_normal((9, 8)), RNG.standard_normal((8, 7)), RNG.standard_normal(7)
    product = tarnwick.matmul_numpy(x, w)
    np.testing.assert_array_equal(tarnwick.fused_linear(x, w, b), product + b)
    np.testing.assert_array_equal(tarnwick.fused_linear_relu(x, w, b), relu(product + b))


@pytest.mark.parametrize("fn, dtype, use_relu, flat", LINEAR)
def test_linear_documented_example(fn, dtype, use_relu, flat):
    x, w, b = (np.array(v, dtype) for v in ([[1, 2]], [[1, 0], [0, 1]], [0.5, -3]))
    expected = np.array([[1.5, 0.0 if use_relu else -1.0]], dtype)
    np.testing.assert_array_equal(fn(x, w, b), expected.reshape(-1) if flat else expected)


@pytest.mark.parametrize("x_shape, w_shape, bias_len, message", [
    ((2, 3), (4, 5), 5, "Input and weights dimensions don't match"),
    ((2, 3), (3, 4), 5, "Weights and bias dimensions don't match"),
    ((2, 3), (4, 5), 7, "Input and weights dimensions don't match"),
    ((0, 3), (3, 0), 1, "Weights and bias dimensions don't match"),
])
@pytest.mark.parametrize("fn, dtype, use_relu, flat", LINEAR)
def test_linear_mismatch(fn, dtype, use_relu, flat, x_shape, w_shape, bias_len, message):
    with pytest.raises(ValueError) as info:
        fn(np.ones(x_shape, dtype), np.ones(w_shape, dtype), np.ones(bias_len, dtype))
    assert str(info.value) == message


@pytest.mark.parametrize("m, k, n", [(3, 0, 2), (0, 4, 2), (3, 4, 0), (0, 0, 0)])
@pytest.mark.parametrize("fn, dtype, use_relu, flat", LINEAR)
def test_linear_empty(fn, dtype, use_relu, flat, m, k, n):
    b = np.arange(n, dtype=dtype) - 1
    result = fn(np.ones((m, k), dtype), np.ones((k, n), dtype), b)
    expected = np.broadcast_to(relu(b) if use_relu else b, (m, n))
    np.testing.assert_array_equal(result, expected.reshape(-1) if flat else expected)


@pytest.mark.parametrize("order", ["C", "F"])
def test_linear_special_values(order):
    x = np.asarray(np.ones((4, 3)), order=order)
    w = np.asarray(np.ones((3, 4)), order=order)
    x[1, 2] = np.nan
    b = np.array([0.0, -3.0, np.inf, -np.inf])
    plain = tarnwick.fused_linear(x, w, b)
    assert np.isnan(plain[1]).all()
    np.testing.assert_array_equal(plain[0], [3.0, 0.0, np.inf, -np.inf])
    rectified = tarnwick.fused_linear_relu(x, w, b)
    np.testing.assert_array_equal(rectified, [[3, 0, np.inf, 0], [0] * 4, [3, 0, np.inf, 0],
                                              [3, 0, np.inf, 0]])
    assert not np.signbit(rectified).any()  # NaN and zeros of either sign come out as +0.0
    small = tarnwick.fused_linear_relu_f32(np.zeros((2, 1), np.float32),
                                           np.zeros((1, 2), np.float32),
                                           np.array([-0.0, np.nan], np.float32))
    assert not np.signbit(small).any() and (small == 0).all()


def test_linear_same_array_everywhere_and_unchanged(refcounts):
    a = RNG.standard_normal((5, 5))
    before = a.copy()
    with refcounts(a):
        result = tarnwick.fused_linear_relu(a, a, a[2])
    np.testing.assert_allclose(result, relu(a @ a + a[2]))
    np.testing.assert_array_equal(a, before)

