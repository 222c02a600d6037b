"""Batch invariance of the products: every element of a product is one chain of fused
multiply-adds over k, ascending from -0.0, so a row's bits never depend on the batch around it,
the operands' layouts or the vector level. Also the accuracy of that chain against long double."""

import ctypes
import ctypes.util
import sys

import numpy as np
import pytest

import tarnwick
from conftest import run_python
from test_linear import LAYOUTS

MATMUL = {np.float64: tarnwick.matmul_numpy, np.float32: tarnwick.matmul_numpy_f32}
RELU_LAYER = {np.float64: tarnwick.fused_linear_relu, np.float32: tarnwick.fused_linear_relu_f32}
PLAIN_LAYER = {np.float64: tarnwick.fused_linear, np.float32: tarnwick.fused_linear_f32}
# Around the tile heights (4, 6, 12), the block of A (96 to 192 rows; 120 or 240 with
# AVX-512's blocking), k's block (128 to 256; up to 512 with AVX-512), the tile widths (4 to
# 32), the block of B (512 to 2048 columns), and the size below which operands are read in
# place.
SHAPES = [(1, 1, 1), (5, 3, 7), (6, 17, 8), (7, 33, 9), (11, 255, 17), (12, 256, 16),
          (13, 257, 33), (17, 5, 65), (25, 129, 31), (40, 300, 100), (97, 513, 19),
          (200, 31, 70), (9, 7, 2061), (121, 1030, 20), (241, 600, 33)]


def bits(x):
    return np.ascontiguousarray(x).view(np.uint64 if x.dtype == np.float64 else np.uint32)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape
    mismatched = np.argwhere(bits(actual) != bits(expected))
    assert mismatched.size == 0, f"{len(mismatched)} elements differ, first at {mismatched[0]}"


