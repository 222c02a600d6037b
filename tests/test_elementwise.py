"""ReLU, sigmoid, scaling and sums of squares over 1-D arrays."""

import ctypes
import math

import numpy as np
import pytest

import tarnwick
from conftest import run_python

F64, F32 = np.float64, np.float32
LEAF = 512  # longest leaf of the fixed summation tree
GROUP = 32  # leaves summed side by side
BIG = (1 << 20) + 3  # above every grain, so the pool takes part

_expf = ctypes.CDLL("libm.so.6").expf
_expf.restype = ctypes.c_float
_expf.argtypes = [ctypes.c_float]


def _exp(v):
    try:
        return math.exp(v)
    except OverflowError:  # the C function gives +inf instead
        return math.inf


def ref_relu(x):
    return np.where(x > 0, x, x.dtype.type(0))


def ref_sigmoid(x):
    if x.dtype == F64:
        return np.array([1.0 / (1.0 + _exp(-v)) for v in x.tolist()], F64)
    one = F32(1)
    with np.errstate(over="ignore"):
        return np.array([one / (one + F32(_expf(-v))) for v in x], F32)


def ref_sum_of_squares(x):
    """The fixed tree: every range halves down to the first depth where none is longer than
    LEAF; each leaf sums in order from -0.0 and halves add once."""
    with np.errstate(over="ignore", invalid="ignore"):
        squares = x * x
    depth = 0
    while -(-len(x) // (1 << depth)) > LEAF:
        depth += 1

    def node(b, e, d):
        if d == depth:
            # add.accumulate is strictly sequential, and -0.0 + v == v bit for bit
            return np.add.accumulate(squares[b:e])[-1] if e > b else x.dtype.type(-0.0)
        m = b + (e - b) // 2
        return node(b, m, d + 1) + node(m, e, d + 1)

    with np.errstate(over="ignore", invalid="ignore"):
        return float(node(0, len(x), 0))


MAPS = {
    "relu_numpy": (F64, ref_relu),
    "relu_numpy_f32": (F32, ref_relu),
    "sigmoid_numpy": (F64, ref_sigmoid),
    "sigmoid_numpy_f32": (F32, ref_sigmoid),
    "parallel_map_numpy": (F64, lambda x: x * -1.7),
    "parallel_map_numpy_f32": (F32, lambda x: x * F32(-1.7)),
}
SUMS = {"sum_of_squares_numpy": F64, "sum_of_squares_numpy_f32": F32}
ALL = {**{k: v[0] for k, v in MAPS.items()}, **SUMS}


def call(name, x):
    fn = getattr(tarnwick, name)
    return fn(x, -1.7) if name.startswith("parallel_map") else fn(x)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def same_values(a, b):
    """Bit-equal except that any NaN matches any NaN (its sign and payload are the C library's)."""
    a, b = np.asarray(a), np.asarray(b)
    nan = np.isnan(a)
    return same_bits(nan, np.isnan(b)) and same_bits(a[~nan], b[~nan])


def sample(n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) * rng.choice([1e-3, 1.0, 30.0, 800.0], n)).astype(dtype)
    specials = np.array([0.0, -0.0, np.nan, np.inf, -np.inf, -1000.0, 1000.0], dtype)
    x[: min(n, len(specials))] = specials[: min(n, len(specials))]
    return rng.permutation(x)


# Empty arrays of a layout, to be filled with the values in logical order.
_SHELLS = {
    "step 2": lambda n, t: np.full(2 * n, 7, t)[::2],
    "reversed": lambda n, t: np.full(n, 7, t)[::-1],
    "step -3": lambda n, t: np.full(3 * n, 7, t)[::-3],
    "column": lambda n, t: np.full((n, 3), 7, t)[:, 1],
    "unaligned": lambda n, t: np.frombuffer(bytearray(n * t.itemsize + 1), t, n, offset=1),
}


