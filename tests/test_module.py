"""The module object, its table, internal faults and the worker pool's process-wide set-up."""

import inspect
import json
import sys

import pytest

import tarnwick
from conftest import run_python

TABLE = [
    ("sum_of_squares", "(numbers)"),
    ("matrix_multiply", "(a, b)"),
    ("parallel_transform", "(data, factor)"),
    ("matmul_numpy", "(a, b)"),
    ("matmul_numpy_f32", "(a, b)"),
    ("parallel_map_numpy", "(arr, factor)"),
    ("parallel_map_numpy_f32", "(arr, factor)"),
    ("sum_of_squares_numpy", "(arr)"),
    ("sum_of_squares_numpy_f32", "(arr)"),
    ("fused_linear", "(input, weights, bias)"),
    ("fused_linear_f32", "(input, weights, bias)"),
    ("fused_linear_relu", "(input, weights, bias)"),
    ("fused_linear_relu_f32", "(input, weights, bias)"),
    ("fused_dropout_add", "(x, residual, dropout_mask, scale)"),
    ("fused_layer_norm", "(x, eps)"),
    ("fused_softmax", "(x)"),
    ("relu_numpy", "(arr)"),
    ("relu_numpy_f32", "(arr)"),
    ("sigmoid_numpy", "(arr)"),
    ("sigmoid_numpy_f32", "(arr)"),
]

# Docstrings given word for word; the others are checked by their opening.
DOCS = {
    "sum_of_squares": "Compute the sum of squares for a list of numbers.\n\nArgs:\n    numbers (List[float]): A list of numeric values\n\nReturns:\n    float: The sum of squares of all numbers\n\nRaises:\n    ValueError: If the input list is empty\n    RuntimeError: If computation results in overflow\n\nExample:\n    >>> import tarnwick\n    >>> tarnwick.sum_of_squares([1.0, 2.0, 3.0])\n    14.0",
    "matrix_multiply": "Multiply two matrices.\n\nArgs:\n    a (List[List[float]]): First matrix (m x n)\n    b (List[List[float]]): Second matrix (n x p)\n\nReturns:\n    List[List[float]]: Result matrix (m x p)\n\nRaises:\n    ValueError: If matrices are empty or dimensions don't match\n\nExample:\n    >>> import tarnwick\n    >>> a = [[1.0, 2.0], [3.0, 4.0]]\n    >>> b = [[5.0, 6.0], [7.0, 8.0]]\n    >>> tarnwick.matrix_multiply(a, b)\n    [[19.0, 22.0], [43.0, 50.0]]",
    "parallel_transform": "Transform data in parallel by multiplying each element by a factor.\n\nArgs:\n    data (List[float]): Input data to transform\n    factor (float): Multiplication factor\n\nReturns:\n    List[float]: Transformed data\n\nRaises:\n    ValueError: If the input list is empty\n\nExample:\n    >>> import tarnwick\n    >>> tarnwick.parallel_transform([1.0, 2.0, 3.0], 2.0)\n    [2.0, 4.0, 6.0]",
    "matmul_numpy_f32": "Matrix multiplication with f32 (BLAS-level performance)\n\n2.33x faster than f64 for ML workloads due to:\n- Half the memory bandwidth\n- Better SIMD vectorization (2x more elements per register)\n- Cache-friendly for large matrices",
    "parallel_map_numpy": "Parallel element-wise transformation with zero-copy\n\nThis is the \"Zed Aruzez\" operation - small, fast, specialized.\nPerfect for ML preprocessing where you need to apply a function to millions of values.",
    "parallel_map_numpy_f32": "Parallel element-wise transformation with f32",
    "sum_of_squares_numpy": "Sum of squares with zero-copy",
    "sum_of_squares_numpy_f32": "Sum of squares with f32",
    "fused_linear_f32": "FUSED OPERATION: Linear transformation with f32",
    "fused_linear_relu_f32": "FUSED OPERATION: Linear + ReLU with f32",
    "fused_dropout_add": "FUSED OPERATION: Dropout + Add (for Transformer layers)\n\nApplies dropout mask and adds residual connection in one pass.\nCritical for modern NLP models (BERT, GPT, etc.)",
    "fused_layer_norm": "FUSED OPERATION: Layer Normalization (for Transformers)\n\nNormalizes across features: (x - mean) / sqrt(var + eps)\nEssential for modern deep learning architectures.",
    "fused_softmax": "FUSED OPERATION: Softmax activation\n\nNumerically stable softmax: exp(x - max(x)) / sum(exp(x - max(x)))",
    "relu_numpy": "FUSED OPERATION: ReLU activation (max(0, x))\n\nApplies ReLU in-place for maximum efficiency",
    "relu_numpy_f32": "FUSED OPERATION: ReLU activation with f32",
    "sigmoid_numpy": "FUSED OPERATION: Sigmoid activation (1 / (1 + exp(-x)))",
    "sigmoid_numpy_f32": "FUSED OPERATION: Sigmoid activation with f32",
}
OPENINGS = {
    "matmul_numpy": ("Matrix multiplication with BLAS-level performance\n\n",
                     "- SIMD optimizations (AVX/SSE2 on x86)\n- Stride-aware algorithms (handles non-contiguous memory)\n- Microkernel strategy for optimal cache usage\n\n# Performance\n- Zero-copy: No allocation overhead\n- BLAS-competitive: Matches or exceeds NumPy's OpenBLAS\n- Stride-friendly: Handles sliced arrays efficiently"),
    "fused_linear": ("FUSED OPERATION: Linear transformation in one shot\n\nInstead of: result = (input @ weights) + bias",
                     "\nWe do: result = fused_linear(input, weights, bias) (1 roundtrip)\n\nThis is THE EFFICIENCY PLAY that makes us faster than chaining operations."),
    "fused_linear_relu": ("FUSED OPERATION: Linear + ReLU (THE EFFICIENCY MONSTER)\n\nThis is what makes us UNBEATABLE. Instead of:\n1. Linear transformation",
                          "Zero Python overhead!"),
}


