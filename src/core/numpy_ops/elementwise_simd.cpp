#include "core/numpy_ops/elementwise_simd.hpp"

#include <immintrin.h>

namespace tarnwick::core::simd {

namespace {

// The scalar rules; the vector loops must agree with these bit for bit, and finish the tails.
template <class T>
T relu_one(T x) {
    return x > T(0) ? x : T(0);
}

enum class Op { Relu, Scale };

template <Op op, class T>
T apply_one(T x, T factor) {
    if constexpr (op == Op::Relu)
        return relu_one(x);
    else
        return x * factor;
}

// Both x86-64 baseline loops and AVX loops compare with an ordered greater-than and keep the
// lanes that pass: NaN and -0.0 fail the compare, and the and-mask then gives +0.0.
namespace sse2 {

struct F64 {
    using T = double;
    using V = __m128d;
    static constexpr std::size_t kWidth = 2;
    static V load(const T* p) { return _mm_loadu_pd(p); }
    static void store(T* p, V v) { _mm_storeu_pd(p, v); }
    static V set1(T x) { return _mm_set1_pd(x); }
    static V mul(V a, V b) { return _mm_mul_pd(a, b); }
    static V relu(V x) { return _mm_and_pd(_mm_cmpgt_pd(x, _mm_setzero_pd()), x); }
};

struct F32 {
    using T = float;
    using V = __m128;
    static constexpr std::size_t kWidth = 4;
    static V load(const T* p) { return _mm_loadu_ps(p); }
    static void store(T* p, V v) { _mm_storeu_ps(p, v); }
    static V set1(T x) { return _mm_set1_ps(x); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V relu(V x) { return _mm_and_ps(_mm_cmpgt_ps(x, _mm_setzero_ps()), x); }
};

// Two vectors a step keeps both load ports busy; the tail goes element by element.
template <Op op, class I, class T = typename I::T>
void map(const T* x, T* y, std::size_t n, T factor) {
    constexpr std::size_t w = I::kWidth;
    auto apply = [f = I::set1(factor)](typename I::V v) {
        if constexpr (op == Op::Relu)
            return I::relu(v);
        else
            return I::mul(v, f);
    };
    std::size_t i = 0;
    for (; i + 2 * w <= n; i += 2 * w) {
        auto a = I::load(x + i), b = I::load(x + i + w);
        I::store(y + i, apply(a));
        I::store(y + i + w, apply(b));
    }
    for (; i < n; ++i) y[i] = apply_one<op>(x[i], factor);
}

}  // namespace sse2

#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {

struct F64 {
    using T = double;
    using V = __m256d;
    static constexpr std::size_t kWidth = 4;
    static V load(const T* p) { return _mm256_loadu_pd(p); }
    static void store(T* p, V v) { _mm256_storeu_pd(p, v); }
    static V set1(T x) { return _mm256_set1_pd(x); }
    static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    static V relu(V x) {
        return _mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GT_OQ), x);
    }
};

struct F32 {
    using T = float;
    using V = __m256;
    static constexpr std::size_t kWidth = 8;
    static V load(const T* p) { return _mm256_loadu_ps(p); }
    static void store(T* p, V v) { _mm256_storeu_ps(p, v); }
    static V set1(T x) { return _mm256_set1_ps(x); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V relu(V x) {
        return _mm256_and_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ), x);
    }
};

// The same loop as sse2::map; it has to be spelled here to be compiled for this unit.
template <Op op, class I, class T = typename I::T>
void map(const T* x, T* y, std::size_t n, T factor) {
    constexpr std::size_t w = I::kWidth;
    auto apply = [f = I::set1(factor)](typename I::V v) {
        if constexpr (op == Op::Relu)
            return I::relu(v);
        else
            return I::mul(v, f);
    };
    std::size_t i = 0;
    for (; i + 2 * w <= n; i += 2 * w) {
        auto a = I::load(x + i), b = I::load(x + i + w);
        I::store(y + i, apply(a));
        I::store(y + i + w, apply(b));
    }
    for (; i < n; ++i) y[i] = apply_one<op>(x[i], factor);
}

void relu64(const double* x, double* y, std::size_t n) { map<Op::Relu, F64>(x, y, n, 0.0); }
void relu32(const float* x, float* y, std::size_t n) { map<Op::Relu, F32>(x, y, n, 0.0f); }
void scale64(const double* x, double f, double* y, std::size_t n) {
    map<Op::Scale, F64>(x, y, n, f);
}
void scale32(const float* x, float f, float* y, std::size_t n) { map<Op::Scale, F32>(x, y, n, f); }

