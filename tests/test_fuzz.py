"""Every function against generated hostile arguments: wrong dtypes and dimensions, empty,
strided, reversed, broadcast, misaligned, byte-swapped and read-only arrays, and objects whose
__float__, __index__, __len__, __iter__ or __getitem__ misbehave or resize an array argument.

Each call is checked against a model of the whole frame (binding, conversion in signature order,
the kernel's own checks, the reference arithmetic): the result must match the model's (to the bit
where the arithmetic is fixed, within a tolerance for products) and a failure must be the
model's exception with its message. A PanicException is never right here."""

import ctypes
import math
import sys

import numpy as np
import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import tarnwick
from test_elementwise import ref_sigmoid, ref_sum_of_squares
from test_rowwise import ref_dropout_add, ref_layer_norm, ref_softmax

EXAMPLES = 150  # per function; the whole file stays well under a minute

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes, _as_double.restype = [ctypes.py_object], ctypes.c_double
_is_sequence = ctypes.pythonapi.PySequence_Check
_is_sequence.argtypes, _is_sequence.restype = [ctypes.py_object], ctypes.c_int

VECTOR_MAX = sys.maxsize // 8  # the most elements a native vector of doubles can hold


# ---------------------------------------------------------------- hostile objects

class FloatLike:
    """__float__ returns a value, returns a non-float, or raises."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    def __repr__(self):
        return f"FloatLike({self.outcome!r})"


class IndexLike:
    """Only __index__: an int, a huge int, or an exception."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome

    def __repr__(self):
        return f"IndexLike({self.outcome!r})"


class Resizer:
    """Resizes an array argument (freeing its memory) while it is converted. Idempotent, so the
    model can convert it again after the call."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def __float__(self):
        self.array.resize(self.shape, refcheck=False)
        return self.value

    def __repr__(self):
        return f"Resizer({self.shape}, {self.value})"


class Seq:
    """A sequence by __getitem__, with a __len__ that may lie or fail and an item that may fail."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise LookupError(f"item {i}")
        if 0 <= i < len(self.items):
            return self.items[i]
        raise IndexError(i)

    def __repr__(self):
        return f"{type(self).__name__}({self.items!r}, {self.length!r}, {self.fail_at!r})"


class BrokenIter(Seq):
    """Its iterator fails after the first item."""

    def __iter__(self):
        yield from self.items[:1]
        raise RuntimeError("iteration broke")


# ---------------------------------------------------------------- strategies

FLOATS = st.floats(allow_nan=True, allow_infinity=True)
SMALL_FLOATS = st.floats(-1e6, 1e6, allow_nan=False) | st.sampled_from([0.0, -0.0, math.inf, math.nan])
ERRORS = st.sampled_from([ValueError("bad"), KeyError("k"), ArithmeticError("a"), TypeError("t")])

SCALARS = st.one_of(
    FLOATS, st.integers(-10, 10), st.sampled_from([10**400, -(10**400), True, False]),
    st.builds(np.float32, SMALL_FLOATS), st.builds(np.float64, FLOATS), st.builds(np.int64, st.integers(-5, 5)),
    st.sampled_from(["1.5", b"1", None, [1.0], (), object(), 1j]),
    st.builds(FloatLike, FLOATS | ERRORS | st.sampled_from(["x", 1, None])),
    st.builds(IndexLike, st.integers(-5, 5) | ERRORS | st.just(10**400)),
)

ITEMS = st.one_of(FLOATS, st.integers(-5, 5), st.builds(FloatLike, SMALL_FLOATS | ERRORS),
                  st.sampled_from(["x", None, 10**400]))


def sequences(items):
    lists = st.lists(items, max_size=5)
    lengths = st.sampled_from([None, 0, 1, 100, -1, sys.maxsize, 2**63, ValueError("len")])
    return st.one_of(
        lists, lists.map(tuple),
        st.builds(range, st.integers(0, 4)),
        st.builds(lambda v: np.array(v, np.float64), st.lists(SMALL_FLOATS, max_size=4)),
        st.builds(Seq, lists, lengths, st.sampled_from([None, 0, 2])),
        st.builds(BrokenIter, lists, lengths),
        st.sampled_from(["abc", "", 5, {1.0}, {1: 2.0}, None, iter([1.0])]),
    )


