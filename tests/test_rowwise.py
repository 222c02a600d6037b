"""Row-wise transformer kernels: fused_softmax, fused_layer_norm and fused_dropout_add.

Values are checked bit for bit against plain-Python loops that follow the kernels' order of
operations exactly (sequential sums from -0.0, true divisions, the C library's exp)."""

import gc
import math
import sys
import weakref

import numpy as np
import pytest

import tarnwick


# ---------------------------------------------------------------- references

def ieee_div(a, b):
    if b == 0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def ieee_sqrt(v):
    return math.nan if v < 0 else math.sqrt(v)


def ref_softmax(x):
    out = []
    for row in x.tolist():
        m = -math.inf
        for v in row:
            if m != m or v > m:
                m = v
        exps = [math.exp(v - m) for v in row]
        s = -0.0
        for e in exps:
            s += e
        out.append([ieee_div(e, s) for e in exps])
    return np.array(out, dtype=np.float64).reshape(x.shape)


def ref_layer_norm(x, eps):
    n = float(x.shape[1])
    out = []
    for row in x.tolist():
        total = -0.0
        for v in row:
            total += v
        mean = total / n
        squares = -0.0
        for v in row:
            d = v - mean
            squares += d * d
        sd = ieee_sqrt(squares / n + eps)
        out.append([ieee_div(v - mean, sd) for v in row])
    return np.array(out, dtype=np.float64).reshape(x.shape)


def ref_dropout_add(x, residual, mask, scale):
    return np.array([[((a * m) * scale) + r for a, r, m in zip(xr, rr, mr)]
                     for xr, rr, mr in zip(x.tolist(), residual.tolist(), mask.tolist())],
                    dtype=np.float64).reshape(x.shape)


def assert_bits(got, want):
    """Same shape, NaN in the same places, every other value identical to the bit."""
    got, want = np.asarray(got), np.asarray(want, dtype=np.float64)
    assert got.dtype == np.float64 and got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    assert np.array_equal(got[~nan].view(np.int64), want[~nan].view(np.int64))


# ---------------------------------------------------------------- data and layouts

