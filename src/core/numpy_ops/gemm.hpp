// The strided product step: C <- A·B for operands laid out any way a NumPy view can be.
#pragma once

#include <cstddef>
#include <limits>

#include "core/views.hpp"

namespace tarnwick::core {

// Where a product lands: like View2 but writable.
template <class T>
struct Out2 {
    T* data = nullptr;  // element (0, 0)
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_step = 0;
    std::ptrdiff_t col_step = 1;
};

// C <- A·B with A (m×k), B (k×n), C (m×n); alpha is 1 and beta 0, so C's prior contents are
// never read. A and B may have any signed steps, zero included; C must not overlap itself
// (it is written). k = 0 zero-fills C; m = 0 or n = 0 writes nothing. Single-threaded.
// Sizes must agree; that is the caller's check.
void gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c);
void gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c);

// The same with every BLAS call cut to at most `limit` along each size and leading dimension.
// BLAS takes 32-bit sizes, so the public calls use the int range; a small limit lets tests
// walk the blocking on small matrices.
inline constexpr std::size_t kBlasLimit = std::numeric_limits<int>::max();
void gemm_blocked(const View2<double>& a, const View2<double>& b, const Out2<double>& c,
                  std::size_t limit);
void gemm_blocked(const View2<float>& a, const View2<float>& b, const Out2<float>& c,
                  std::size_t limit);

}  // namespace tarnwick::core
