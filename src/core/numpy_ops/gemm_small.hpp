// Products with a handful of rows, computed directly: at that size BLAS's set-up and packing
// cost more than the arithmetic.
#pragma once

#include "core/numpy_ops/gemm.hpp"

namespace tarnwick::core {

// C <- A·B when the product is small enough and laid out for it (at most a few rows, B and C
// with dense rows, B small enough to stay in cache) and the processor has AVX2 and FMA.
// Returns false, having written nothing, when it does not apply. k must be non-zero.
bool small_gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c);
bool small_gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c);

}  // namespace tarnwick::core