def sample(rows, cols, seed):
    """Values over many magnitudes, signed zeros throughout, and NaN / +-inf in some rows."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, cols)) * rng.choice([1e-3, 1.0, 40.0, 1e3], size=(rows, 1))
    x[rng.random((rows, cols)) < 0.08] = 0.0
    x[rng.random((rows, cols)) < 0.08] = -0.0
    for i in range(1, rows, 4):
        x[i, rng.integers(cols)] = rng.choice([np.nan, np.inf, -np.inf])
    if rows > 2:
        x[2, :] = -np.inf if seed % 2 else -0.0
    return x


def strided_slice(a):
    big = np.full((2 * a.shape[0], 3 * a.shape[1]), 7.0)
    big[::2, 1::3] = a
    return big[::2, 1::3]


def unaligned(a):
    out = np.ndarray(a.shape, np.float64, np.zeros(a.size * 8 + 1, np.uint8), offset=1)
    out[...] = a
    return out


C, F = np.ascontiguousarray, np.asfortranarray
# name: (an array holding a's values, whether for shape (r, c) the result keeps its steps)
LAYOUTS = {
    "C": (C, lambda r, c: True),
    "Fortran": (F, lambda r, c: True),
    "transposed": (lambda a: C(a.T).T, lambda r, c: True),
    "rows reversed": (lambda a: C(a[::-1])[::-1], lambda r, c: True),
    "columns reversed": (lambda a: C(a[:, ::-1])[:, ::-1], lambda r, c: True),
    "both reversed": (lambda a: C(a[::-1, ::-1])[::-1, ::-1], lambda r, c: True),
    "Fortran rows reversed": (lambda a: F(a[::-1])[::-1], lambda r, c: True),
    "Fortran both reversed": (lambda a: F(a[::-1, ::-1])[::-1, ::-1], lambda r, c: True),
    "strided slice": (strided_slice, lambda r, c: r * c <= 1),
    "column slice": (lambda a: np.hstack([a, a])[:, :a.shape[1]], lambda r, c: r <= 1),
    "unaligned": (unaligned, lambda r, c: False),
}

# Blocks of 8 and 4 rows with leftovers, column counts around the vector widths, long rows.
SHAPES = [(13, 19), (8, 4), (4, 9), (9, 1), (1, 9), (2, 3), (1, 1), (64, 37), (3, 1030), (15, 11),
          (6, 5)]


def check_layout(result, x, keeps):
    assert result is not x and not np.shares_memory(result, x)
    if keeps:
        assert result.strides == x.strides
    else:
        assert result.flags.c_contiguous
        if result.shape[0] > 1 and result.shape[1] > 1:
            assert result.strides == (8 * result.shape[1], 8)


def call_unchanged(fn, *arrays, extra=()):
    """Calls fn on read-only arrays and checks that they are left exactly as they were."""
    before = [a.copy() for a in arrays]
    for a in arrays:
        a.flags.writeable = False
    result = fn(*arrays, *extra)
    for a, b in zip(arrays, before):
        assert_bits(a, b)
    return result


# ---------------------------------------------------------------- softmax and layer norm

ROWWISE = {
    "softmax": (tarnwick.fused_softmax, ref_softmax),
    "layer_norm": (lambda x: tarnwick.fused_layer_norm(x, 1e-5), lambda x: ref_layer_norm(x, 1e-5)),
    "layer_norm eps=0": (lambda x: tarnwick.fused_layer_norm(x, 0.0),
                         lambda x: ref_layer_norm(x, 0.0)),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("kernel", ROWWISE)
@pytest.mark.parametrize("shape", SHAPES)
def test_rowwise_matches_reference_in_every_layout(kernel, shape, layout):
    fn, ref = ROWWISE[kernel]
    make, keeps = LAYOUTS[layout]
    a = sample(*shape, seed=sum(shape))
    x = make(a)
    got = call_unchanged(fn, x)
    assert_bits(got, ref(a))
    check_layout(got, x, keeps(*shape))


@pytest.mark.parametrize("kernel", ROWWISE)
@pytest.mark.parametrize("make", [
    lambda v: np.broadcast_to(v[0], (6, v.shape[1])),          # zero row step
    lambda v: np.broadcast_to(v[:, :1], (v.shape[0], 5)),      # zero column step
    lambda v: np.broadcast_to(np.float64(3.5), (4, 4)),        # zero in both
])
def test_rowwise_broadcast_inputs(kernel, make):
    fn, ref = ROWWISE[kernel]
    x = make(sample(6, 7, seed=3))
    got = fn(x)
    assert_bits(got, ref(np.array(x)))
    assert got.flags.c_contiguous and got.flags.writeable


@pytest.mark.parametrize("fn", [ROWWISE["softmax"][0], ROWWISE["layer_norm"][0],
                                lambda x: tarnwick.fused_dropout_add(x, x, x, 2.0)])
@pytest.mark.parametrize("shape, order", [((0, 4), "C"), ((3, 0), "C"), ((0, 0), "C"),
                                          ((0, 4), "F"), ((3, 0), "F")])
def test_empty(fn, shape, order):
    x = np.zeros(shape, order=order)
    got = fn(x)
    assert got.shape == shape and got.dtype == np.float64 and got is not x


def test_result_outlives_arguments_and_flips():
    x = np.ascontiguousarray(sample(5, 6, seed=9)[::-1, ::-1])[::-1, ::-1]
    want = ref_softmax(x)
    got = tarnwick.fused_softmax(x)
    del x
    gc.collect()
    assert_bits(got, want)
    got[0, 0] = 1.0  # the result is an ordinary writeable array


# ---------------------------------------------------------------- softmax edge cases

def test_softmax_edge_rows():
    x = np.array([
        [2.0, 2.0, 2.0, 2.0],
        [1000.0, 1001.0, 1002.0, -np.inf],
        [0.0, 1.0, 2.0, -np.inf],
        [1.0, np.nan, 3.0, 4.0],
        [1.0, np.inf, 3.0, 4.0],
        [-np.inf, -np.inf, -np.inf, -np.inf],
        [np.nan, np.nan, np.nan, np.nan],
    ])
    got = tarnwick.fused_softmax(x)
    assert np.array_equal(got[0], np.full(4, 0.25))
    assert_bits(got[1], got[2])
    np.testing.assert_allclose(got[1, :3], [0.0900306, 0.2447285, 0.6652410], rtol=1e-6)
    assert got[1, 3] == 0.0
    assert np.isnan(got[3:]).all()
    # exp around its underflow edge, where a different exp would show first
    edge = np.array([[0.0, -700.0, -708.5, -720.0, -744.0, -745.1, -745.2, -746.0, 5e-324]])
    assert_bits(tarnwick.fused_softmax(edge), ref_softmax(edge))


@pytest.mark.parametrize("spread", [1.0, 340.0, 346.5, 347.0, 700.0, 745.5])
@pytest.mark.parametrize("cols", [3, 4, 9, 67])
def test_softmax_smallest_exponentials(spread, cols):
    """Rows whose smallest exponentials fall on either side of 2^-500, under which a vector's
    quotients come from the divider instead of the sum's reciprocal, in every lane."""
    rng = np.random.default_rng(cols)
    x = -rng.random((3 * cols, cols)) * spread
    for r in range(x.shape[0]):
        x[r, r % cols] = -spread  # the smallest value in each lane in turn
    assert_bits(tarnwick.fused_softmax(x), ref_softmax(x))


