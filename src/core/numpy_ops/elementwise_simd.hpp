// Contiguous map loops, vectorised for the widest unit this processor has (chosen once at
// load). Every element equals the scalar rule bit for bit, so the choice never shows.
#pragma once

#include <cstddef>

namespace tarnwick::core::simd {

// y[i] = x[i] > 0 ? x[i] : +0.0 (ordered compare: NaN and -0.0 give +0.0).
void relu(const double* x, double* y, std::size_t n);
void relu(const float* x, float* y, std::size_t n);

// y[i] = x[i] * factor, one rounded product per element.
void scale(const double* x, double factor, double* y, std::size_t n);
void scale(const float* x, float factor, float* y, std::size_t n);

}  // namespace tarnwick::core::simd
