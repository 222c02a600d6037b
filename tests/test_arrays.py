"""The NumPy boundary, seen through the matrix-product and dense-layer functions: which arrays
are taken, how odd layouts are read, and what the result arrays are."""

import sys

import numpy as np
import pytest

import tarnwick

F64 = np.arange(1.0, 7.0).reshape(2, 3)
SQUARE = np.arange(1.0, 10.0).reshape(3, 3)


def cast_message(param, type_name):
    return f"argument '{param}': '{type_name}' object cannot be cast as 'ndarray'"


@pytest.mark.parametrize("bad, type_name", [
    ([[1.0, 2.0], [3.0, 4.0]], "list"),
    (np.float64(1.0), "float64"),
    (np.ones(3), "ndarray"),                          # 1-D where 2-D is wanted
    (np.ones((2, 2, 2)), "ndarray"),                  # 3-D
    (np.ones((2, 2), dtype=np.float32), "ndarray"),   # the other width
    (np.ones((2, 2), dtype=np.int64), "ndarray"),
    (np.ones((2, 2), dtype=np.complex128), "ndarray"),
    (np.ones((2, 2), dtype=">f8"), "ndarray"),        # non-native byte order
    ("text", "str"),
])
@pytest.mark.parametrize("param", ["a", "b"])
def test_matmul_refuses(bad, type_name, param, refcounts):
    good = np.ones((2, 2))
    args = {"a": good, "b": good, param: bad}
    with refcounts(good, bad):
        with pytest.raises(TypeError) as info:
            tarnwick.matmul_numpy(**args)
    assert str(info.value) == cast_message(param, type_name)


@pytest.mark.parametrize("param, bad", [
    ("input", np.ones((1, 2), dtype=np.float32)),
    ("weights", np.ones(2)),
    ("bias", np.ones((1, 2))),                        # a 2-D bias is not broadcast
    ("bias", np.ones(2, dtype=np.float32)),
    ("bias", np.ones(2, dtype=">f8")),
])
def test_fused_linear_refuses_each_parameter(param, bad, refcounts):
    args = {"input": np.ones((1, 2)), "weights": np.ones((2, 2)), "bias": np.ones(2)}
    args[param] = bad
    with refcounts(*args.values()):
        with pytest.raises(TypeError, match=f"^argument '{param}': 'ndarray' object"):
            tarnwick.fused_linear(**args)


def test_first_refusal_wins():
    with pytest.raises(TypeError, match="^argument 'input'"):
        tarnwick.fused_linear_f32([1.0], "x", None)
    with pytest.raises(TypeError, match="^argument 'b'"):
        tarnwick.matmul_numpy_f32(np.ones((2, 2), np.float32), np.ones((2, 2)))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
def test_equivalent_dtype_and_subclass_accepted():
    meta = np.ones((2, 2), dtype=np.dtype(np.float64, metadata={"unit": "m"}))
    np.testing.assert_array_equal(tarnwick.matmul_numpy(meta, meta), np.full((2, 2), 2.0))
    m = np.matrix(SQUARE)
    result = tarnwick.matmul_numpy(m, m)
    assert type(result) is np.ndarray
    np.testing.assert_array_equal(result, np.asarray(m @ m))


def test_read_only_inputs_and_writeable_result():
    a = SQUARE.copy()
    a.flags.writeable = False
    result = tarnwick.fused_linear_relu(a, a, a[0])
    assert result.flags.writeable
    result[0, 0] = -1.0
    assert a[0, 0] == 1.0


@pytest.mark.parametrize("call", [
    lambda: tarnwick.matmul_numpy(SQUARE.copy(), SQUARE.copy()),
    lambda: tarnwick.matmul_numpy_f32(SQUARE.astype(np.float32), SQUARE.astype(np.float32)),
    lambda: tarnwick.fused_linear(SQUARE.copy(order="F"), SQUARE.copy(order="F"), np.ones(3)),
    lambda: tarnwick.fused_linear_f32(*(x.astype(np.float32) for x in (F64, F64.T, F64[0, :2]))),
])
def test_result_owns_memory_through_its_container(call):
    result = call()
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    expected = result.copy()
    view = result[::-1]
    del result
    np.testing.assert_array_equal(view[::-1], expected)   # the container keeps the memory alive


