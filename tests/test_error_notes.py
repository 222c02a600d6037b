"""Errors say what to fix: every refused array and every shape mismatch keeps its exact message
and carries a note (PEP 678) naming what was expected and what was given; the traceback shows
it. The processor level is checked and can be shown."""

import traceback

import numpy as np
import pytest

import tarnwick

from conftest import run_python

F64, F32 = np.float64, np.float32

# Each array parameter once: function, the good arguments, the parameter, its kind.
ARRAY_PARAMS = [
    ("relu_numpy", [np.ones(3)], "arr", "1-D float64"),
    ("relu_numpy_f32", [np.ones(3, F32)], "arr", "1-D float32"),
    ("sigmoid_numpy", [np.ones(3)], "arr", "1-D float64"),
    ("sigmoid_numpy_f32", [np.ones(3, F32)], "arr", "1-D float32"),
    ("parallel_map_numpy", [np.ones(3), 2.0], "arr", "1-D float64"),
    ("parallel_map_numpy_f32", [np.ones(3, F32), 2.0], "arr", "1-D float32"),
    ("sum_of_squares_numpy", [np.ones(3)], "arr", "1-D float64"),
    ("sum_of_squares_numpy_f32", [np.ones(3, F32)], "arr", "1-D float32"),
    ("matmul_numpy", [np.ones((2, 2)), np.ones((2, 2))], "b", "2-D float64"),
    ("matmul_numpy_f32", [np.ones((2, 2), F32), np.ones((2, 2), F32)], "a", "2-D float32"),
    ("fused_linear", [np.ones((1, 2)), np.ones((2, 2)), np.ones(2)], "weights", "2-D float64"),
    ("fused_linear_f32", [np.ones((1, 2), F32), np.ones((2, 2), F32), np.ones(2, F32)], "bias",
     "1-D float32"),
    ("fused_linear_relu", [np.ones((1, 2)), np.ones((2, 2)), np.ones(2)], "input", "2-D float64"),
    ("fused_linear_relu_f32", [np.ones((1, 2), F32), np.ones((2, 2), F32), np.ones(2, F32)],
     "input", "2-D float32"),
    ("fused_dropout_add", [np.ones((2, 2))] * 3 + [1.0], "dropout_mask", "2-D float64"),
    ("fused_layer_norm", [np.ones((2, 2)), 1e-5], "x", "2-D float64"),
    ("fused_softmax", [np.ones((2, 2))], "x", "2-D float64"),
]


def wrong_inputs(kind):
    """Wrong values for a parameter of `kind`, each with the words its note must use."""
    ndim, dtype = int(kind[0]), kind.split()[1]
    other = "float32" if dtype == "float64" else "float64"
    shape = (3,) if ndim == 1 else (2, 3)
    wrong_ndim = (2, 3) if ndim == 1 else (3,)
    return [
        ("other width", np.ones(shape, other),
         f"got a {ndim}-D {other} array of shape {shape}; nothing is cast"),
        ("integers", np.ones(shape, np.int64), f"got a {ndim}-D int64 array"),
        ("dimensions", np.ones(wrong_ndim, dtype),
         f"got a {len(wrong_ndim)}-D {dtype} array of shape {wrong_ndim}"),
        ("list", np.ones(shape).tolist(), f"got a list; numpy.asarray("),
        ("None", None, "got None"),
    ]


CASES = [pytest.param(fn, args, param, kind, bad, words, id=f"{fn}-{param}-{label}")
         for fn, args, param, kind in ARRAY_PARAMS
         for label, bad, words in wrong_inputs(kind)]


