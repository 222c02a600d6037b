// Frames of the functions on plain Python lists.
#include "core/lists/list_kernels.hpp"
#include "module/convert.hpp"
#include "module/functions/functions.hpp"

namespace tarnwick::py {

namespace {

constexpr Signature kSumOfSquares{"sum_of_squares", "numbers"};
constexpr Signature kMatrixMultiply{"matrix_multiply", "a", "b"};
constexpr Signature kParallelTransform{"parallel_transform", "data", "factor"};

Ref sum_of_squares(const Slots<1>& args) {
    auto numbers = to_vector(args[0], "numbers");
    return from_double(core::sum_of_squares(numbers));
}

Ref matrix_multiply(const Slots<2>& args) {
    auto a = to_matrix(args[0], "a");
    auto b = to_matrix(args[1], "b");
    return from_matrix(core::matrix_multiply(a, b));
}

Ref parallel_transform(const Slots<2>& args) {
    auto data = to_vector(args[0], "data");
    double factor = to_double(args[1], "factor");
    return from_vector(core::parallel_transform(data, factor));
}

}  // namespace

const Function kSumOfSquaresFn = function<kSumOfSquares, sum_of_squares>(
    "Compute the sum of squares for a list of numbers.\n\nArgs:\n    numbers (List[float]): A list "
    "of numeric values\n\nReturns:\n    float: The sum of squares of all numbers\n\nRaises:\n    "
    "ValueError: If the input list is empty\n    RuntimeError: If computation results in "
    "overflow\n\nExample:\n    >>> import tarnwick\n    >>> tarnwick.sum_of_squares([1.0, 2.0, "
    "3.0])\n    14.0");

const Function kMatrixMultiplyFn = function<kMatrixMultiply, matrix_multiply>(
    "Multiply two matrices.\n\nArgs:\n    a (List[List[float]]): First matrix (m x n)\n    b "
    "(List[List[float]]): Second matrix (n x p)\n\nReturns:\n    List[List[float]]: Result matrix "
    "(m x p)\n\nRaises:\n    ValueError: If matrices are empty or dimensions don't "
    "match\n\nExample:\n    >>> import tarnwick\n    >>> a = [[1.0, 2.0], [3.0, 4.0]]\n    >>> b "
    "= [[5.0, 6.0], [7.0, 8.0]]\n    >>> tarnwick.matrix_multiply(a, b)\n    [[19.0, 22.0], "
    "[43.0, 50.0]]");

const Function kParallelTransformFn = function<kParallelTransform, parallel_transform>(
    "Transform data in parallel by multiplying each element by a factor.\n\nArgs:\n    data "
    "(List[float]): Input data to transform\n    factor (float): Multiplication "
    "factor\n\nReturns:\n    List[float]: Transformed data\n\nRaises:\n    ValueError: If the "
    "input list is empty\n\nExample:\n    >>> import tarnwick\n    >>> "
    "tarnwick.parallel_transform([1.0, 2.0, 3.0], 2.0)\n    [2.0, 4.0, 6.0]");

}  // namespace tarnwick::py
