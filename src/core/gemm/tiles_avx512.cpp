// The AVX-512 tiles: 12 rows by 2 registers of columns, 24 chains in flight out of the 32
// registers.
#include <immintrin.h>

#include "core/gemm/tiles.hpp"

namespace tarnwick::core::gemm_impl::avx512 {

namespace {

struct F64 {
    using T = double;
    using V = __m512d;
    static constexpr std::size_t kWidth = 8;
    static V splat(T x) { return _mm512_set1_pd(x); }
    static V load(const T* p) { return _mm512_loadu_pd(p); }
    static void store(T* p, V v) { _mm512_storeu_pd(p, v); }
    static V fma(V x, V y, V acc) { return _mm512_fmadd_pd(x, y, acc); }
};

struct F32 {
    using T = float;
    using V = __m512;
    static constexpr std::size_t kWidth = 16;
    static V splat(T x) { return _mm512_set1_ps(x); }
    static V load(const T* p) { return _mm512_loadu_ps(p); }
    static void store(T* p, V v) { _mm512_storeu_ps(p, v); }
    static V fma(V x, V y, V acc) { return _mm512_fmadd_ps(x, y, acc); }
};

}  // namespace

constinit const Tiles<double> kF64 = make_tiles<F64, 12, 2>();
constinit const Tiles<float> kF32 = make_tiles<F32, 12, 2>();

}  // namespace tarnwick::core::gemm_impl::avx512
