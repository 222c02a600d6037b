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

// Eight sums of squares carried on together: sums[k] = sums[k] + x*x for x = leaves[k][i],
// i ascending from 0, for a prefix of [0, n) whose length is returned (possibly 0); the caller
// adds the rest. Each sum sees exactly the additions of a plain sequential loop.
std::size_t sum_squares8(const double* const* leaves, std::size_t n, double* sums);
std::size_t sum_squares8(const float* const* leaves, std::size_t n, float* sums);

}  // namespace tarnwick::core::simd