// Eight rows of eight floats in, their columns out: c[j] holds r[0][j] .. r[7][j].
void transpose8(__m256 r[8]) {
    __m256 t[8], u[8];
    for (int k = 0; k < 8; k += 2) {
        t[k] = _mm256_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm256_unpackhi_ps(r[k], r[k + 1]);
    }
    for (int k = 0; k < 8; k += 4) {
        u[k] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
        u[k + 1] = _mm256_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
        u[k + 2] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
        u[k + 3] = _mm256_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int j = 0; j < 4; ++j) {
        r[j] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x20);
        r[j + 4] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x31);
    }
}

// Four rows of four doubles in, their columns out.
void transpose4(__m256d r[4]) {
    const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]), t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]), t3 = _mm256_unpackhi_pd(r[2], r[3]);
    r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Lane k carries leaf k: a block of each leaf is loaded as a row, squared, and turned into
// columns, which are then added one after another, so every lane adds in ascending order.
std::size_t squares8_32(const float* const* p, std::size_t n, float* s) {
    __m256 acc = _mm256_loadu_ps(s);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 r[8];
        for (int k = 0; k < 8; ++k) {
            const __m256 v = _mm256_loadu_ps(p[k] + i);
            r[k] = _mm256_mul_ps(v, v);
        }
        transpose8(r);
        for (int j = 0; j < 8; ++j) acc = _mm256_add_ps(acc, r[j]);
    }
    _mm256_storeu_ps(s, acc);
    return i;
}

std::size_t squares8_64(const double* const* p, std::size_t n, double* s) {
    __m256d lo = _mm256_loadu_pd(s), hi = _mm256_loadu_pd(s + 4);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d a[4], b[4];
        for (int k = 0; k < 4; ++k) {
            const __m256d v = _mm256_loadu_pd(p[k] + i), w = _mm256_loadu_pd(p[k + 4] + i);
            a[k] = _mm256_mul_pd(v, v);
            b[k] = _mm256_mul_pd(w, w);
        }
        transpose4(a);
        transpose4(b);
        for (int j = 0; j < 4; ++j) {
            lo = _mm256_add_pd(lo, a[j]);
            hi = _mm256_add_pd(hi, b[j]);
        }
    }
    _mm256_storeu_pd(s, lo);
    _mm256_storeu_pd(s + 4, hi);
    return i;
}

}  // namespace avx2
#pragma GCC pop_options

namespace sse2 {
void relu64(const double* x, double* y, std::size_t n) { map<Op::Relu, F64>(x, y, n, 0.0); }
void relu32(const float* x, float* y, std::size_t n) { map<Op::Relu, F32>(x, y, n, 0.0f); }
void scale64(const double* x, double f, double* y, std::size_t n) {
    map<Op::Scale, F64>(x, y, n, f);
}
void scale32(const float* x, float f, float* y, std::size_t n) { map<Op::Scale, F32>(x, y, n, f); }
// Without AVX2 the caller's interleaved scalar loop does all of it.
std::size_t squares8_32(const float* const*, std::size_t, float*) { return 0; }
std::size_t squares8_64(const double* const*, std::size_t, double*) { return 0; }
}  // namespace sse2

struct Table {
    void (*relu64)(const double*, double*, std::size_t);
    void (*relu32)(const float*, float*, std::size_t);
    void (*scale64)(const double*, double, double*, std::size_t);
    void (*scale32)(const float*, float, float*, std::size_t);
    std::size_t (*squares8_64)(const double* const*, std::size_t, double*);
    std::size_t (*squares8_32)(const float* const*, std::size_t, float*);
};

Table pick() {
    __builtin_cpu_init();  // we may run before the compiler's own start-up code has
    if (__builtin_cpu_supports("avx2")) {
        return {avx2::relu64,  avx2::relu32,      avx2::scale64,
                avx2::scale32, avx2::squares8_64, avx2::squares8_32};
    }
    return {sse2::relu64,  sse2::relu32,      sse2::scale64,
            sse2::scale32, sse2::squares8_64, sse2::squares8_32};
}

// Picked at load time, so a call pays one indirect jump and no check.
const Table g_table = pick();

}  // namespace

void relu(const double* x, double* y, std::size_t n) { g_table.relu64(x, y, n); }
void relu(const float* x, float* y, std::size_t n) { g_table.relu32(x, y, n); }
void scale(const double* x, double factor, double* y, std::size_t n) {
    g_table.scale64(x, factor, y, n);
}
void scale(const float* x, float factor, float* y, std::size_t n) {
    g_table.scale32(x, factor, y, n);
}

std::size_t sum_squares8(const double* const* leaves, std::size_t n, double* sums) {
    return g_table.squares8_64(leaves, n, sums);
}
std::size_t sum_squares8(const float* const* leaves, std::size_t n, float* sums) {
    return g_table.squares8_32(leaves, n, sums);
}

}  // namespace tarnwick::core::simd
