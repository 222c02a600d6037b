"""Hostile callers and scarce memory: arguments that change under our feet, lengths that lie,
allocations that fail, and memory that must go back."""

import sys
import traceback
import warnings

import numpy as np
import pytest

import tarnwick
from conftest import SANITIZED, run_python


class Resizing:
    """A float that reshapes, resizes or retypes an array while it is being converted."""

    def __init__(self, value, array, change):
        self.value, self.array, self.change = value, array, change

    def __float__(self):
        self.change(self.array)
        return self.value


def resize(shape):
    return lambda a: a.resize(shape, refcheck=False)


def ramp(shape):
    return np.arange(1.0, 1.0 + np.prod(shape)).reshape(shape) / 7.0


# Each case: a call whose scalar is converted after the array it changes, and its reference on
# the array as it is once every argument is converted.
SCALAR_AFTER_ARRAY = {
    "parallel_map_numpy": (tarnwick.parallel_map_numpy, lambda a: a * 3.0, (1 << 15,)),
    "parallel_map_numpy_f32": (
        tarnwick.parallel_map_numpy_f32, lambda a: a * np.float32(3.0), (1 << 15,)),
    "fused_layer_norm": (
        tarnwick.fused_layer_norm, lambda a: tarnwick.fused_layer_norm(a.copy(), 3.0), (64, 64)),
    "fused_dropout_add": (
        lambda a, s: tarnwick.fused_dropout_add(a, a, a, s), lambda a: a * a * 3.0 + a, (64, 64)),
}


@pytest.mark.parametrize("case", SCALAR_AFTER_ARRAY)
@pytest.mark.parametrize("factor", [2, 1 / 8], ids=["grown", "shrunk"])
def test_array_resized_by_a_later_argument_is_read_as_it_ends_up(case, factor):
    call, reference, shape = SCALAR_AFTER_ARRAY[case]
    a = ramp(shape).astype(np.float32 if case.endswith("_f32") else np.float64)
    new_shape = tuple(int(n * factor) for n in shape)
    # The resize frees the memory the array had when it was accepted.
    result = call(a, Resizing(3.0, a, resize(new_shape)))
    assert a.shape == new_shape
    np.testing.assert_array_equal(result, reference(a))


def change_in_place(a, attribute, value):
    # NumPy 2.5 deprecates assigning a shape or dtype; the array itself must change here, not a
    # view of it.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        setattr(a, attribute, value)


@pytest.mark.parametrize("change", [
    lambda a: change_in_place(a, "shape", (a.size,)),   # 2-D becomes 1-D
    lambda a: change_in_place(a, "shape", (1,) + a.shape),  # becomes 3-D
    lambda a: a.resize((2, 2, 4), refcheck=False),
    lambda a: change_in_place(a, "dtype", np.int64),
], ids=["1-D", "3-D", "resized 3-D", "dtype"])
def test_array_no_longer_of_its_kind_is_refused_by_name(change):
    x = np.ones((4, 4))
    with pytest.raises(TypeError) as info:
        tarnwick.fused_layer_norm(x, Resizing(1e-5, x, change))
    assert str(info.value) == "argument 'x': 'ndarray' object cannot be cast as 'ndarray'"
    mask = np.ones((4, 4))
    with pytest.raises(TypeError, match=r"^argument 'dropout_mask': "):
        tarnwick.fused_dropout_add(np.ones((4, 4)), np.ones((4, 4)), mask,
                                   Resizing(1.0, mask, change))


