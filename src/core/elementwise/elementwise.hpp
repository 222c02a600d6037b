// Element-wise kernels over 1-D views, run on the worker pool. Any element step is read in
// logical order; every map returns a new contiguous buffer of the view's length.
#pragma once

#include "core/memory/buffer.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// x > 0 ? x : +0.0, ordered: NaN and -0.0 give +0.0.
Buffer<double> relu(View1<double> x);
Buffer<float> relu(View1<float> x);

// 1 / (1 + exp(-x)) with the C library's exp (expf for float), nothing widened.
Buffer<double> sigmoid(View1<double> x);
Buffer<float> sigmoid(View1<float> x);

// x * factor.
Buffer<double> scale(View1<double> x, double factor);
Buffer<float> scale(View1<float> x, float factor);

// Σ x² in the view's own width over a fixed halving tree: a range splits at b + (e - b) / 2,
// and both halves add once, down to the depth where every range holds at most kSquaresLeaf
// elements; there each leaf sums its squares sequentially from -0.0. The tree depends on the
// length alone, so the bits are the same for every thread count and CPU level. Empty gives
// -0.0.
inline constexpr std::size_t kSquaresLeaf = 512;
double sum_of_squares(View1<double> x);
float sum_of_squares(View1<float> x);

// ((x * mask) * scale) + residual element by element, on the calling thread, as a new C-ordered
// array. The three shapes must be equal (ShapeError otherwise).
Strided<double, 2> dropout_add(const View2<double>& x, const View2<double>& residual,
                               const View2<double>& mask, double scale);

}  // namespace tarnwick::core
