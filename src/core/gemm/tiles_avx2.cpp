// The AVX2 tiles: 6 rows by 2 registers of columns, twelve chains in flight (with the two rows
// of B and a broadcast, 15 of the 16 registers).
#include <immintrin.h>

#include "core/gemm/tiles.hpp"

namespace tarnwick::core::gemm_impl::avx2 {

namespace {

struct F64 {
    using T = double;
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    static V splat(T x) { return _mm256_set1_pd(x); }
    static V load(const T* p) { return _mm256_loadu_pd(p); }
    static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
    static V fma(V x, V y, V acc) { return _mm256_fmadd_pd(x, y, acc); }
};

struct F32 {
    using T = float;
    using V = __m256;
    static constexpr std::size_t kWidth = 8;
    static V splat(T x) { return _mm256_set1_ps(x); }
    static V load(const T* p) { return _mm256_loadu_ps(p); }
    static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
    static V fma(V x, V y, V acc) { return _mm256_fmadd_ps(x, y, acc); }
};

}  // namespace

constinit const Tiles<double> kF64 = make_tiles<F64, 6, 2>();
constinit const Tiles<float> kF32 = make_tiles<F32, 6, 2>();

}  // namespace tarnwick::core::gemm_impl::avx2
