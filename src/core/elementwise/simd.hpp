// Contiguous element-wise loops (and the element pass of dropout-add) (and the element pass of
// dropout-add), built once per CPU level and picked once through the CPU layer. Every element
// equals the scalar rule bit for bit, so the choice never shows.
#pragma once

#include <cstddef>

namespace tarnwick::core::simd {

// Leaves of a sum of squares that one call carries on together: enough independent add chains
// for every level's vectors, and few enough streams to read at once.
inline constexpr std::size_t kLeaves = 32;

// One level's loops. `stream` asks for stores that bypass the caches, for results too large
// to stay in them; a level without such stores ignores it.
struct Kernels {
    // y[i] = x[i] > 0 ? x[i] : +0.0 (ordered compare: NaN and -0.0 give +0.0).
    void (*relu64)(const double* x, double* y, std::size_t n, bool stream);
    void (*relu32)(const float* x, float* y, std::size_t n, bool stream);
    // y[i] = x[i] * factor, one rounded product per element.
    void (*scale64)(const double* x, double factor, double* y, std::size_t n, bool stream);
    void (*scale32)(const float* x, float factor, float* y, std::size_t n, bool stream);
    // sums[k] = -0.0 + x*x + ... for x = leaves[k][0], ..., leaves[k][len - 1], in that order,
    // for the kLeaves leaves; meanwhile the values `ahead` elements further on (the next
    // group; 0 for none) are brought into the cache.
    void (*squares64)(const double* const* leaves, std::size_t len, double* sums,
                      std::size_t ahead);
    void (*squares32)(const float* const* leaves, std::size_t len, float* sums, std::size_t ahead);
    // y[i] = ((x[i] * mask[i]) * scale) + residual[i], each operation rounded on its own.
    void (*dropout_add)(const double* x, const double* mask, const double* residual, double scale,
                        double* y, std::size_t n, bool stream);
};

namespace portable {
Kernels kernels();
}
namespace avx2 {
Kernels kernels();
}
namespace avx512 {
Kernels kernels();
}

// The loops of the level the CPU layer allows, picked on first use.
const Kernels& kernels();

}  // namespace tarnwick::core::simd
