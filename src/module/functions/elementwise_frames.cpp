// Frames of the element-wise array functions: activations, scaling and sums of squares.
#include <type_traits>

#include "core/elementwise/elementwise.hpp"
#include "module/arrays.hpp"
#include "module/convert.hpp"
#include "module/functions/functions.hpp"

namespace tarnwick::py {

namespace {

constexpr Signature kParallelMapNumpy{"parallel_map_numpy", "arr", "factor"};
constexpr Signature kParallelMapNumpyF32{"parallel_map_numpy_f32", "arr", "factor"};
constexpr Signature kSumOfSquaresNumpy{"sum_of_squares_numpy", "arr"};
constexpr Signature kSumOfSquaresNumpyF32{"sum_of_squares_numpy_f32", "arr"};
constexpr Signature kReluNumpy{"relu_numpy", "arr"};
constexpr Signature kReluNumpyF32{"relu_numpy_f32", "arr"};
constexpr Signature kSigmoidNumpy{"sigmoid_numpy", "arr"};
constexpr Signature kSigmoidNumpyF32{"sigmoid_numpy_f32", "arr"};

template <class T>
Ref parallel_map(const Slots<2>& args) {
    auto arr = accept<T, 1>(args[0], "arr");
    // The float32 map rounds its factor to 32 bits (exactly representable on the way back).
    const T factor =
        std::is_same_v<T, float> ? to_float32(args[1], "factor") : to_double(args[1], "factor");
    return to_ndarray(core::scale(arr.view(), factor));
}

template <class T>
Ref sum_of_squares(const Slots<1>& args) {
    auto arr = accept<T, 1>(args[0], "arr");
    return from_double(core::sum_of_squares(arr.view()));  // a float widens exactly
}

template <class T>
Ref relu(const Slots<1>& args) {
    auto arr = accept<T, 1>(args[0], "arr");
    return to_ndarray(core::relu(arr.view()));
}

template <class T>
Ref sigmoid(const Slots<1>& args) {
    auto arr = accept<T, 1>(args[0], "arr");
    return to_ndarray(core::sigmoid(arr.view()));
}

}  // namespace

const Function kParallelMapNumpyFn = function<kParallelMapNumpy, parallel_map<double>>(
    "Parallel element-wise transformation with zero-copy\n\nThis is the \"Zed Aruzez\" operation - "
    "small, fast, specialized.\nPerfect for ML preprocessing where you need to apply a function "
    "to millions of values.");

const Function kParallelMapNumpyF32Fn = function<kParallelMapNumpyF32, parallel_map<float>>(
    "Parallel element-wise transformation with f32");

const Function kSumOfSquaresNumpyFn =
    function<kSumOfSquaresNumpy, sum_of_squares<double>>("Sum of squares with zero-copy");

const Function kSumOfSquaresNumpyF32Fn =
    function<kSumOfSquaresNumpyF32, sum_of_squares<float>>("Sum of squares with f32");

const Function kReluNumpyFn = function<kReluNumpy, relu<double>>(
    "FUSED OPERATION: ReLU activation (max(0, x))\n\nApplies ReLU in-place for maximum efficiency");

const Function kReluNumpyF32Fn =
    function<kReluNumpyF32, relu<float>>("FUSED OPERATION: ReLU activation with f32");

const Function kSigmoidNumpyFn = function<kSigmoidNumpy, sigmoid<double>>(
    "FUSED OPERATION: Sigmoid activation (1 / (1 + exp(-x)))");

const Function kSigmoidNumpyF32Fn =
    function<kSigmoidNumpyF32, sigmoid<float>>("FUSED OPERATION: Sigmoid activation with f32");

}  // namespace tarnwick::py
