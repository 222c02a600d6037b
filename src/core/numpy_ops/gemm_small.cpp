#include "core/numpy_ops/gemm_small.hpp"

#include <immintrin.h>

#include <cstddef>

namespace tarnwick::core {

namespace {

constexpr std::size_t kMaxRows = 8;
// B is read once per four rows; this keeps it in a core's L2 between the passes.
constexpr std::size_t kMaxPanelBytes = std::size_t{256} << 10;

bool has_avx2_fma() {
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

// One register of lanes and the few operations a tile needs.
struct F64 {
    using T = double;
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    [[gnu::target("avx2,fma")]] static V zero() { return _mm256_setzero_pd(); }
    [[gnu::target("avx2,fma")]] static V splat(T x) { return _mm256_set1_pd(x); }
    [[gnu::target("avx2,fma")]] static V fma(V x, V y, V acc) { return _mm256_fmadd_pd(x, y, acc); }
    [[gnu::target("avx2,fma")]] static V load(const T* p) { return _mm256_loadu_pd(p); }
    [[gnu::target("avx2,fma")]] static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
    // Lanes below `count` on: the ragged right edge, read and written without touching the rest.
    [[gnu::target("avx2,fma")]] static __m256i mask(std::size_t count) {
        return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)),
                                  _mm256_setr_epi64x(0, 1, 2, 3));
    }
    [[gnu::target("avx2,fma")]] static V load(const T* p, __m256i m) {
        return _mm256_maskload_pd(p, m);
    }
    [[gnu::target("avx2,fma")]] static void store(T* p, __m256i m, V v) {
        _mm256_maskstore_pd(p, m, v);
    }
};

struct F32 {
    using T = float;
    using V = __m256;
    static constexpr std::size_t kWidth = 8;
    [[gnu::target("avx2,fma")]] static V zero() { return _mm256_setzero_ps(); }
    [[gnu::target("avx2,fma")]] static V splat(T x) { return _mm256_set1_ps(x); }
    [[gnu::target("avx2,fma")]] static V fma(V x, V y, V acc) { return _mm256_fmadd_ps(x, y, acc); }
    [[gnu::target("avx2,fma")]] static V load(const T* p) { return _mm256_loadu_ps(p); }
    [[gnu::target("avx2,fma")]] static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
    [[gnu::target("avx2,fma")]] static __m256i mask(std::size_t count) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                                  _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    [[gnu::target("avx2,fma")]] static V load(const T* p, __m256i m) {
        return _mm256_maskload_ps(p, m);
    }
    [[gnu::target("avx2,fma")]] static void store(T* p, __m256i m, V v) {
        _mm256_maskstore_ps(p, m, v);
    }
};

template <class T>
struct Problem {
    View2<T> a;
    const T* b;  // rows dense, `ldb` apart (any sign)
    std::ptrdiff_t ldb;
    T* c;  // rows dense, `ldc` apart
    std::ptrdiff_t ldc;
    std::size_t k;
};

// Rows [i0, i0 + R) by N registers of columns from j0. Each element is one FMA chain over k,
// so the result does not depend on where the tile edges fall.
template <class Ops, std::size_t R, std::size_t N, bool Masked>
[[gnu::target("avx2,fma")]] void tile(const Problem<typename Ops::T>& q, std::size_t i0,
                                      std::size_t j0, __m256i edge) {
    using T = typename Ops::T;
    using V = typename Ops::V;
    constexpr std::size_t W = Ops::kWidth;
    V acc[R][N];
    const T* x[R];
    // The register tile only stays in registers once these short loops are unrolled, which -O2
    // alone does not do.
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < N; ++v) acc[r][v] = Ops::zero();
        x[r] = q.a.data + static_cast<std::ptrdiff_t>(i0 + r) * q.a.row_step;
    }
    const T* w = q.b + j0;
    std::ptrdiff_t at = 0;
    for (std::size_t p = 0; p < q.k; ++p, w += q.ldb, at += q.a.col_step) {
        V wv[N];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < N; ++v) {
            if constexpr (Masked)
                wv[v] = Ops::load(w + v * W, edge);
            else
                wv[v] = Ops::load(w + v * W);
        }
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            const V xr = Ops::splat(x[r][at]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < N; ++v) acc[r][v] = Ops::fma(xr, wv[v], acc[r][v]);
        }
    }
#pragma GCC unroll 8
    for (std::size_t r = 0; r < R; ++r) {
        T* out = q.c + static_cast<std::ptrdiff_t>(i0 + r) * q.ldc + j0;
#pragma GCC unroll 8
        for (std::size_t v = 0; v < N; ++v) {
            if constexpr (Masked)
                Ops::store(out + v * W, edge, acc[r][v]);
            else
                Ops::store(out + v * W, acc[r][v]);
        }
    }
}

// FMA latency is several cycles, so a tile needs about eight independent chains to keep both
// FMA units busy: fewer rows get more registers of columns.
template <class Ops, std::size_t R>
[[gnu::target("avx2,fma")]] void rows(const Problem<typename Ops::T>& q, std::size_t i0,
                                      std::size_t n) {
    constexpr std::size_t W = Ops::kWidth;
    constexpr std::size_t N = R >= 3 ? 2 : 8 / R;
    std::size_t j = 0;
    for (; j + N * W <= n; j += N * W) tile<Ops, R, N, false>(q, i0, j, _mm256_setzero_si256());
    for (; j + W <= n; j += W) tile<Ops, R, 1, false>(q, i0, j, _mm256_setzero_si256());
    if (j < n) tile<Ops, R, 1, true>(q, i0, j, Ops::mask(n - j));
}

template <class Ops>
[[gnu::target("avx2,fma")]] void run(const Problem<typename Ops::T>& q, std::size_t m,
                                     std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) rows<Ops, 4>(q, i, n);
    switch (m - i) {
        case 3:
            rows<Ops, 3>(q, i, n);
            break;
        case 2:
            rows<Ops, 2>(q, i, n);
            break;
        case 1:
            rows<Ops, 1>(q, i, n);
            break;
        default:
            break;
    }
}

template <class Ops, class T>
bool small(const View2<T>& a, const View2<T>& b, const Out2<T>& c) {
    const std::size_t m = c.rows, n = c.cols, k = a.cols;
    if (m == 0 || m > kMaxRows || n == 0 || k == 0) return false;
    if (n > 1 && (b.col_step != 1 || c.col_step != 1)) return false;
    if (n > kMaxPanelBytes / sizeof(T) / k) return false;
    if (!has_avx2_fma()) return false;
    run<Ops>({a, b.data, b.row_step, c.data, c.row_step, k}, m, n);
    return true;
}

}  // namespace

bool small_gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c) {
    return small<F64>(a, b, c);
}

bool small_gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c) {
    return small<F32>(a, b, c);
}

}  // namespace tarnwick::core
