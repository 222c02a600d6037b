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

}  // namespace avx2
#pragma GCC pop_options

namespace sse2 {
void relu64(const double* x, double* y, std::size_t n) { map<Op::Relu, F64>(x, y, n, 0.0); }
void relu32(const float* x, float* y, std::size_t n) { map<Op::Relu, F32>(x, y, n, 0.0f); }
void scale64(const double* x, double f, double* y, std::size_t n) {
    map<Op::Scale, F64>(x, y, n, f);
}
void scale32(const float* x, float f, float* y, std::size_t n) { map<Op::Scale, F32>(x, y, n, f); }
}  // namespace sse2

struct Table {
    void (*relu64)(const double*, double*, std::size_t);
    void (*relu32)(const float*, float*, std::size_t);
    void (*scale64)(const double*, double, double*, std::size_t);
    void (*scale32)(const float*, float, float*, std::size_t);
};

Table pick() {
    __builtin_cpu_init();  // we may run before the compiler's own start-up code has
    if (__builtin_cpu_supports("avx2")) {
        return {avx2::relu64, avx2::relu32, avx2::scale64, avx2::scale32};
    }
    return {sse2::relu64, sse2::relu32, sse2::scale64, sse2::scale32};
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

}  // namespace tarnwick::core::simd
