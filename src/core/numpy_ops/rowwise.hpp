// Row-wise transformer kernels: softmax and layer normalisation over each row of a 2-D array,
// and dropout with a residual add over whole arrays. All run on the calling thread.
#pragma once

#include <array>

#include "core/buffer.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// A result stored in its argument's memory layout. `values` carries the magnitudes of the
// argument's steps over a buffer that starts at its lowest address, so an axis that had a
// negative step is stored back to front: flipping the axes marked in `reversed` gives the
// argument's own orientation (and its steps, signs included).
struct LaidOutLike {
    Strided<double, 2> values;
    std::array<bool, 2> reversed;
};

// exp(v - max) / sum(exp(v - max)) over each row; the maximum skips NaN.
LaidOutLike softmax_rows(const View2<double>& x);

// (v - mean) / sqrt(var + eps) over each row, with the population variance.
LaidOutLike layer_norm_rows(const View2<double>& x, double eps);

// ((x * mask) * scale) + residual element by element, as a new C-ordered array. The three
// shapes must be equal (ShapeError otherwise).
Strided<double, 2> dropout_add(const View2<double>& x, const View2<double>& residual,
                               const View2<double>& mask, double scale);

}  // namespace tarnwick::core