# ---------------------------------------------------------------- layer norm edge cases

@pytest.mark.parametrize("row, eps, want", [
    ([1.0, 2.0, 3.0, 4.0], 0.0, [-1.3416407864998738, -0.4472135954999579,
                                 0.4472135954999579, 1.3416407864998738]),
    ([2.0, 2.0, 2.0, 2.0], 1e-5, [0.0, 0.0, 0.0, 0.0]),
    ([2.0, 2.0, 2.0, 2.0], 0.0, [math.nan] * 4),
    ([0.1, 0.1, 0.1], 0.0, [-1.0, -1.0, -1.0]),
    ([-0.0, -0.0, -0.0], 1.0, [0.0, 0.0, 0.0]),     # the sums start at -0.0
    ([1.0, 2.0, 3.0, 4.0], -2.0, [math.nan] * 4),
    ([1.0, np.inf, 3.0], 1e-5, [math.nan] * 3),
])
def test_layer_norm_edge_rows(row, eps, want):
    x = np.array([row, [5.0] + [6.0] * (len(row) - 1)])
    got = tarnwick.fused_layer_norm(x, eps)
    assert_bits(got[0], want)
    assert_bits(got[1], ref_layer_norm(x[1:], eps)[0])  # the other row is unaffected


@pytest.mark.parametrize("scale", [2.0**-1060, 2.0**-900, 2.0**-790, 2.0**-400, 1.0, 2.0**400,
                                   2.0**800, 2.0**1000])
@pytest.mark.parametrize("eps", [0.0, 1e-5, -0.9, 2.0**-800])
def test_layer_norm_across_scales(scale, eps):
    """Rows of every magnitude, with a mean of exactly zero, a deviation of -0.0, zero
    deviations and a negative eps, through the blocks of rows the kernels transpose."""
    rng = np.random.default_rng(int(math.log2(scale)) % 1000)
    x = rng.standard_normal((19, 37)) * scale
    x[3] = np.r_[1.0, -1.0, -0.0, np.zeros(34)] * scale   # mean +0, a -0 deviation
    x[5] = np.full(37, 2.0) * scale                       # zero deviations
    x[7, :18] = x[7, 19:] * -1                            # a mean of (nearly) zero
    assert_bits(tarnwick.fused_layer_norm(x, eps), ref_layer_norm(x, eps))


@pytest.mark.parametrize("layout", ["C", "columns reversed", "unaligned"])
@pytest.mark.parametrize("shape", [(700, 800), (699, 803)])  # results large enough to stream
def test_layer_norm_large_results(shape, layout):
    """Rows written around the caches where they start on a whole vector, through them
    elsewhere (odd row lengths alternate), forward, backward and in place."""
    x = sample(*shape, seed=11)
    got = tarnwick.fused_layer_norm(LAYOUTS[layout][0](x), 1e-5)
    assert_bits(got, ref_layer_norm(x, 1e-5))


