// Small double vectors for the row-wise kernels, written with the compiler's generic vector
// types: every lane operation is the same IEEE operation as its scalar form, so results never
// depend on the width. Each kernel is a template over the vector type, built once with four
// lanes for AVX2 (x86-64 only) and once with two for the target's baseline, and picks one per
// call through the CPU-feature layer.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "core/dispatch/cpu.hpp"

// The kernels inline every helper, so no vector crosses a real call and the ABI note about
// 32-byte vectors without AVX does not apply (g++ and clang++ both know this pragma).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarnwick::core::lanes {

using V2 = double __attribute__((vector_size(16)));
using V4 = double __attribute__((vector_size(32)));

template <class V>
inline constexpr std::size_t kWidth = sizeof(V) / sizeof(double);

// Every lane set to v (adding v to a zero vector would turn -0.0 into +0.0).
template <class V>
[[gnu::always_inline]] inline V splat(double v) {
    V out;
    for (std::size_t i = 0; i < kWidth<V>; ++i) out[i] = v;
    return out;
}
template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// m becomes v where v > m; a NaN v never wins, and m starts at -inf so it is never NaN.
template <class V>
[[gnu::always_inline]] inline V keep_max(const V& v, const V& m) {
    return v > m ? v : m;
}
[[gnu::always_inline]] inline double keep_max(double v, double m) { return v > m ? v : m; }

template <class V>
[[gnu::always_inline]] inline double max_of_lanes(const V& v) {
    double m = v[0];
    for (std::size_t i = 1; i < kWidth<V>; ++i) m = keep_max(v[i], m);
    return m;
}

template <class V>
[[gnu::always_inline]] inline V negative_infinity() {
    return splat<V>(-std::numeric_limits<double>::infinity());
}

template <class V>
[[gnu::always_inline]] inline V sqrt(const V& v) {
    V out;
    for (std::size_t i = 0; i < kWidth<V>; ++i) out[i] = std::sqrt(v[i]);
    return out;
}

// A square tile held as rows becomes held as columns.
[[gnu::always_inline]] inline void transpose(V2& a, V2& b) {
    V2 t = __builtin_shufflevector(a, b, 0, 2);
    b = __builtin_shufflevector(a, b, 1, 3);
    a = t;
}
[[gnu::always_inline]] inline void transpose(V4& a, V4& b, V4& c, V4& d) {
    V4 t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
    V4 t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    V4 t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
    V4 t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Runs `kernel` with four-lane vectors in an AVX2 build where the CPU layer allows AVX2, else
// with two-lane vectors in a baseline build. `Kernel` is a class whose call operator is a
// template over the vector type; the builds inline all of it.
template <class Kernel, class... Args>
[[gnu::flatten]] void run_baseline(Args&... args) {
    Kernel{}.template operator()<V2>(args...);
}
#if TARNWICK_X86_VARIANTS
template <class Kernel, class... Args>
[[gnu::target("avx2"), gnu::flatten]] void run_avx2(Args&... args) {
    Kernel{}.template operator()<V4>(args...);
}
#endif
template <class Kernel, class... Args>
void run(Args&... args) {
#if TARNWICK_X86_VARIANTS
    if (cpu::level() >= cpu::Level::avx2) return run_avx2<Kernel>(args...);
#endif
    run_baseline<Kernel>(args...);
}

}  // namespace tarnwick::core::lanes

#pragma GCC diagnostic pop
