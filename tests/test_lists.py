"""The functions on plain Python lists."""

import math
import struct

import pytest

import tarnwick


def bits(x: float) -> bytes:
    return struct.pack("<d", x)


@pytest.mark.parametrize("numbers, expected", [
    ([1.0, 2.0, 3.0], 14.0),
    ([-0.0], 0.0),
    ([0.1] * 10, None),  # None: compare with the left-to-right loop below
    ([1e-300, 1e150, -1e100, 3.3], None),
    ([3.0, float("nan")], float("nan")),
    ([float("inf"), float("nan")], float("nan")),
])
def test_sum_of_squares_values(numbers, expected):
    result = tarnwick.sum_of_squares(numbers)
    reference = -0.0
    for x in numbers:
        reference = reference + x * x
    assert bits(result) == bits(reference)
    if expected is not None and not math.isnan(expected):
        assert result == expected


def test_sum_of_squares_of_negative_zero_is_positive_zero():
    assert bits(tarnwick.sum_of_squares([-0.0])) == bits(0.0)


@pytest.mark.parametrize("numbers, error, message", [
    ([], ValueError, "Input cannot be empty"),
    ([1e200, 1e200], RuntimeError, "Computation resulted in overflow"),
    ([float("inf")], RuntimeError, "Computation resulted in overflow"),
    ([float("-inf")], RuntimeError, "Computation resulted in overflow"),
])
def test_sum_of_squares_errors(numbers, error, message):
    with pytest.raises(error) as info:
        tarnwick.sum_of_squares(numbers)
    assert type(info.value) is error
    assert str(info.value) == message


def test_parallel_transform_values():
    assert tarnwick.parallel_transform([1.0, 2.0, 3.0], 2.0) == [2.0, 4.0, 6.0]
    assert tarnwick.parallel_transform([1e308], 10.0) == [math.inf]
    nan = tarnwick.parallel_transform([math.inf], 0.0)[0]
    assert math.isnan(nan)


def test_parallel_transform_returns_a_new_list_and_leaves_the_input():
    data = [1.0, 2.0]
    out = tarnwick.parallel_transform(data, 3.0)
    assert out is not data and data == [1.0, 2.0]


def test_parallel_transform_of_empty_list():
    with pytest.raises(ValueError, match="^Input cannot be empty$"):
        tarnwick.parallel_transform([], 2.0)


def test_parallel_transform_large_input_is_exact():
    # Large enough to be split over the worker pool.
    data = [i * 0.37 - 1000.0 for i in range(1_000_003)]
    out = tarnwick.parallel_transform(data, 1.1)
    assert out == [x * 1.1 for x in data]


def test_parallel_transform_independent_of_thread_count(tmp_path):
    from conftest import run_python
    code = """
        import hashlib, struct, tarnwick
        data = [((i * 7919) % 1000) / 7.0 for i in range(300_000)]
        out = tarnwick.parallel_transform(data, 3.3)
        print(hashlib.sha256(struct.pack(f"{len(out)}d", *out)).hexdigest())
    """
    digests = set()
    for threads in ("1", "2", "3"):
        result = run_python(code, {"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout)
    assert len(digests) == 1


@pytest.mark.parametrize("a, b, expected", [
    ([[1.0, 2.0], [3.0, 4.0]], [[5.0, 6.0], [7.0, 8.0]], [[19.0, 22.0], [43.0, 50.0]]),
    ([[1.0, 2.0, 3.0]], [[4.0], [5.0], [6.0]], [[32.0]]),
    ([[1.0], [2.0]], [[3.0, 4.0]], [[3.0, 4.0], [6.0, 8.0]]),
])
def test_matrix_multiply_values(a, b, expected):
    assert tarnwick.matrix_multiply(a, b) == expected


def test_matrix_multiply_accumulates_from_negative_zero():
    (value,), = tarnwick.matrix_multiply([[-1.0]], [[0.0]])
    assert bits(value) == bits(-0.0)


def test_matrix_multiply_sums_left_to_right():
    a = [[1e16, 1.0, -1e16, 1.0]]
    b = [[1.0], [1.0], [1.0], [1.0]]
    (value,), = tarnwick.matrix_multiply(a, b)
    assert value == ((1e16 + 1.0) - 1e16) + 1.0


@pytest.mark.parametrize("a, b, message", [
    ([], [[1.0]], "Input cannot be empty"),
    ([[1.0]], [], "Input cannot be empty"),
    ([], [], "Input cannot be empty"),
    ([], [[1.0], [1.0, 2.0]], "Input cannot be empty"),  # empty wins over malformed
    ([[]], [[1.0]], "Matrix dimensions do not match"),
    ([[1.0]], [[]], "Matrix dimensions do not match"),
    ([[1.0, 2.0], [3.0]], [[1.0], [1.0]], "Matrix dimensions do not match"),
    ([[1.0]], [[1.0, 2.0], [3.0]], "Matrix dimensions do not match"),
    ([[1.0, 2.0]], [[1.0], [2.0], [3.0]], "Matrix dimensions do not match"),
])
def test_matrix_multiply_errors(a, b, message):
    with pytest.raises(ValueError) as info:
        tarnwick.matrix_multiply(a, b)
    assert str(info.value) == message


def test_matrix_multiply_results_are_new_lists():
    a = [[1.0]]
    out = tarnwick.matrix_multiply(a, a)
    assert out == [[1.0]] and out is not a and out[0] is not a[0]
