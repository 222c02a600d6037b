// Row-wise transformer kernels: softmax and layer normalisation over each row of a 2-D array.
// Both run on the calling thread.
#pragma once

#include <array>

#include "core/memory/buffer.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// Softmax and layer normalisation return their result laid out like the argument when the
// argument is contiguous in some axis order (its steps, signs included), else in C order.

// exp(v - max) / sum(exp(v - max)) over each row; the maximum skips NaN.
Strided<double, 2> softmax_rows(const View2<double>& x);

// (v - mean) / sqrt(var + eps) over each row, with the population variance.
Strided<double, 2> layer_norm_rows(const View2<double>& x, double eps);

}  // namespace tarnwick::core