def data(m, k, n, dtype, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((m, k)).astype(dtype), rng.standard_normal((k, n)).astype(dtype))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("m, k, n", SHAPES)
def test_rows_and_columns_do_not_depend_on_the_batch(m, k, n, dtype):
    a, b = data(m, k, n, dtype)
    whole = MATMUL[dtype](a, b)
    for i in sorted({0, m // 2, m - 1}):
        assert_same_bits(MATMUL[dtype](a[i:i + 1], b), whole[i:i + 1])
    half = m // 2
    halves = np.concatenate([MATMUL[dtype](a[:half], b), MATMUL[dtype](a[half:], b)])
    assert_same_bits(halves, whole)
    for j0, j1 in ((0, 1), (n // 3, n), (n - 1, n)):
        assert_same_bits(MATMUL[dtype](a, b[:, j0:j1]), whole[:, j0:j1])
    assert_same_bits(MATMUL[dtype](np.tile(a, (3, 1)), b), np.tile(whole, (3, 1)))


# A strided B is packed by each level's own routines: columns with adjacent elements through
# register transposes, rows with a column step of 2 to 4 through permutes, the rest element by
# element. Widths and depths around a vector and a tile's width (4 to 32 columns).
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("step", [-3, -1, 2, 3, 4, 5, "columns"])
@pytest.mark.parametrize("k, n", [(1, 1), (3, 7), (8, 16), (9, 17), (16, 31), (17, 33),
                                  (31, 64), (64, 65)])
def test_strided_b_gives_the_bits_of_a_dense_b(dtype, step, k, n):
    a, b = data(13, k, n, dtype, seed=k * 100 + n)
    expected = MATMUL[dtype](a, b)
    if step == "columns":
        view = np.asfortranarray(b)
    else:
        big = np.zeros((k, abs(step) * n + 5), dtype)
        view = big[:, 2::step][:, :n] if step > 0 else big[:, -3::step][:, :n]
        view[...] = b
    assert_same_bits(MATMUL[dtype](a, view), expected)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="maps memory through libc")
@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("step", [2, 3, 4])
def test_sliced_b_is_never_read_past_its_last_element(dtype, step):
    # The last element of B is the last of its mapping, and the next page is unreadable: a
    # vector load past the end would crash the interpreter, so it runs in one of its own.
    code = f"""
        import ctypes, mmap, numpy as np, tarnwick
        libc = ctypes.CDLL(None, use_errno=True)
        libc.mmap.restype = ctypes.c_void_p
        libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                              ctypes.c_int, ctypes.c_long]
        libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        page = mmap.PAGESIZE
        pages = 4
        base = libc.mmap(None, (pages + 1) * page, mmap.PROT_READ | mmap.PROT_WRITE,
                         mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        assert libc.mprotect(base + pages * page, page, 0) == 0  # no access
        dtype = np.dtype("{dtype}")
        k, n = 8, 40
        cols = {step} * (n - 1) + 1  # the slice ends at the row's last element
        count = k * cols
        start = base + pages * page - count * dtype.itemsize
        flat = np.ctypeslib.as_array((ctypes.c_byte * (count * dtype.itemsize)).from_address(start))
        b = flat.view(dtype).reshape(k, cols)
        b[...] = np.arange(count).reshape(k, cols) % 7
        view = b[:, ::{step}]
        a = np.ones((5, k), dtype)
        got = (tarnwick.matmul_numpy if dtype == np.float64 else tarnwick.matmul_numpy_f32)(a, view)
        print(bool((got == a @ np.ascontiguousarray(view)).all()))
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("layout_b", LAYOUTS)
@pytest.mark.parametrize("layout_a", LAYOUTS)
def test_layouts_do_not_change_bits(layout_a, layout_b, dtype):
    for m, k, n in ((7, 33, 9), (30, 300, 41)):
        a, b = data(m, k, n, dtype)
        x, y = layout_a(a), layout_b(b)
        expected = MATMUL[dtype](np.array(x), np.array(y))
        assert_same_bits(MATMUL[dtype](x, y), expected)
        bias = np.linspace(-1, 1, n).astype(dtype)
        assert_same_bits(PLAIN_LAYER[dtype](x, y, bias).reshape(m, n), expected + bias)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_layer_rows_do_not_depend_on_the_batch(dtype):
    x, w = data(37, 300, 70, dtype)
    bias = np.linspace(-2, 2, 70).astype(dtype)
    product = MATMUL[dtype](x, w)
    whole = RELU_LAYER[dtype](x, w, bias)
    assert_same_bits(whole, np.where(product + bias > 0, product + bias, dtype(0)))
    for i in (0, 5, 36):
        assert_same_bits(RELU_LAYER[dtype](x[i:i + 1], w, bias), whole[i:i + 1])
    fortran = RELU_LAYER[dtype](np.asfortranarray(x), np.asfortranarray(w), bias)
    assert fortran.flags.f_contiguous
    assert_same_bits(fortran, whole)


def _libm_fma(dtype):
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    fn = libm.fma if dtype == np.float64 else libm.fmaf
    c_type = ctypes.c_double if dtype == np.float64 else ctypes.c_float
    fn.restype, fn.argtypes = c_type, [c_type] * 3
    return fn


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("m, k, n", [(3, 1, 2), (7, 9, 10), (2, 300, 3)])
def test_each_element_is_one_fma_chain_from_negative_zero(m, k, n, dtype):
    fma = _libm_fma(dtype)
    a, b = data(m, k, n, dtype)
    a[0, :] = -0.0
    b[:, 0] = np.abs(b[:, 0])  # element (0, 0) sums -0.0 only: it keeps the chain's start
    expected = np.empty((m, n), dtype)
    for i in range(m):
        for j in range(n):
            acc = -0.0
            for p in range(k):
                acc = fma(float(a[i, p]), float(b[p, j]), acc)
            expected[i, j] = acc
    assert_same_bits(MATMUL[dtype](a, b), expected)
    assert np.signbit(expected[0, 0])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("m, k, n", [(9, 1000, 13), (40, 257, 70), (1, 4097, 3)])
def test_accuracy_against_long_double(m, k, n, dtype):
    a, b = data(m, k, n, dtype)
    wide = a.astype(np.longdouble) @ b.astype(np.longdouble)
    magnitude = np.abs(a).astype(np.longdouble) @ np.abs(b).astype(np.longdouble)
    unit = np.finfo(dtype).eps / 2
    gamma = k * unit / (1 - k * unit)  # the bound of a k-term chain of rounded sums
    error = np.abs(MATMUL[dtype](a, b).astype(np.longdouble) - wide)
    assert (error <= gamma * magnitude).all()


_LEVEL_SCRIPT = """
    import hashlib, numpy as np, tarnwick
    h = hashlib.sha256()
    for dtype, f in ((np.float64, tarnwick.matmul_numpy), (np.float32, tarnwick.matmul_numpy_f32)):
        for m, k, n in {shapes}:
            rng = np.random.default_rng(m * 1000 + k)
            a = rng.standard_normal((m, k)).astype(dtype)
            b = rng.standard_normal((k, n)).astype(dtype)
            for x, y in ((a, b), (a[::-1], np.asfortranarray(b)), (a[:1], b[:, ::-1])):
                h.update(f(x, y).tobytes())
    print(h.hexdigest())
"""


def test_every_cpu_level_gives_the_same_bits():
    shapes = [(1, 3, 5), (7, 33, 9), (13, 257, 35), (40, 100, 70)]
    script = _LEVEL_SCRIPT.format(shapes=shapes)
    digests = {}
    for level in ("baseline", "avx2", "avx512"):
        out = run_python(script, env={"TARNWICK_CPU": level})
        assert out.returncode == 0, out.stderr
        digests[level] = out.stdout.strip()
    assert len(set(digests.values())) == 1, digests