def test_layer_norm_inexact_mean():
    small = tarnwick.fused_layer_norm(np.array([[0.1, 0.1, 0.1]]), 1e-5)[0]
    assert small[0] == small[1] == small[2] and -5e-15 < small[0] < -4e-15


# ---------------------------------------------------------------- dropout-add

def three(shape, seed):
    rng = np.random.default_rng(seed)
    x = sample(*shape, seed=seed)
    residual = rng.standard_normal(shape) * 1e3
    mask = rng.choice([0.0, 1.0, 0.5, -2.0, np.nan, 1e300], size=shape)
    return x, residual, mask


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", SHAPES)
def test_dropout_add_matches_reference_in_every_layout(shape, layout):
    x, residual, mask = three(shape, seed=shape[0])
    names = list(LAYOUTS)
    other = names[(names.index(layout) + 3) % len(names)]  # each input in a different layout
    args = [LAYOUTS[layout][0](x), LAYOUTS[other][0](residual), LAYOUTS[layout][0](mask)]
    for scale in (1.1111111111111112, 0.0, -1e300):
        got = call_unchanged(tarnwick.fused_dropout_add, *args, extra=(scale,))
        assert_bits(got, ref_dropout_add(x, residual, mask, scale))
        assert got.flags.c_contiguous and not np.shares_memory(got, args[0])


@pytest.mark.parametrize("shape", [(3, 1030), (700, 800)])  # the second one streams its result
@pytest.mark.parametrize("offset", [0, 1])  # whole arrays at odd element addresses too
def test_dropout_add_whole_c_arrays(shape, offset):
    x, residual, mask = three(shape, seed=5)
    size = shape[0] * shape[1]
    args = []
    for a in (x, residual, mask):
        held = np.empty(size + 1)
        held[offset:offset + size] = a.ravel()
        args.append(held[offset:offset + size].reshape(shape))
    got = call_unchanged(tarnwick.fused_dropout_add, *args, extra=(1.1111111111111112,))
    assert_bits(got, ref_dropout_add(x, residual, mask, 1.1111111111111112))


def test_dropout_add_broadcast_and_same_array():
    a = sample(5, 6, seed=4)
    assert_bits(tarnwick.fused_dropout_add(a, a, a, 1.0), ref_dropout_add(a, a, a, 1.0))
    row = np.broadcast_to(a[0], (5, 6))
    col = np.broadcast_to(a[:, :1], (5, 6))
    got = tarnwick.fused_dropout_add(row, col, a, 2.0)
    assert_bits(got, ref_dropout_add(np.array(row), np.array(col), a, 2.0))


def test_dropout_add_edge_values():
    x = np.array([[1.5, -2.0, np.inf, 3.0]])
    residual = np.array([[10.0, 20.0, 30.0, 40.0]])
    got = tarnwick.fused_dropout_add(x, residual, np.array([[0.0, 1.0, 0.0, 0.5]]), 2.0)
    assert_bits(got, [[10.0, 16.0, np.nan, 43.0]])
    got = tarnwick.fused_dropout_add(x, residual, np.ones((1, 4)), 0.0)
    assert_bits(got, [[10.0, 20.0, np.nan, 40.0]])


@pytest.mark.parametrize("shapes", [
    ((2, 3), (3, 2), (2, 3)), ((2, 3), (2, 3), (3, 2)), ((0, 3), (0, 4), (0, 3)),
    ((3, 4), (1, 4), (3, 4)), ((3, 4), (3, 4), (3, 1)), ((2, 6), (3, 4), (2, 6)),
])
def test_dropout_add_shape_mismatch(shapes, refcounts):
    arrays = [np.ones(s) for s in shapes]
    with refcounts(*arrays):
        with pytest.raises(ValueError) as info:
            tarnwick.fused_dropout_add(*arrays, 1.0)
    # The message exactly; the note (which pytest's match would read too) names the shapes.
    assert str(info.value) == "All arrays must have the same shape"
    assert info.value.__notes__[0].startswith(f"x has shape {shapes[0]}")


