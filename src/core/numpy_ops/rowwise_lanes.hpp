// Four-double vectors for the row-wise kernels, written with the compiler's generic vector
// type: every lane operation is the same IEEE operation as its scalar form, so results never
// depend on the instruction set. Each kernel is built twice from the same template, once for
// AVX2 and once for the x86-64 baseline, and picks one per call.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

// The kernels inline every helper, so no vector ever crosses a real call and the
// ABI note about passing 32-byte vectors without AVX does not apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarnwick::core::lanes {

using V4 = double __attribute__((vector_size(32)));
using Mask4 = long long __attribute__((vector_size(32)));

inline constexpr std::size_t kWidth = 4;

inline V4 splat(double v) { return V4{v, v, v, v}; }
inline V4 load(const double* p) {
    V4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, const V4& v) { std::memcpy(p, &v, sizeof v); }

// m becomes v where v > m; a NaN v never wins, and m starts at -inf so it is never NaN.
inline V4 keep_max(const V4& v, const V4& m) { return v > m ? v : m; }
inline double keep_max(double v, double m) { return v > m ? v : m; }

inline V4 negative_infinity() { return splat(-std::numeric_limits<double>::infinity()); }

// The C library's exp, one lane at a time, so each value matches a scalar call bit for bit.
inline V4 exp(const V4& v) { return V4{std::exp(v[0]), std::exp(v[1]), std::exp(v[2]), std::exp(v[3])}; }

inline V4 sqrt(const V4& v) {
    return V4{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
}

// Rows a..d of a 4x4 block become its columns.
inline void transpose(V4& a, V4& b, V4& c, V4& d) {
    V4 t0 = __builtin_shuffle(a, b, Mask4{0, 4, 2, 6});
    V4 t1 = __builtin_shuffle(a, b, Mask4{1, 5, 3, 7});
    V4 t2 = __builtin_shuffle(c, d, Mask4{0, 4, 2, 6});
    V4 t3 = __builtin_shuffle(c, d, Mask4{1, 5, 3, 7});
    a = __builtin_shuffle(t0, t2, Mask4{0, 1, 4, 5});
    b = __builtin_shuffle(t1, t3, Mask4{0, 1, 4, 5});
    c = __builtin_shuffle(t0, t2, Mask4{2, 3, 6, 7});
    d = __builtin_shuffle(t1, t3, Mask4{2, 3, 6, 7});
}

// Whether this processor runs the AVX2 builds; asked once.
inline bool have_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}

}  // namespace tarnwick::core::lanes

#pragma GCC diagnostic pop