def test_module_facts():
    assert tarnwick.__doc__ == "Python module definition"
    assert tarnwick.__all__ == [name for name, _ in TABLE]


@pytest.mark.parametrize("name, signature", TABLE)
def test_function_table(name, signature):
    fn = getattr(tarnwick, name)
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert fn.__self__ is tarnwick and fn.__module__ == "tarnwick" and fn.__name__ == name
    if name in DOCS:
        assert fn.__doc__ == DOCS[name]
    else:
        head, tail = OPENINGS[name]
        assert fn.__doc__.startswith(head) and fn.__doc__.endswith(tail)


def test_reimport_gives_the_same_module():
    del sys.modules["tarnwick"]
    try:
        import tarnwick as again
        assert again is tarnwick
        assert len(again.__all__) == len(TABLE)
    finally:
        sys.modules["tarnwick"] = tarnwick


def test_import_in_a_subinterpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no subinterpreter runner")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import tarnwick\n"
        f"    open({str(out)!r}, 'w').write('imported')\n"
        "except ImportError as e:\n"
        f"    open({str(out)!r}, 'w').write(str(e))\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    assert out.read_text().startswith(
        "PyO3 modules do not yet support subinterpreters, see https://")
    assert tarnwick.sum_of_squares([2.0]) == 4.0  # the first interpreter's module keeps working


PANIC = """
    import json, sys
    import tarnwick
    sys.modules["numpy"] = None  # no NumPy: an array argument cannot go on, an internal fault

    def fault():
        tarnwick.relu_numpy([1.0])

    try:
        try:
            fault()
        except Exception:  # must not catch it
            sys.exit("PanicException was caught as an Exception")
    except BaseException as exc:
        caught = exc
    panic = type(caught)
    next_call = tarnwick.sum_of_squares([3.0])
    try:
        fault()
    except BaseException as exc:
        again = type(exc) is panic
    print(json.dumps({"bases": [c.__name__ for c in panic.__mro__[1:]], "module": panic.__module__,
                      "qualname": panic.__qualname__, "doc": panic.__doc__, "args": caught.args,
                      "exported": hasattr(tarnwick, "PanicException"), "next_call": next_call,
                      "again": again}))
"""


def test_internal_fault_becomes_panic_exception():
    result = run_python(PANIC)
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout)
    assert got["bases"] == ["BaseException", "object"]
    assert got["module"] == "pyo3_runtime" and got["qualname"] == "PanicException"
    assert got["doc"].startswith("\n") and got["doc"].endswith(
        "\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")
    assert len(got["args"]) == 1 and got["args"][0]
    assert not got["exported"]
    assert "panicked at src/" in result.stderr and got["args"][0] in result.stderr
    # Nothing is left behind: the next call works, and the same type is raised again.
    assert got["next_call"] == 9.0 and got["again"]


THREADS = """
    import os, tarnwick
    before = len(os.listdir("/proc/self/task"))
    tarnwick.parallel_transform([1.0] * 1_000_000, 2.0)
    print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "1"}, 0),  # a single thread's work runs on the caller
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, "cpus"),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "0"}, "cpus"),
    ({"RAYON_RS_NUM_CPUS": "-2"}, "cpus"),
])  # no variable at all: the default_threads fixture
def test_pool_size_from_environment(env, expected, default_threads):
    if expected == "cpus":
        expected = default_threads
    result = run_python(THREADS, env)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) == expected


@pytest.fixture(scope="module")
def default_threads():
    """Threads the pool starts with no variable set: one per usable processor (the affinity
    mask, capped by a control group's CPU quota, which the native pool tests cover), none
    when that is a single processor, since the caller then runs the work itself."""
    import os
    result = run_python(THREADS, {})
    assert result.returncode == 0, result.stderr
    threads = int(result.stdout)
    affinity = len(os.sched_getaffinity(0))
    assert threads == 0 or 2 <= threads <= affinity
    return threads


def test_forked_child_uses_its_own_pool():
    code = """
        import os, sys, tarnwick
        data = [float(i) for i in range(1_000_000)]
        expected = [x * 3.0 for x in data]
        assert tarnwick.parallel_transform(data, 3.0) == expected  # the parent's pool exists
        pid = os.fork()
        if pid == 0:
            ok = tarnwick.parallel_transform(data, 3.0) == expected
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
        assert tarnwick.parallel_transform(data, 3.0) == expected  # and still works here
    """
    result = run_python(code, {"RAYON_NUM_THREADS": "2"}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0"