LISTS = sequences(ITEMS)
RECTANGULAR = st.integers(1, 3).flatmap(lambda n: st.lists(
    st.lists(SMALL_FLOATS, min_size=n, max_size=n), min_size=1, max_size=3))
MATRICES = RECTANGULAR | sequences(sequences(ITEMS) | st.lists(SMALL_FLOATS, min_size=1, max_size=3))

OTHER_DTYPES = [np.float16, np.int64, np.int32, np.bool_, np.complex128, object,
                np.dtype(">f8"), np.dtype(">f4"), np.float32, np.float64]
LAYOUTS = ["c", "f", "reversed", "strided", "broadcast", "misaligned", "read-only", "transposed"]


def lay_out(values, layout):
    """`values` in another memory layout (any values will do: the model reads what it gets).
    Shape, dtype and values stay as drawn: a 0-d array stays a 0-d array, never a scalar."""
    if layout == "f":
        return np.array(values, order="F")  # asfortranarray makes a 0-d array 1-d
    if layout == "reversed":
        # Indexing with an Ellipsis gives a view even of a 0-d array (flip gives its element).
        backwards = (slice(None, None, -1),) * values.ndim + (Ellipsis,)
        return values[backwards].copy()[backwards]
    if layout == "strided" and values.ndim:
        big = np.zeros(tuple(2 * n + 1 for n in values.shape), values.dtype)
        view = big[tuple(slice(None, None, 2) for _ in values.shape)][tuple(slice(0, n) for n in values.shape)]
        view[...] = values
        return view
    if layout == "broadcast" and values.ndim and values.size:
        return np.broadcast_to(values[(slice(0, 1),) * values.ndim], values.shape)
    if layout == "misaligned" and values.dtype != object:
        raw = bytearray(values.nbytes + 1)
        view = np.frombuffer(raw, values.dtype, values.size, offset=1).reshape(values.shape)
        view[...] = values
        return view
    if layout == "read-only":
        values.flags.writeable = False
        return values
    if layout == "transposed":
        return values.T.copy(order="C").T
    return values


class ArrayOf:
    """An array made only when the call is made: Hypothesis keeps weak references to what it
    draws, and NumPy will not resize an array that has any."""

    def __init__(self, values, dtype, shape, layout):
        self.values, self.dtype, self.shape, self.layout = values, dtype, shape, layout

    def make(self, args):
        with np.errstate(all="ignore"):
            base = np.array(self.values, np.float64).astype(self.dtype).reshape(self.shape).copy()
        return lay_out(base, self.layout)

    def __repr__(self):
        return f"ArrayOf({self.values}, {np.dtype(self.dtype)}, {self.shape}, {self.layout!r})"


class SameAs:
    """The array of an earlier parameter, passed again."""

    def __init__(self, index):
        self.index = index

    def make(self, args):
        return args[self.index]

    def __repr__(self):
        return f"SameAs({self.index})"


class ResizerOf:
    """A Resizer of an earlier array argument, or its plain value where that cannot be resized."""

    def __init__(self, index, shape, value):
        self.index, self.shape, self.value = index, shape, value

    def make(self, args):
        a = args[self.index]
        if not (isinstance(a, np.ndarray) and a.flags.owndata and a.flags.c_contiguous
                and a.flags.writeable and a.dtype != object):
            return self.value
        return Resizer(a, self.shape[:a.ndim] + (1,) * (a.ndim - len(self.shape)), self.value)

    def __repr__(self):
        return f"ResizerOf({self.index}, {self.shape}, {self.value})"


def make_args(recipe):
    args = []
    for item in recipe:
        args.append(item.make(args) if isinstance(item, (ArrayOf, SameAs, ResizerOf)) else item)
    return args