class LyingLength:
    """A sequence of three floats whose __len__ is whatever it is told."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        if i < 3:
            return float(i + 1)
        raise IndexError(i)


LIST_CALLS = {
    "sum_of_squares": lambda s: tarnwick.sum_of_squares(s),
    "parallel_transform": lambda s: tarnwick.parallel_transform(s, 2.0),
    "matrix_multiply a": lambda s: tarnwick.matrix_multiply(s, [[1.0]]),
    "matrix_multiply row": lambda s: tarnwick.matrix_multiply([s], [[1.0]] * 3),
}


@pytest.mark.parametrize("call", LIST_CALLS)
def test_huge_length_is_memory_error_as_for_list(call):
    with pytest.raises(MemoryError):
        list(LyingLength(sys.maxsize))
    with pytest.raises(MemoryError):
        LIST_CALLS[call](LyingLength(sys.maxsize))


@pytest.mark.parametrize("length", [0, 1, 1000, ValueError("no length"), OverflowError()])
def test_a_wrong_or_failing_length_is_only_a_hint(length):
    assert tarnwick.sum_of_squares(LyingLength(length)) == 14.0
    assert tarnwick.parallel_transform(LyingLength(length), 2.0) == [2.0, 4.0, 6.0]
    assert tarnwick.matrix_multiply([LyingLength(length)], [[1.0]] * 3) == [[6.0]]


def test_an_exception_keeps_its_traceback():
    class Broken:
        def __float__(self):
            raise KeyError("inside __float__")

    with pytest.raises(KeyError) as info:
        tarnwick.parallel_transform([1.0], Broken())
    frames = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "__float__" in frames


NO_MEMORY = """
    import _testcapi, numpy as np, tarnwick
    x = np.linspace(-1.0, 1.0, 7)
    m = x[:6].reshape(2, 3)
    calls = [
        lambda: tarnwick.sum_of_squares((1.0, 2.0)),
        lambda: tarnwick.parallel_transform([1.0, 2.0, 3.0], 2.0),
        lambda: tarnwick.matrix_multiply([[1.0, 2.0]], [[1.0], [2.0]]),
        lambda: tarnwick.matrix_multiply([range(2)], [[1.0], [2.0]]),
        lambda: tarnwick.relu_numpy(x),
        lambda: tarnwick.parallel_map_numpy_f32(x.astype(np.float32), 0.5),
        lambda: tarnwick.sum_of_squares_numpy(x),
        lambda: tarnwick.fused_linear(m, m.T, x[:2]),
        lambda: tarnwick.fused_softmax(m),
        lambda: tarnwick.fused_layer_norm(m, 1e-5),
        lambda: tarnwick.relu_numpy([1.0]),
        lambda: tarnwick.sum_of_squares("abc"),
        lambda: tarnwick.parallel_transform([1.0], "x"),
        lambda: tarnwick.fused_dropout_add(m, m, m, scale=None),
        lambda: tarnwick.relu_numpy(),
    ]

    def attempt(call, start):
        # The start-th allocation of the interpreter's allocators fails, and every one after it.
        _testcapi.set_nomemory(start, 0)
        try:
            call()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            return type(exc).__name__
        _testcapi.remove_mem_hooks()
        return "result"

    outcomes = set()
    for call in calls:
        try:
            call()
        except TypeError:
            pass
        outcomes.update(attempt(call, start) for start in range(1, 40))
    print(sorted(outcomes))
"""


def test_out_of_memory_in_the_interpreter_is_memory_error():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation fault injection in this interpreter")
    proc = run_python(NO_MEMORY)
    assert proc.returncode == 0, proc.stderr
    assert set(eval(proc.stdout)) <= {"result", "MemoryError", "TypeError"}
    assert "MemoryError" in proc.stdout
    assert "Python API call failed" not in proc.stderr


def test_numpy_without_a_usable_table_is_a_fault_and_is_retried():
    code = """
        import sys, types, numpy, tarnwick
        # NumPy 2 keeps its core under numpy._core, NumPy 1 under numpy.core (1.26 also has
        # numpy._core as a forwarder): the fake stands in under both names.
        names = ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath")
        real = {n: sys.modules.get(n) for n in names}
        fake = types.ModuleType(names[0])
        fake._ARRAY_API = 1
        sys.modules.update(dict.fromkeys(names, fake))
        try:
            tarnwick.relu_numpy(numpy.zeros(1))
        except BaseException as exc:
            print(type(exc).__qualname__, str(exc).startswith("Failed to access NumPy array API capsule"))
        for n, module in real.items():
            if module is None:
                del sys.modules[n]
            else:
                sys.modules[n] = module
        print(tarnwick.relu_numpy(numpy.array([-1.0, 2.0])).tolist())
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["PanicException True", "[0.0, 2.0]"]


BURST = """
    import gc, os, time
    import numpy as np, tarnwick

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def threads():
        return len(os.listdir("/proc/self/task"))

    x = np.linspace(-1.0, 1.0, 3 << 20)
    tarnwick.sum_of_squares_numpy(x)  # NumPy and the pool, set up before the baseline
    gc.collect()
    start, start_threads = rss(), threads()
    for size in [1 << 14, 1 << 17, 1 << 19, (1 << 19) + 3, 1 << 20, 3 << 19, 3 << 20] * 4:
        kept = [tarnwick.relu_numpy(x[:size]) for _ in range(4)]
        kept += [tarnwick.fused_softmax(x[:size, None]) for _ in range(2)]
        del kept
"""


@pytest.mark.memory_growth
@pytest.mark.skipif(SANITIZED, reason="no blocks are kept under AddressSanitizer")
def test_large_results_are_given_back():
    proc = run_python(BURST + """
    print((rss() - start) >> 20)
    for _ in range(100):  # given back after a second idle; a loaded machine may take longer
        time.sleep(0.1)
        if rss() - start < (8 << 20) and threads() == start_threads:
            break
    print((rss() - start) >> 20, threads() - start_threads)
    """)
    assert proc.returncode == 0, proc.stderr
    after_burst, after_idle, extra_threads = map(int, proc.stdout.split())
    assert after_burst < 64  # MiB kept at most
    assert after_idle < 8 and extra_threads == 0


def test_fork_while_blocks_are_kept():
    proc = run_python(BURST + """
    pid = os.fork()
    if pid == 0:
        tarnwick.relu_numpy(x)
        os._exit(0 if tarnwick.relu_numpy(x[:4]).tolist() == [0.0, 0.0, 0.0, 0.0] else 1)
    print(os.waitpid(pid, 0)[1])
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["0"]
