// Every module function, one definition each; the module table lists them in its own order.
#pragma once

#include "module/function.hpp"

namespace tarnwick::py {

// Plain lists.
extern const Function kSumOfSquaresFn;
extern const Function kMatrixMultiplyFn;
extern const Function kParallelTransformFn;

// Matrix product and dense layer.
extern const Function kMatmulNumpyFn;
extern const Function kMatmulNumpyF32Fn;
extern const Function kFusedLinearFn;
extern const Function kFusedLinearF32Fn;
extern const Function kFusedLinearReluFn;
extern const Function kFusedLinearReluF32Fn;

// Element-wise on 1-D arrays.
extern const Function kParallelMapNumpyFn;
extern const Function kParallelMapNumpyF32Fn;
extern const Function kSumOfSquaresNumpyFn;
extern const Function kSumOfSquaresNumpyF32Fn;
extern const Function kReluNumpyFn;
extern const Function kReluNumpyF32Fn;
extern const Function kSigmoidNumpyFn;
extern const Function kSigmoidNumpyF32Fn;

// Row-wise transformer kernels on 2-D arrays.
extern const Function kFusedDropoutAddFn;
extern const Function kFusedLayerNormFn;
extern const Function kFusedSoftmaxFn;

}  // namespace tarnwick::py