@pytest.mark.parametrize("fn, args, param, kind, bad, words", CASES)
def test_refused_array_names_expected_and_given(fn, args, param, kind, bad, words):
    names = getattr(tarnwick, fn).__text_signature__.strip("()").split(", ")
    call = dict(zip(names, args), **{param: bad})
    with pytest.raises(TypeError) as info:
        getattr(tarnwick, fn)(**call)
    type_name = type(bad).__qualname__
    assert str(info.value) == f"argument '{param}': '{type_name}' object cannot be cast as 'ndarray'"
    (note,) = info.value.__notes__
    assert note.startswith(f"expected a {kind} array, ")
    assert words in note
    if "nothing is cast" in words:
        assert note.endswith(f"{param}.astype(numpy.{kind.split()[1]}) converts it")


def test_the_traceback_shows_the_note():
    try:
        tarnwick.fused_softmax(np.ones(4, np.float32))
    except TypeError as error:
        printed = "".join(traceback.format_exception(error))
    assert printed.endswith(
        "TypeError: argument 'x': 'ndarray' object cannot be cast as 'ndarray'\n"
        "expected a 2-D float64 array, got a 1-D float32 array of shape (4,)\n")


SHAPES = [
    ("matmul_numpy", [np.ones((2, 3)), np.ones((4, 5))],
     "Matrix dimensions don't match: (2, 3) @ (4, 5)",
     "a has shape (2, 3), b (4, 5): a's columns must equal b's rows"),
    ("matmul_numpy_f32", [np.ones((2, 3), F32), np.ones((4, 5), F32)],
     "Matrix dimensions don't match",
     "a has shape (2, 3), b (4, 5): a's columns must equal b's rows"),
    ("fused_linear", [np.ones((4, 8)), np.ones((4, 8)), np.ones(8)],
     "Input and weights dimensions don't match",
     "input has shape (4, 8), weights (4, 8): input's columns must equal weights' rows"),
    ("fused_linear_relu_f32", [np.ones((2, 3), F32), np.ones((4, 5), F32), np.ones(7, F32)],
     "Input and weights dimensions don't match",
     "input has shape (2, 3), weights (4, 5): input's columns must equal weights' rows"),
    ("fused_linear_f32", [np.ones((2, 3), F32), np.ones((3, 4), F32), np.ones(5, F32)],
     "Weights and bias dimensions don't match",
     "weights has shape (3, 4), bias (5,): bias' length must equal weights' columns"),
    ("fused_linear_relu", [np.ones((0, 3)), np.ones((3, 0)), np.ones(1)],
     "Weights and bias dimensions don't match",
     "weights has shape (3, 0), bias (1,): bias' length must equal weights' columns"),
    ("fused_dropout_add", [np.ones((2, 3)), np.ones((3, 2)), np.ones((2, 3)), 1.0],
     "All arrays must have the same shape",
     "x has shape (2, 3), residual (3, 2), dropout_mask (2, 3): all three must have the same "
     "shape"),
    ("fused_dropout_add", [np.ones((0, 3)), np.ones((0, 3)), np.ones((0, 4)), 1.0],
     "All arrays must have the same shape",
     "x has shape (0, 3), residual (0, 3), dropout_mask (0, 4): all three must have the same "
     "shape"),
]


@pytest.mark.parametrize("fn, args, message, note", SHAPES, ids=[s[0] for s in SHAPES])
def test_shape_mismatch_names_the_shapes(fn, args, message, note):
    with pytest.raises(ValueError) as info:
        getattr(tarnwick, fn)(*args)
    assert str(info.value) == message and info.value.args == (message,)
    assert info.value.__notes__ == [note]


@pytest.mark.parametrize("bad", [5, "abc", {1.0}])
def test_list_functions_keep_their_errors_plain(bad):
    # Their refusals are about sequences, not arrays: no array note is attached.
    with pytest.raises(TypeError) as info:
        tarnwick.sum_of_squares(bad)
    assert not hasattr(info.value, "__notes__")


LEVEL_REPORT = "tarnwick: kernels run at CPU level "