def test_result_survives_its_arguments():
    a, b = np.random.default_rng(1).random((2, 30, 30))
    expected = a @ b
    result = tarnwick.matmul_numpy(a, b)
    del a, b
    np.ones((30, 30)) @ np.ones((30, 30))                 # reuse freed memory if we still used it
    np.testing.assert_allclose(result, expected)


def packed_field(values):
    """`values` as a field of a packed record: 9-byte strides, data at an odd address."""
    rec = np.zeros(values.shape, dtype=np.dtype([("pad", "u1"), ("x", "<f8")]))
    rec["x"] = values
    return rec["x"]


def odd_offset(values):
    """`values` in a buffer that starts one byte past an aligned address."""
    raw = bytearray(values.nbytes + 1)
    arr = np.frombuffer(raw, dtype=values.dtype, offset=1).reshape(values.shape)
    arr[...] = values
    return arr


@pytest.mark.parametrize("make", [packed_field, odd_offset])
def test_misaligned_and_odd_strides_read_correctly(make):
    rng = np.random.default_rng(2)
    x, w, b = rng.random((4, 5)), rng.random((5, 3)), rng.random(3)
    odd_x, odd_w, odd_b = make(x), make(w), make(b)
    assert odd_x.strides[1] % 8 or odd_x.ctypes.data % 8
    np.testing.assert_allclose(tarnwick.matmul_numpy(odd_x, odd_w), x @ w)
    np.testing.assert_allclose(tarnwick.fused_linear(odd_x, w, odd_b), x @ w + b)
    np.testing.assert_allclose(tarnwick.matmul_numpy(odd_x.T, odd_x), x.T @ x)


def test_refcounts_on_success_and_on_shape_errors(refcounts):
    x, w, b = np.ones((2, 3)), np.ones((3, 4)), np.ones(4)
    with refcounts(x, w, b):
        tarnwick.matmul_numpy(x, w)
        tarnwick.fused_linear_relu(x, w, b)
        tarnwick.fused_linear_relu(input=x, weights=w, bias=b)
        with pytest.raises(ValueError):
            tarnwick.matmul_numpy(x, x)
        with pytest.raises(ValueError):
            tarnwick.fused_linear(x, w, x[0])
        with pytest.raises(ValueError):
            tarnwick.fused_linear(x, x, b)


def _calls():
    rng = np.random.default_rng(7)
    m64 = rng.standard_normal((64, 64))
    m32 = m64.astype(np.float32)
    v64, v32 = m64.ravel(), m32.ravel()
    return {
        "matmul": lambda: tarnwick.matmul_numpy(m64, m64.T),
        "matmul_f32": lambda: tarnwick.matmul_numpy_f32(m32, m32),
        "linear": lambda: tarnwick.fused_linear(m64, m64, v64[:64]),
        "linear_f32": lambda: tarnwick.fused_linear_f32(m32, m32, v32[:64]),
        "linear_relu": lambda: tarnwick.fused_linear_relu(m64.T, m64.T, v64[:64]),
        "linear_relu_f32": lambda: tarnwick.fused_linear_relu_f32(m32, m32, v32[:64]),
        "map": lambda: tarnwick.parallel_map_numpy(v64[::-1], 2.0),
        "map_f32": lambda: tarnwick.parallel_map_numpy_f32(v32, 2.0),
        "squares": lambda: tarnwick.sum_of_squares_numpy(v64),
        "squares_f32": lambda: tarnwick.sum_of_squares_numpy_f32(v32[::2]),
        "relu": lambda: tarnwick.relu_numpy(v64),
        "relu_f32": lambda: tarnwick.relu_numpy_f32(v32),
        "sigmoid": lambda: tarnwick.sigmoid_numpy(v64),
        "sigmoid_f32": lambda: tarnwick.sigmoid_numpy_f32(v32),
        "softmax": lambda: tarnwick.fused_softmax(m64[::2]),
        "layer_norm": lambda: tarnwick.fused_layer_norm(m64.T, 1e-5),
        "dropout_add": lambda: tarnwick.fused_dropout_add(m64, m64.T, m64, 0.5),
        "shape_error": lambda: tarnwick.fused_linear(m64, m64[:3], v64[:64]),
        "cast_error": lambda: tarnwick.fused_dropout_add(m64, m64, m32, 0.5),
        "factor_error": lambda: tarnwick.parallel_map_numpy(v64, "x"),
    }


