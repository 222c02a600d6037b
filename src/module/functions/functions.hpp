// Every module function, one definition each; the module table lists them in its own order.
#pragma once

#include "module/function.hpp"

namespace tarnwick::py {

// Plain lists.
extern const Function kSumOfSquaresFn;
extern const Function kMatrixMultiplyFn;
extern const Function kParallelTransformFn;

}  // namespace tarnwick::py