def layout(values, kind):
    """A view of `kind` whose elements, in logical order, are `values`."""
    if kind in _SHELLS:
        view = _SHELLS[kind](len(values), values.dtype)
        view[...] = values
        return view
    view = values.copy()
    view.flags.writeable = kind != "read-only"
    return view


LAYOUTS = ["contiguous", "step 2", "reversed", "step -3", "column", "unaligned", "read-only"]


@pytest.mark.parametrize("name", MAPS)
@pytest.mark.parametrize("kind", LAYOUTS)
@pytest.mark.parametrize("n", [1, 2, 7, 9, 16, 17, 33, 1000, BIG])
def test_map_matches_reference_bit_for_bit(name, kind, n):
    dtype, ref = MAPS[name]
    if n == BIG and name.startswith("sigmoid"):
        n = 50_001  # the per-element Python reference is slow; still above the sigmoid grain
    x = layout(sample(n, dtype), kind)
    before = x.copy()
    with np.errstate(all="ignore"):
        expected = ref(np.ascontiguousarray(x))
    got = call(name, x)
    assert same_bits(got, expected)
    assert got.flags.c_contiguous and got.flags.writeable and got.flags.owndata is False
    assert not np.shares_memory(got, x)
    assert same_bits(x, before)


@pytest.mark.parametrize("name", [n for n in MAPS if not n.startswith("sigmoid")])
@pytest.mark.parametrize("offset", [0, 1])
def test_large_results_bypass_the_caches_with_the_same_bits(name, offset):
    # 16 MiB and more of result take the stores that bypass the caches, each pool piece
    # aligning its own start; the input may sit at any element address.
    dtype, ref = MAPS[name]
    n = (16 << 20) // np.dtype(dtype).itemsize + 37
    held = sample(n + 1, dtype, seed=3)
    x = held[offset:offset + n]
    with np.errstate(all="ignore"):
        assert same_bits(call(name, x), ref(x))


@pytest.mark.parametrize("name", SUMS)
@pytest.mark.parametrize("at", [0, 1, 511, 512, 4097, 16_383, 40_000])
@pytest.mark.parametrize("special", [np.inf, np.nan, 1e30])
def test_sum_of_squares_specials_stay_in_their_leaf(name, at, special):
    dtype = SUMS[name]
    x = np.random.default_rng(at).standard_normal(40_001).astype(dtype)
    x[at] = special
    assert same_values(getattr(tarnwick, name)(x), ref_sum_of_squares(x))


def test_broadcast_view():
    x = np.broadcast_to(np.array([-2.5, 3.0]), (40_000, 2))[:, 1]  # step 0
    assert same_bits(tarnwick.relu_numpy(x), np.full(40_000, 3.0))
    assert tarnwick.sum_of_squares_numpy(x) == ref_sum_of_squares(np.ascontiguousarray(x))


@pytest.mark.parametrize("name", SUMS)
@pytest.mark.parametrize("kind", ["contiguous", "reversed", "step -3", "column", "unaligned"])
@pytest.mark.parametrize("n", [1, 5, 31, LEAF, LEAF + 1, 3 * LEAF + 7, GROUP * LEAF,
                               GROUP * LEAF + 1, 5 * GROUP * LEAF - 3, 65_537,
                               (1 << 17) + 1, (1 << 18) - 1, BIG])  # 1 MiB: prefetching starts
def test_sum_of_squares_follows_fixed_tree(name, kind, n):
    dtype = SUMS[name]
    x = layout(np.random.default_rng(n).standard_normal(n).astype(dtype), kind)
    got = getattr(tarnwick, name)(x)
    assert type(got) is float
    assert got == ref_sum_of_squares(np.ascontiguousarray(x))


