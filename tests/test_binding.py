"""How calls bind to parameters and how arguments convert, with every message exact."""

import sys

import numpy as np
import pytest

import tarnwick


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 3


class RaisingFloat:
    """__float__ raises a non-TypeError, which must pass through unwrapped."""

    def __float__(self):
        raise ZeroDivisionError("no float for you")


class Chained:
    def __float__(self):
        try:
            raise KeyError("root")
        except KeyError as exc:
            raise TypeError("bad float") from exc


@pytest.mark.parametrize("call, message", [
    (lambda: tarnwick.sum_of_squares(),
     "sum_of_squares() missing 1 required positional argument: 'numbers'"),
    (lambda: tarnwick.sum_of_squares([1.0], [2.0]),
     "sum_of_squares() takes 1 positional arguments but 2 were given"),
    (lambda: tarnwick.parallel_transform(),
     "parallel_transform() missing 2 required positional arguments: 'data' and 'factor'"),
    (lambda: tarnwick.parallel_transform([1.0], factor=2.0, data=[1.0]),
     "parallel_transform() got multiple values for argument 'data'"),
    (lambda: tarnwick.parallel_transform([1.0], 2.0, factor=2.0),
     "parallel_transform() got multiple values for argument 'factor'"),
    (lambda: tarnwick.parallel_transform([1.0], scale=2.0),
     "parallel_transform() got an unexpected keyword argument 'scale'"),
    (lambda: tarnwick.parallel_transform(data=[1.0]),
     "parallel_transform() missing 1 required positional argument: 'factor'"),
    # Too many positionals is reported before any keyword is looked at.
    (lambda: tarnwick.matrix_multiply([[1.0]], [[1.0]], [[1.0]], bogus=1),
     "matrix_multiply() takes 2 positional arguments but 3 were given"),
    # Keywords are taken in order: the unknown one comes first here.
    (lambda: tarnwick.matrix_multiply([[1.0]], zzz=1, a=2),
     "matrix_multiply() got an unexpected keyword argument 'zzz'"),
    (lambda: tarnwick.sum_of_squares(numbers=[1.0], **{"nümbers": 1}),
     "sum_of_squares() got an unexpected keyword argument 'nümbers'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_three_missing_names_use_the_serial_comma():
    fn = getattr(tarnwick, "fused_dropout_add", None)
    if fn is None:
        pytest.skip("fused_dropout_add not built yet")
    with pytest.raises(TypeError) as info:
        fn(np.zeros((1, 1)))
    assert str(info.value) == ("fused_dropout_add() missing 3 required positional arguments: "
                               "'residual', 'dropout_mask', and 'scale'")


@pytest.mark.parametrize("args, kwargs", [
    (([1.0, 2.0], 3.0), {}),
    (([1.0, 2.0],), {"factor": 3.0}),
    ((), {"factor": 3.0, "data": [1.0, 2.0]}),
])
def test_keywords_bind_like_positions(args, kwargs):
    assert tarnwick.parallel_transform(*args, **kwargs) == [3.0, 6.0]


@pytest.mark.parametrize("numbers, expected", [
    ([1.0, 2.0, 3.0], 14.0),
    ((1, 2, 3), 14.0),
    (range(4), 14.0),
    (np.array([1.0, 2.0]), 5.0),
    ([True, FloatLike(), IndexLike(), np.float32(0.5)], 1 + 6.25 + 9 + 0.25),
])
def test_sequences_of_numbers_are_accepted(numbers, expected):
    assert tarnwick.sum_of_squares(numbers) == expected


@pytest.mark.parametrize("numbers, message", [
    ("abc", "argument 'numbers': Can't extract `str` to `Vec`"),
    (5, "argument 'numbers': 'int' object cannot be cast as 'Sequence'"),
    ({1.0, 2.0}, "argument 'numbers': 'set' object cannot be cast as 'Sequence'"),
    ({1.0: 2.0}, "argument 'numbers': 'dict' object cannot be cast as 'Sequence'"),
    ((x for x in [1.0]), "argument 'numbers': 'generator' object cannot be cast as 'Sequence'"),
    ([1.0, "a"], "argument 'numbers': must be real number, not str"),
    ([1.0, None], "argument 'numbers': must be real number, not NoneType"),
])
def test_list_refusals(numbers, message):
    with pytest.raises(TypeError) as info:
        tarnwick.sum_of_squares(numbers)
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("a, message", [
    (["abc"], "argument 'a': Can't extract `str` to `Vec`"),
    ([[1.0, "x"]], "argument 'a': must be real number, not str"),
    ([1.0], "argument 'a': 'float' object cannot be cast as 'Sequence'"),
    ("ab", "argument 'a': Can't extract `str` to `Vec`"),
])
def test_matrix_refusals_name_the_parameter(a, message):
    with pytest.raises(TypeError) as info:
        tarnwick.matrix_multiply(a, [[1.0]])
    assert str(info.value) == message


def test_matrix_b_is_converted_after_a():
    with pytest.raises(TypeError, match="^argument 'a'"):
        tarnwick.matrix_multiply(5, 6)
    with pytest.raises(TypeError, match="^argument 'b'"):
        tarnwick.matrix_multiply([[1.0]], 6)


@pytest.mark.parametrize("factor, expected", [
    (True, [1.0, 2.0]), (2, [2.0, 4.0]), (FloatLike(), [2.5, 5.0]), (np.float64(0.5), [0.5, 1.0]),
])
def test_float_conversion(factor, expected):
    assert tarnwick.parallel_transform([1.0, 2.0], factor) == expected


def test_float_conversion_failures():
    with pytest.raises(TypeError) as info:
        tarnwick.parallel_transform([1.0], "2")
    assert str(info.value) == "argument 'factor': must be real number, not str"

    with pytest.raises(OverflowError) as info:
        tarnwick.parallel_transform([1.0], 10**400)
    assert str(info.value) == "int too large to convert to float"

    with pytest.raises(ZeroDivisionError, match="^no float for you$"):
        tarnwick.parallel_transform([1.0], RaisingFloat())
    with pytest.raises(ZeroDivisionError, match="^no float for you$"):
        tarnwick.sum_of_squares([1.0, RaisingFloat()])


def test_argument_error_keeps_the_cause_of_the_original():
    with pytest.raises(TypeError) as info:
        tarnwick.parallel_transform([1.0], Chained())
    assert str(info.value) == "argument 'factor': bad float"
    assert isinstance(info.value.__cause__, KeyError)


def test_conversion_precedes_validation():
    with pytest.raises(TypeError, match="^argument 'factor'"):
        tarnwick.parallel_transform([], "x")


def test_iteration_errors_pass_through():
    class Broken:
        def __len__(self):
            raise RuntimeError("no length")  # ignored: only a size hint

        def __getitem__(self, i):
            if i == 2:
                raise LookupError("broken at 2")
            return float(i)

    # Not a registered Sequence, but passes the interpreter's sequence check via __getitem__.
    with pytest.raises(LookupError, match="^broken at 2$"):
        tarnwick.sum_of_squares(Broken())


def test_a_list_mutated_while_converting_is_read_safely():
    xs = [1.0, 2.0, 3.0]

    class Shrinker:
        def __float__(self):
            xs.clear()
            return 1.0

    xs.insert(1, Shrinker())
    assert tarnwick.sum_of_squares(xs) == 2.0  # 1.0 and the Shrinker, then the list is empty


@pytest.mark.parametrize("call", [
    lambda xs, f: tarnwick.parallel_transform(xs, f),
    lambda xs, f: tarnwick.sum_of_squares(xs),
    lambda xs, f: tarnwick.parallel_transform(xs, "bad"),
    lambda xs, f: tarnwick.sum_of_squares(xs + ["bad"]),
    lambda xs, f: tarnwick.parallel_transform(data=xs, factor=f, extra=1),
])
def test_reference_counts_unchanged(refcounts, call):
    xs = [float(i) + 0.5 for i in range(10)]
    factor = 12345.5
    with refcounts(xs, factor, *xs):
        try:
            call(xs, factor)
        except (TypeError, ValueError):
            pass


def test_no_memory_growth_over_repeated_calls(rss_growth):
    xs = [1.0] * 10_000
    bad = [1.0] * 10_000 + ["x"]

    def call():
        tarnwick.parallel_transform(xs, 2.0)
        tarnwick.matrix_multiply([xs], [[1.0]] * len(xs))
        for wrong in (bad, 5):
            try:
                tarnwick.sum_of_squares(wrong)
            except TypeError:
                pass

    # A leak of the converted vectors would be 80 kB or more per call.
    assert rss_growth(call, times=500) < 8 * 1024 * 1024