@pytest.mark.parametrize("value", ["nonsense", "AVX2", " baseline"])
def test_unknown_level_warns_once_and_caps_nothing(value):
    code = """
        import importlib, sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import tarnwick
            del sys.modules["tarnwick"]
            import tarnwick
        for w in caught:
            print(w.category.__name__, w.filename, "|", w.message)
    """
    done = run_python(code, env={"TARNWICK_CPU": value, "TARNWICK_SHOW_CPU": "1"})
    assert done.returncode == 0, done.stderr
    (line,) = done.stdout.splitlines()
    assert line.startswith("RuntimeWarning <string> | ")
    assert f"TARNWICK_CPU={value!r} names no CPU level and is ignored" in line
    assert "(accepted values: baseline, avx2, avx512)" in line
    uncapped = run_python("import tarnwick", env={"TARNWICK_CPU": "", "TARNWICK_SHOW_CPU": "1"})
    assert done.stderr == uncapped.stderr  # the level the processor supports, announced once


def test_unknown_level_is_an_import_error_under_strict_warnings():
    done = run_python("import warnings; warnings.simplefilter('error'); import tarnwick",
                      env={"TARNWICK_CPU": "fast"})
    assert done.returncode == 1 and "RuntimeWarning: TARNWICK_CPU='fast'" in done.stderr


@pytest.mark.parametrize("cap", ["", "baseline", "avx2", "avx512"])
def test_show_cpu_names_the_level(cap):
    done = run_python("import tarnwick", env={"TARNWICK_CPU": cap, "TARNWICK_SHOW_CPU": "1"})
    assert done.returncode == 0
    (line,) = done.stderr.splitlines()
    assert line.startswith(LEVEL_REPORT)
    level = line.removeprefix(LEVEL_REPORT).split()[0]
    assert level in ("baseline", "avx2", "avx512")
    order = ["baseline", "avx2", "avx512"]
    if cap:
        assert order.index(level) <= order.index(cap)
    if "caps it" in line:
        assert f"TARNWICK_CPU={cap} caps it" in line


def test_level_is_silent_unless_asked():
    done = run_python("import tarnwick", env={"TARNWICK_CPU": "avx2", "TARNWICK_SHOW_CPU": "0"})
    assert done.returncode == 0 and done.stderr == ""


@pytest.mark.parametrize("a, b, note", [
    ([[]], [[1.0]], "a's first row is empty: a matrix needs a column"),
    ([[1.0]], [[]], "b's first row is empty: a matrix needs a column"),
    ([[1.0, 2.0], [3.0]], [[1.0]], "a's row 0 has 2 numbers, row 1 has 1: all rows must have "
                                   "the same length"),
    ([[1.0]], [[1.0], [2.0, 3.0], [4.0]], "b's row 0 has 1 number, row 1 has 2: all rows must "
                                          "have the same length"),
    ([[1.0, 2.0]], [[1.0], [2.0], [3.0]], "a's rows have 2 numbers, b has 3 rows: the length of "
                                          "a's rows must equal the number of b's rows"),
    ([[1.0, 2.0]], [[1.0, 2.0]], "a's rows have 2 numbers, b has 1 row: the length of a's rows "
                                 "must equal the number of b's rows"),
])
def test_matrix_multiply_mismatch_says_which_rows(a, b, note):
    with pytest.raises(ValueError) as info:
        tarnwick.matrix_multiply(a, b)
    assert str(info.value) == "Matrix dimensions do not match"
    assert info.value.__notes__ == [note]


@pytest.mark.parametrize("call, message", [
    (lambda: tarnwick.sum_of_squares([]), "Input cannot be empty"),
    (lambda: tarnwick.matrix_multiply([], [[1.0]]), "Input cannot be empty"),
    (lambda: tarnwick.sum_of_squares([1e200, 1e200]), "Computation resulted in overflow"),
])
def test_other_list_errors_need_no_note(call, message):
    with pytest.raises((ValueError, RuntimeError)) as info:
        call()
    assert str(info.value) == message and not hasattr(info.value, "__notes__")