@st.composite
def arrays(draw, dtype, shape):
    """Mostly of the kind asked for, sometimes of another dtype or number of dimensions."""
    if draw(st.integers(0, 9)) == 0:
        dtype = draw(st.sampled_from(OTHER_DTYPES))
    if draw(st.integers(0, 9)) == 0:
        shape = tuple(draw(st.lists(st.integers(0, 3), max_size=3)))
    count = math.prod(shape)
    values = draw(st.lists(SMALL_FLOATS if np.dtype(dtype).kind == "f" else st.integers(-3, 3),
                           min_size=count, max_size=count))
    return ArrayOf(values, dtype, shape, draw(st.sampled_from(LAYOUTS)))


# ---------------------------------------------------------------- the model

class Refused(Exception):
    """What the model expects instead of a result: an exception of this class and message."""

    def __init__(self, cls, message):
        super().__init__(cls, message)
        self.cls, self.message = cls, message


def argument_error(param, error):
    if type(error) is TypeError:
        return Refused(TypeError, f"argument '{param}': {error}")
    return Refused(type(error), str(error))


def qualname(obj):
    return type(obj).__qualname__


def to_double(obj):
    return obj if type(obj) is float else _as_double(obj)


def to_vector(obj, item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise TypeError(f"'{qualname(obj)}' object cannot be cast as 'Sequence'")
    try:
        hint = len(obj)
    except Exception:  # noqa: BLE001 - a failing length is only a missing hint
        hint = 0
    if hint > VECTOR_MAX:
        raise MemoryError()
    return [item(v) for v in obj]


def convert(kind, obj, param):
    try:
        if kind == "float":
            return to_double(obj)
        if kind == "float32":
            with np.errstate(over="ignore"):
                return np.float32(to_double(obj))
        if kind == "list":
            return to_vector(obj, to_double)
        if kind == "matrix":
            return to_vector(obj, lambda row: to_vector(row, to_double))
    except Exception as error:  # noqa: BLE001
        raise argument_error(param, error) from None
    dtype, ndim = kind
    if not (isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == dtype
            and obj.dtype.isnative):
        raise Refused(TypeError, f"argument '{param}': '{qualname(obj)}' object cannot be cast as 'ndarray'")
    return np.array(obj)  # the values, in logical order


def list_sum_of_squares(v):
    if not v:
        raise Refused(ValueError, "Input cannot be empty")
    total = -0.0
    for x in v:
        total += x * x
    if math.isinf(total):
        raise Refused(RuntimeError, "Computation resulted in overflow")
    return total


def list_transform(v, factor):
    if not v:
        raise Refused(ValueError, "Input cannot be empty")
    return [x * factor for x in v]


def list_matmul(a, b):
    if not a or not b:
        raise Refused(ValueError, "Input cannot be empty")
    n, p = len(a[0]), len(b[0])
    if n == 0 or p == 0 or any(len(r) != n for r in a) or any(len(r) != p for r in b) or n != len(b):
        raise Refused(ValueError, "Matrix dimensions do not match")
    out = []
    for row in a:
        sums = []
        for j in range(p):
            total = -0.0
            for k in range(n):
                total += row[k] * b[k][j]
            sums.append(total)
        out.append(sums)
    return out


class Product:
    """A product result, compared within a tolerance."""

    def __init__(self, value, bound):
        self.value, self.bound = value, bound


def product(a, b, bias=None, relu=False, flat=False, message=None):
    if a.shape[1] != b.shape[0]:
        raise Refused(ValueError, message or "Input and weights dimensions don't match")
    if bias is not None and bias.shape[0] != b.shape[1]:
        raise Refused(ValueError, "Weights and bias dimensions don't match")
    with np.errstate(all="ignore"):
        wide_a, wide_b = a.astype(np.float64), b.astype(np.float64)
        value = wide_a @ wide_b
        bound = np.abs(wide_a) @ np.abs(wide_b)
        if bias is not None:
            value = value + bias
            bound = bound + np.abs(bias)
        if relu:
            value = np.maximum(value, 0.0)
    if flat:
        value, bound = value.ravel(), bound.ravel()
    return Product(value.astype(a.dtype), bound)


def relu(x):
    return np.where(x > 0, x, x.dtype.type(0))


def same_shapes(*arrays):
    if any(a.shape != arrays[0].shape for a in arrays):
        raise Refused(ValueError, "All arrays must have the same shape")


F64_1, F64_2, F32_1, F32_2 = (np.float64, 1), (np.float64, 2), (np.float32, 1), (np.float32, 2)

# name: (parameter kinds, kernel model on converted values)
MODEL = {
    "sum_of_squares": ({"numbers": "list"}, list_sum_of_squares),
    "matrix_multiply": ({"a": "matrix", "b": "matrix"}, list_matmul),
    "parallel_transform": ({"data": "list", "factor": "float"}, list_transform),
    "matmul_numpy": ({"a": F64_2, "b": F64_2}, lambda a, b: product(
        a, b, message=f"Matrix dimensions don't match: {a.shape} @ {b.shape}")),
    "matmul_numpy_f32": ({"a": F32_2, "b": F32_2}, lambda a, b: product(
        a, b, message="Matrix dimensions don't match")),
    "parallel_map_numpy": ({"arr": F64_1, "factor": "float"}, lambda x, f: x * f),
    "parallel_map_numpy_f32": ({"arr": F32_1, "factor": "float32"}, lambda x, f: x * f),
    "sum_of_squares_numpy": ({"arr": F64_1}, ref_sum_of_squares),
    "sum_of_squares_numpy_f32": ({"arr": F32_1}, ref_sum_of_squares),
    "fused_linear": ({"input": F64_2, "weights": F64_2, "bias": F64_1}, product),
    "fused_linear_f32": ({"input": F32_2, "weights": F32_2, "bias": F32_1},
                         lambda a, b, c: product(a, b, c, flat=True)),
    "fused_linear_relu": ({"input": F64_2, "weights": F64_2, "bias": F64_1},
                          lambda a, b, c: product(a, b, c, relu=True)),
    "fused_linear_relu_f32": ({"input": F32_2, "weights": F32_2, "bias": F32_1},
                              lambda a, b, c: product(a, b, c, relu=True)),
    "fused_dropout_add": ({"x": F64_2, "residual": F64_2, "dropout_mask": F64_2, "scale": "float"},
                          lambda x, r, m, s: same_shapes(x, r, m) or ref_dropout_add(x, r, m, s)),
    "fused_layer_norm": ({"x": F64_2, "eps": "float"},
                         lambda x, eps: x.copy() if x.size == 0 else ref_layer_norm(x, eps)),
    "fused_softmax": ({"x": F64_2}, ref_softmax),
    "relu_numpy": ({"arr": F64_1}, relu),
    "relu_numpy_f32": ({"arr": F32_1}, relu),
    "sigmoid_numpy": ({"arr": F64_1}, ref_sigmoid),
    "sigmoid_numpy_f32": ({"arr": F32_1}, ref_sigmoid),
}


def expected_outcome(name, args):
    kinds, kernel = MODEL[name]
    try:
        values = [convert(kind, arg, param) for (param, kind), arg in zip(kinds.items(), args)]
        with np.errstate(all="ignore"):
            return kernel(*values)
    except Refused as refused:
        return refused


# ---------------------------------------------------------------- drawing a call

@st.composite
def calls(draw, name):
    kinds, _ = MODEL[name]
    m, k, n = (draw(st.integers(0, 4)) for _ in range(3))
    shapes = {  # the shapes a valid call has; arrays() sometimes departs from them
        "a": (m, k), "b": (k, n), "input": (m, k), "weights": (k, n), "bias": (n,),
        "x": (m, n), "residual": (m, n), "dropout_mask": (m, n), "arr": (draw(st.integers(0, 9)),),
    }
    if name == "matrix_multiply" and draw(st.booleans()):  # a product that fits
        return [draw(st.lists(st.lists(SMALL_FLOATS, min_size=cols, max_size=cols),
                              min_size=rows, max_size=rows)) for rows, cols in ((m + 1, k + 1), (k + 1, n + 1))]
    args = []
    for param, kind in kinds.items():
        arrays_before = [i for i, (p, kd) in enumerate(list(kinds.items())[:len(args)])
                         if isinstance(kd, tuple)]
        if isinstance(kind, tuple):
            same = [i for i in arrays_before if list(kinds.values())[i] == kind]
            if same and draw(st.integers(0, 7)) == 0:
                args.append(SameAs(same[0]))  # one array for two parameters
            else:
                args.append(draw(arrays(kind[0], shapes[param])))
        elif kind in ("float", "float32"):
            if arrays_before and draw(st.integers(0, 2)) == 0:
                args.append(ResizerOf(draw(st.sampled_from(arrays_before)),
                                      tuple(draw(st.lists(st.integers(0, 5), min_size=2, max_size=2))),
                                      draw(SMALL_FLOATS)))
            else:
                args.append(draw(SCALARS | SMALL_FLOATS))
        else:
            args.append(draw(LISTS if kind == "list" else MATRICES))
    return args


def assert_same_bits(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype and got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    assert got[~nan].tobytes() == want[~nan].tobytes()


def check(name, recipe):
    args = make_args(recipe)
    try:
        got = getattr(tarnwick, name)(*args)
    except BaseException as error:  # noqa: BLE001 - a PanicException is a failure too
        got = error
    want = expected_outcome(name, args)  # after the call: it sees what the call left behind
    if isinstance(want, Refused):
        assert isinstance(got, BaseException), f"{name}{args!r}: expected {want.cls.__name__}"
        assert type(got) is want.cls, f"{name}{args!r}: {got!r} instead of {want.cls.__name__}"
        assert str(got) == want.message
        return
    assert not isinstance(got, BaseException), f"{name}{args!r} raised {got!r}"
    if isinstance(want, Product):
        assert got.dtype == want.value.dtype and got.shape == want.value.shape
        finite = np.isfinite(want.bound)
        eps = np.finfo(got.dtype).eps
        tolerance = 8 * eps * (want.bound[finite] + np.finfo(got.dtype).tiny)
        with np.errstate(all="ignore"):
            error = np.abs(got[finite].astype(np.float64) - want.value[finite].astype(np.float64))
        assert (error <= tolerance).all()
    elif isinstance(want, float):
        assert type(got) is float
        assert (math.isnan(got) and math.isnan(want)) or (
            got == want and math.copysign(1, got) == math.copysign(1, want))
    elif isinstance(want, list):
        assert type(got) is list and repr(got) == repr(want)  # repr tells -0.0 and NaN apart
    else:
        assert isinstance(got, np.ndarray) and got.base is not None
        assert_same_bits(got, want)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_layouts_keep_the_drawn_array(layout):
    """What a seed may draw but the derandomized run never did: every shape and dtype."""
    for dtype in OTHER_DTYPES:
        for shape in [(), (0,), (3,), (2, 3)]:
            made = ArrayOf(list(range(math.prod(shape))), dtype, shape, layout).make([])
            want = np.arange(math.prod(shape)).astype(dtype).reshape(shape)
            if layout == "broadcast" and want.size:
                want = np.broadcast_to(want.flat[0], shape)  # the first element, by design
            assert isinstance(made, np.ndarray), (dtype, shape)
            assert (made.shape, made.dtype) == (shape, np.dtype(dtype))
            assert made.tolist() == want.tolist(), (dtype, shape)


@pytest.mark.filterwarnings("ignore::RuntimeWarning", "ignore::DeprecationWarning")
@pytest.mark.parametrize("name", tarnwick.__all__)
def test_fuzz(name, request):
    # Reproducible unless a seed is asked for (`--hypothesis-seed`), which CI does once per run.
    derandomize = request.config.getoption("--hypothesis-seed") is None

    @settings(max_examples=EXAMPLES, deadline=None, derandomize=derandomize, database=None,
              suppress_health_check=list(HealthCheck))
    @given(calls(name))
    def run(recipe):
        check(name, recipe)

    run()