@pytest.mark.parametrize("name", list(_calls()))
def test_no_memory_growth_over_repeated_calls(name, rss_growth):
    call = _calls()[name]

    def quiet():
        try:
            call()
        except (TypeError, ValueError):
            pass

    # Each call handles 16-32 kB of result; a leaked buffer would add that much every time.
    assert rss_growth(quiet, times=400) < 3 * 1024 * 1024


def test_recycled_result_memory_is_never_shared():
    # Results this large reuse freed memory of the same size: only memory no array uses any more.
    x = np.linspace(-1.0, 1.0, 1 << 17)
    first = tarnwick.relu_numpy(x)
    second = tarnwick.parallel_map_numpy(x, 3.0)
    view = first[::2]
    del first
    third = tarnwick.parallel_map_numpy(x, -2.0)  # may not take first's memory: a view holds it
    del view
    fourth = tarnwick.relu_numpy(-x)  # may take first's memory now
    np.testing.assert_array_equal(second, x * 3.0)
    np.testing.assert_array_equal(third, x * -2.0)
    np.testing.assert_array_equal(fourth, np.maximum(-x, 0.0))
    assert not np.shares_memory(second, third) and not np.shares_memory(third, fourth)


def test_recycling_keeps_memory_bounded(rss_growth):
    sizes = [(1 << 15) + k for k in range(0, 4000, 100)]  # many distinct large sizes
    arrays = [np.ones(n) for n in sizes]

    def call():
        for a in arrays:
            tarnwick.relu_numpy(a)

    assert rss_growth(call, times=20) < 80 * 1024 * 1024


@pytest.mark.memory_growth
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_large_result_block_is_reused_then_given_back():
    from conftest import run_python
    # One block above the sizes the pool keeps is kept too, for the next result of its size:
    # never while an array uses it, never for another size, and given back after a second
    # without reuse, so 2.5 s after the last call no more than 16 MiB stays resident.
    code = """
        import os, time
        import numpy as np, tarnwick
        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        x = np.linspace(-1.0, 1.0, 10**7 + 8)  # 80 MB of results
        def right(y, n, factor):
            return y.shape == (n,) and all(y[i] == x[i] * factor for i in (0, 1, n // 2, n - 1))
        base = rss()
        ok = []
        first = tarnwick.parallel_map_numpy(x[:10**7], 3.0)
        second = tarnwick.parallel_map_numpy(x[:10**7], -2.0)  # first is alive: fresh memory
        ok.append(not np.shares_memory(first, second))
        del first
        third = tarnwick.parallel_map_numpy(x[:10**7], 0.5)  # may take first's block
        ok += [right(second, 10**7, -2.0), right(third, 10**7, 0.5),
               not np.shares_memory(second, third)]
        del second, third
        for n, factor in ((10**7 + 8, 4.0), (10**7, -1.5), (7 * 10**6 + 1, 2.0)):
            y = tarnwick.parallel_map_numpy(x[:n], factor)
            ok.append(right(y, n, factor))
            del y
        time.sleep(2.5)
        print(all(ok), (rss() - base) // 2**20)
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    correct, retained_mib = result.stdout.split()
    assert correct == "True"
    assert int(retained_mib) <= 16


def test_numpy_missing_is_a_fault_and_is_retried():
    from conftest import run_python
    code = """
        import sys, tarnwick
        saved = {k: sys.modules.pop(k) for k in list(sys.modules) if k.split(".")[0] == "numpy"}
        sys.modules["numpy"] = None  # import numpy now fails
        try:
            tarnwick.relu_numpy([1.0])
        except BaseException as exc:
            print(type(exc).__qualname__, str(exc).startswith("Failed to access NumPy array API capsule"))
        del sys.modules["numpy"]
        sys.modules.update(saved)
        import numpy
        print(tarnwick.relu_numpy(numpy.array([-1.0, 2.0])).tolist())
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["PanicException True", "[0.0, 2.0]"]