@pytest.mark.parametrize("name", SUMS)
# Rows are read as halves of two leaves W / 2 apart (2, 4 or 8): both partners of each.
@pytest.mark.parametrize("leaf", [0, 1, 2, 3, 4, 7, 8, 12, 13, 16, 24, 30, 31])
@pytest.mark.parametrize("size", [LEAF, LEAF - 3])  # leaves one apart in length, or not
@pytest.mark.parametrize("groups", [1, 3])
def test_each_leaf_adds_in_ascending_order(name, leaf, size, groups):
    # Only one leaf is non-zero, so the total is that leaf's own sum and any slip in its
    # order (or a neighbour's values leaking into its lane) changes the bits.
    dtype = SUMS[name]
    n = groups * GROUP * size + 5
    x = np.zeros(n, dtype)
    target = (groups - 1) * GROUP + leaf
    bounds = [0, n]
    while max(b - a for a, b in zip(bounds, bounds[1:])) > LEAF:
        bounds = sorted({*bounds, *(a + (b - a) // 2 for a, b in zip(bounds, bounds[1:]))})
    b, e = bounds[target], bounds[target + 1]
    part = np.random.default_rng(leaf).standard_normal(e - b).astype(dtype)
    x[b:e] = part
    assert getattr(tarnwick, name)(x) == float(np.add.accumulate(part * part)[-1])


@pytest.mark.parametrize("name, x, expected", [
    ("relu_numpy", [-1.0, 0.0, 2.5], [0.0, 0.0, 2.5]),
    ("relu_numpy", [np.nan, -0.0, np.inf, -np.inf], [0.0, 0.0, np.inf, 0.0]),
    ("relu_numpy_f32", [np.nan, -0.0, -3.0, 1e-45], [0.0, 0.0, 0.0, 1e-45]),
    ("sigmoid_numpy", [0.0, -0.0, np.inf, -np.inf, -1000.0, np.nan], [0.5, 0.5, 1.0, 0.0, 0.0, np.nan]),
    ("sigmoid_numpy_f32", [-100.0, 0.0, np.inf, -np.inf, np.nan], [0.0, 0.5, 1.0, 0.0, np.nan]),
])
def test_edge_values(name, x, expected):
    dtype = MAPS[name][0]
    arr = np.array(x, dtype)
    before = arr.copy()
    got = call(name, arr)
    assert same_values(got, np.array(expected, dtype))  # +0.0, never -0.0
    assert same_bits(arr, before)


@pytest.mark.parametrize("name, factor, x, expected", [
    ("parallel_map_numpy", 2.0, [1.0, 2.0, 3.0], [2.0, 4.0, 6.0]),
    ("parallel_map_numpy", 2, [1.0, -0.0], [2.0, -0.0]),
    ("parallel_map_numpy", -0.0, [1.0, -1.0], [-0.0, 0.0]),
    ("parallel_map_numpy_f32", 0.1, [1.0, 3.0, -7.0], [F32(0.1), F32(3) * F32(0.1), F32(-7) * F32(0.1)]),
    ("parallel_map_numpy_f32", 1e300, [2.0, -2.0, 0.0], [np.inf, -np.inf, np.nan]),
    ("parallel_map_numpy_f32", 1e-50, [1.0, -1.0], [0.0, -0.0]),
])
def test_scaling(name, factor, x, expected):
    dtype = MAPS[name][0]
    got = getattr(tarnwick, name)(np.array(x, dtype), factor)
    assert same_values(got, np.array(expected, dtype))


@pytest.mark.parametrize("name, x, expected", [
    ("sum_of_squares_numpy", [1.0, 2.0, 3.0], 14.0),
    ("sum_of_squares_numpy", [1e200, 1e200], math.inf),
    ("sum_of_squares_numpy", [1.0, np.nan, 2.0], math.nan),
    ("sum_of_squares_numpy", [-0.0], 0.0),
    ("sum_of_squares_numpy_f32", [1e20, 1e20], math.inf),  # the squares overflow in 32 bits
    ("sum_of_squares_numpy_f32", [3.0], 9.0),
    ("sum_of_squares_numpy_f32", [0.1], float(F32(0.1) * F32(0.1))),
])
def test_sum_values(name, x, expected):
    with np.errstate(over="ignore"):
        got = getattr(tarnwick, name)(np.array(x, SUMS[name]))
    assert type(got) is float
    assert got == expected or (math.isnan(got) and math.isnan(expected))
    assert math.copysign(1, got) == math.copysign(1, expected)


@pytest.mark.parametrize("name", ALL)
def test_empty(name):
    x = np.array([], ALL[name])
    got = call(name, x)
    if name in SUMS:
        assert got == 0.0 and math.copysign(1.0, got) == -1.0
    else:
        assert got is not x and got.dtype == x.dtype and got.shape == (0,)


@pytest.mark.parametrize("name", ALL)
def test_wrong_arrays_are_refused(name, refcounts):
    dtype = ALL[name]
    other = F32 if dtype == F64 else F64
    for bad, shown in [(np.zeros(3, other), "ndarray"), (np.zeros((2, 2), dtype), "ndarray"),
                       (np.zeros(3, np.int64), "ndarray"), ([1.0, 2.0], "list"), (1.5, "float")]:
        args = (bad, -1.7) if name.startswith("parallel_map") else (bad,)
        with refcounts(bad), pytest.raises(TypeError) as info:
            getattr(tarnwick, name)(*args)
        assert str(info.value) == f"argument 'arr': '{shown}' object cannot be cast as 'ndarray'"


@pytest.mark.parametrize("name", ["parallel_map_numpy", "parallel_map_numpy_f32"])
@pytest.mark.parametrize("kind", ["contiguous", "step 2"])
def test_bad_factor_is_reported_after_arr(name, kind, refcounts):
    x = layout(np.arange(6, dtype=MAPS[name][0]), kind)
    with refcounts(x), pytest.raises(TypeError, match=r"^argument 'factor': "):
        getattr(tarnwick, name)(x, "2")
    with pytest.raises(TypeError, match=r"^argument 'arr': "):
        getattr(tarnwick, name)([1.0], "2")


@pytest.mark.parametrize("name", ALL)
def test_reference_counts(name, refcounts):
    x = sample(BIG if name.startswith(("relu", "sum")) else 300, ALL[name])  # pooled and not
    with refcounts(x):
        call(name, x)


@pytest.mark.huge_alloc
@pytest.mark.parametrize("name", MAPS)
def test_result_too_large_is_memory_error(name):
    x = np.broadcast_to(np.ones(1, MAPS[name][0]), (1 << 45,))  # 128 TiB or more of result
    with pytest.raises(MemoryError):
        call(name, x)


def test_thread_counts_and_cpu_levels_give_identical_bits():
    code = """
        import hashlib, sys
        import numpy as np
        import tarnwick
        rng = np.random.default_rng(7)
        out = hashlib.sha256()
        for dtype, sfx in ((np.float64, ""), (np.float32, "_f32")):
            x = (rng.standard_normal(3_000_017) * 50).astype(dtype)
            for r in (x, x[::-2]):
                for f in ("relu_numpy", "sigmoid_numpy"):
                    out.update(getattr(tarnwick, f + sfx)(r).tobytes())
                out.update(getattr(tarnwick, "parallel_map_numpy" + sfx)(r, 0.3).tobytes())
                out.update(repr(getattr(tarnwick, "sum_of_squares_numpy" + sfx)(r)).encode())
                for n in (50_001, 16_384, 4_097, 1_000):
                    out.update(repr(getattr(tarnwick, "sum_of_squares_numpy" + sfx)(r[:n])).encode())
        m = rng.standard_normal((700, 800))  # a streamed dropout-add result
        out.update(tarnwick.fused_dropout_add(m, m[::-1], m.T.copy().T, 0.7).tobytes())
        for v in (m[:45, :333], m[:45, ::-1], m[:45, ::-3], np.asfortranarray(m[:45])):
            out.update(tarnwick.fused_layer_norm(v, 1e-5).tobytes())
        print(out.hexdigest())
    """
    digests = set()
    settings = [{"RAYON_NUM_THREADS": t} for t in ("1", "2", "3", "7")]
    settings += [{"TARNWICK_CPU": level} for level in ("baseline", "avx2", "avx512")]
    for env in settings:
        proc = run_python(code, env)
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1