# ---------------------------------------------------------------- argument errors

def cast_message(param, type_name):
    return f"argument '{param}': '{type_name}' object cannot be cast as 'ndarray'"


BAD_ARRAYS = [
    (np.ones(3), "ndarray"), (np.ones((2, 2, 2)), "ndarray"),
    (np.ones((2, 2), dtype=np.float32), "ndarray"), (np.ones((2, 2), dtype=bool), "ndarray"),
    (np.ones((2, 2), dtype=np.int64), "ndarray"), ([[1.0, 2.0]], "list"), (1.5, "float"),
]


@pytest.mark.parametrize("bad, type_name", BAD_ARRAYS)
@pytest.mark.parametrize("fn, position, param", [
    (tarnwick.fused_softmax, 0, "x"),
    (tarnwick.fused_layer_norm, 0, "x"),
    (tarnwick.fused_dropout_add, 0, "x"),
    (tarnwick.fused_dropout_add, 1, "residual"),
    (tarnwick.fused_dropout_add, 2, "dropout_mask"),
])
def test_wrong_arrays_refused(fn, position, param, bad, type_name, refcounts):
    ok = np.ones((2, 2))
    args = [ok, ok, ok, 1.0][:{"fused_softmax": 1, "fused_layer_norm": 2}.get(fn.__name__, 4)]
    if fn is tarnwick.fused_layer_norm:
        args[1] = 1e-5
    args[position] = bad
    with refcounts(ok, bad):
        with pytest.raises(TypeError) as info:
            fn(*args)
    assert str(info.value) == cast_message(param, type_name)


def test_first_failure_in_argument_order(refcounts):
    ok, other = np.ones((2, 2)), np.ones((3, 3))
    with refcounts(ok, other):
        with pytest.raises(TypeError, match="^argument 'residual'"):
            tarnwick.fused_dropout_add(ok, [1.0], np.ones(2), "s")
        with pytest.raises(TypeError, match="^argument 'scale'"):  # before the shape check
            tarnwick.fused_dropout_add(ok, other, ok, "s")
        with pytest.raises(TypeError, match="^argument 'eps'"):   # empty arrays convert eps too
            tarnwick.fused_layer_norm(np.ones((0, 2)), "small")
        with pytest.raises(TypeError, match="eps"):
            tarnwick.fused_layer_norm(ok)
    assert_bits(tarnwick.fused_layer_norm(x=ok, eps=1), ref_layer_norm(ok, 1.0))
    assert_bits(tarnwick.fused_dropout_add(scale=2, dropout_mask=ok, residual=ok, x=ok),
                np.full((2, 2), 3.0))


def test_refcounts_on_success(refcounts):
    x, residual, mask = three((6, 5), seed=1)
    flipped = x[::-1]
    with refcounts(x, residual, mask, flipped):
        tarnwick.fused_softmax(x)
        tarnwick.fused_softmax(flipped)
        tarnwick.fused_layer_norm(flipped, 1e-5)
        tarnwick.fused_dropout_add(x, residual, mask, 0.5)
        tarnwick.fused_dropout_add(x, x, x, 0.5)
    # Nothing else keeps the result or its memory alive once the caller lets go.
    result = tarnwick.fused_softmax(flipped)
    alive = weakref.ref(result)
    del result
    assert alive() is None


@pytest.mark.parametrize("make", [
    lambda a: a, lambda a: a[::-1], lambda a: a[:, ::-1], lambda a: a[::-1, ::-1],
    lambda a: np.asfortranarray(a)[::-1], lambda a: a[::2],
])
@pytest.mark.parametrize("fn", [tarnwick.fused_softmax, lambda x: tarnwick.fused_layer_norm(x, 1e-5)])
def test_results_own_their_memory_in_every_layout(make, fn):
    x = make(np.arange(24.0).reshape(6, 4))
    out = fn(x)
    assert type(out.base).__name__ == "PySliceContainer" and out.flags.writeable
    np.testing.assert_array_equal(out, fn(np.ascontiguousarray(x)))
