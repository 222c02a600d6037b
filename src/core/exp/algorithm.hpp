// The library's exp and expf written once over the lanes of simd/, for the per-level sources
// (kernels_avx2.cpp, kernels_avx512.cpp) to build with their own Target. Each step is the one
// the library's FMA build performs, in its order, with the multiply-adds it fuses; lanes outside
// the table-driven range take the library's scalar call. Include only from per-level sources:
// everything here is a template over that level's Target, so no copy is shared between levels.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstring>

#include "core/exp/kernels.hpp"
#include "core/exp/tables.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::exact_exp {

// Target provides, beyond the lanes, the table lookups (lookup, lookup_pairs) and the
// conversions between a float vector and two double vectors (widen_low, widen_high, narrow).
template <class Target>
struct Algorithm {
    using LD = simd::Lanes<Target, double>;
    using LF = simd::Lanes<Target, float>;
    using D = typename LD::V;
    using I = typename LD::Bits;
    using F = typename LF::V;
    using Index = typename LD::Uint;
    static constexpr std::size_t kLanes = LD::kWidth;
    static constexpr std::size_t kFloatLanes = LF::kWidth;

    static D splat(double v) { return LD::splat(v); }

    // y with each lane whose bit is set in `rest` replaced by the library's call on x's lane.
    template <class Lanes, class Call>
    static typename Lanes::V library_lanes(typename Lanes::V x, typename Lanes::V y, unsigned rest,
                                           Call call) {
        alignas(64) typename Lanes::T xs[Lanes::kWidth], ys[Lanes::kWidth];
        Lanes::store(xs, x);
        Lanes::store(ys, y);
        for (std::size_t i = 0; i < Lanes::kWidth; ++i) {
            if (rest >> i & 1u) ys[i] = call(xs[i]);
        }
        return Lanes::load(ys);
    }

    // exp on the lanes with 2^-54 <= |x| < 512, where every result is a normal number.
    static D exp_table_driven(D x) {
        const D kd_shifted = LD::fma(x, splat(kExpInvLn2N), splat(kExpShift));
        const I ki = LD::bits(kd_shifted);
        const D kd = kd_shifted - splat(kExpShift);
        D r = LD::fma(kd, splat(kExpNegLn2HiN), x);
        r = LD::fma(kd, splat(kExpNegLn2LoN), r);
        I tail_bits, scale_bits;
        Target::lookup_pairs(kExpTable, ki & Index{kExpN - 1}, tail_bits, scale_bits);
        scale_bits = scale_bits + (ki << (52 - 7));
        const D c23 = LD::fma(r, splat(kExpC3), splat(kExpC2));
        const D tail_r = r + LD::from_bits(tail_bits);
        const D r2 = r * r;
        const D c45 = LD::fma(r, splat(kExpC5), splat(kExpC4));
        const D low = LD::fma(c23, r2, tail_r);
        const D tmp = LD::fma(r2 * r2, c45, low);
        const D scale = LD::from_bits(scale_bits);
        return LD::fma(scale, tmp, scale);
    }

    static D exp(D x) {
        const D ax = LD::abs(x);
        D y = exp_table_driven(x);
        y = ax < splat(kExpTiny) ? splat(1.0) + x : y;
        // Large magnitudes, infinities and NaN: the library's own special cases.
        if (const unsigned rest = LD::not_less_bits(ax, splat(kExpLarge))) {
            y = library_lanes<LD>(x, y, rest, [](double v) { return ::exp(v); });
        }
        return y;
    }

    // expf of kLanes arguments widened to double, for |x| < 88, before the final rounding:
    // the reduction (kd_shifted = fma(x, N / ln 2, shift)), then with the table's entry the
    // polynomial and the scale.
    static D expf_reduce(D xd) { return LD::fma(xd, splat(kExpfInvLn2N), splat(kExpfShift)); }
    static D expf_finish(D xd, D kd_shifted, I entry) {
        const I ki = LD::bits(kd_shifted);
        const D kd = kd_shifted - splat(kExpfShift);
        const D r = LD::fms(xd, splat(kExpfInvLn2N), kd);
        const I s_bits = entry + (ki << (52 - 5));
        const D z = LD::fma(r, splat(kExpfC0), splat(kExpfC1));
        const D r2 = r * r;
        D y = LD::fma(r, splat(kExpfC2), splat(1.0));
        y = LD::fma(z, r2, y);
        return y * LD::from_bits(s_bits);
    }

    // The table entries of both halves of a float vector at once where the level can look
    // up all its float lanes together.
    static void expf_entries(D k_low, D k_high, I& low, I& high) {
        const I mask = I{} + Index{kExpfN - 1};
        if constexpr (requires { Target::lookup_halves(kExpfWords, mask, mask, low, high); }) {
            Target::lookup_halves(kExpfWords, LD::bits(k_low) & mask, LD::bits(k_high) & mask, low,
                                  high);
        } else {
            low = Target::template lookup<kExpfN>(kExpfTable, LD::bits(k_low) & mask);
            high = Target::template lookup<kExpfN>(kExpfTable, LD::bits(k_high) & mask);
        }
    }

    static F expf(F x) {
        const D x_low = Target::widen_low(x), x_high = Target::widen_high(x);
        const D k_low = expf_reduce(x_low), k_high = expf_reduce(x_high);
        I low, high;
        expf_entries(k_low, k_high, low, high);
        F y = Target::narrow(expf_finish(x_low, k_low, low), expf_finish(x_high, k_high, high));
        if (const unsigned rest = LF::not_less_bits(LF::abs(x), LF::splat(kExpfLarge))) {
            y = library_lanes<LF>(x, y, rest, [](float v) { return ::expf(v); });
        }
        return y;
    }

    static D sigmoid(D x) {
        const D one = splat(1.0);
        return one / (one + exp(-x));
    }

    static F sigmoidf(F x) {
        const F one = LF::splat(1.0f);
        return one / (one + expf(-x));
    }

    // Runs `body(in, out)` over whole vectors, then once over the rest padded with zeros.
    template <class T, std::size_t W, class Body>
    static void over_vectors(const T* x, T* y, std::size_t n, Body body) {
        std::size_t i = 0;
        for (; i + W <= n; i += W) body(x + i, y + i);
        if (const std::size_t rest = n - i) {
            alignas(64) T xs[W] = {}, ys[W];
            std::memcpy(xs, x + i, rest * sizeof(T));
            body(static_cast<const T*>(xs), static_cast<T*>(ys));
            std::memcpy(y + i, ys, rest * sizeof(T));
        }
    }

    // y[i] = f(x[i]) in Lanes' vectors.
    template <class Lanes, auto f>
    static void map_array(const typename Lanes::T* x, typename Lanes::T* y, std::size_t n) {
        using T = typename Lanes::T;
        over_vectors<T, Lanes::kWidth>(
            x, y, n, [](const T* in, T* out) { Lanes::store(out, f(Lanes::load(in))); });
    }

    // The sum is one chain in index order, as the scalar loop adds it.
    static double exp_shifted_sum(const double* x, double m, double* y, std::size_t n, double s) {
        const D mv = splat(m);
        alignas(64) double e[kLanes];
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            LD::store(e, exp(LD::load(x + i) - mv));
            std::memcpy(y + i, e, sizeof e);
            for (std::size_t k = 0; k < kLanes; ++k) s += e[k];
        }
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {};
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m;
            LD::store(e, exp(LD::load(xs)));
            for (std::size_t k = 0; k < rest; ++k) {
                y[i + k] = e[k];
                s += e[k];
            }
        }
        return s;
    }

    // y[i] = exp(x[i] - m).
    static void exp_shifted(const double* x, double m, double* y, std::size_t n) {
        const D mv = splat(m);
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) LD::store(y + i, exp(LD::load(x + i) - mv));
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {}, e[kLanes];
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m;
            LD::store(e, exp(LD::load(xs)));
            std::memcpy(y + i, e, rest * sizeof(double));
        }
    }

    // s[r] += y[r][0] + y[r][1] + ... for count <= G rows (G a multiple of four), each row in
    // index order. Four rows share a vector of running sums: four columns of theirs are loaded
    // as the rows of a 4 x 4 tile, turned into its columns and added one column after another.
    // The G / 4 vectors are independent add chains that overlap in the processor. Rows past
    // `count` read row 0 again; their sums are dropped.
    template <std::size_t G>
    static void add_rows(const double* const* y, std::size_t count, std::size_t n, double* s) {
        typedef double Quad __attribute__((vector_size(32)));
        typedef double QuadUnaligned __attribute__((vector_size(32), aligned(8)));
        constexpr std::size_t kQuads = G / 4;
        const double* rows[G];
        alignas(32) double sums[G];
        for (std::size_t r = 0; r < G; ++r) {
            rows[r] = y[r < count ? r : 0];
            sums[r] = r < count ? s[r] : -0.0;
        }
        Quad acc[kQuads];
        for (std::size_t q = 0; q < kQuads; ++q) std::memcpy(&acc[q], sums + 4 * q, sizeof(Quad));
        const auto at = [](const double* p) {
            return Quad(*reinterpret_cast<const QuadUnaligned*>(p));
        };
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) {
#pragma GCC unroll 4
            for (std::size_t q = 0; q < kQuads; ++q) {
                const double* const* p = rows + 4 * q;
                const Quad a = at(p[0] + j), b = at(p[1] + j), c = at(p[2] + j), d = at(p[3] + j);
                const Quad ab_even = __builtin_shufflevector(a, b, 0, 4, 2, 6);
                const Quad ab_odd = __builtin_shufflevector(a, b, 1, 5, 3, 7);
                const Quad cd_even = __builtin_shufflevector(c, d, 0, 4, 2, 6);
                const Quad cd_odd = __builtin_shufflevector(c, d, 1, 5, 3, 7);
                acc[q] = acc[q] + __builtin_shufflevector(ab_even, cd_even, 0, 1, 4, 5);
                acc[q] = acc[q] + __builtin_shufflevector(ab_odd, cd_odd, 0, 1, 4, 5);
                acc[q] = acc[q] + __builtin_shufflevector(ab_even, cd_even, 2, 3, 6, 7);
                acc[q] = acc[q] + __builtin_shufflevector(ab_odd, cd_odd, 2, 3, 6, 7);
            }
        }
        for (std::size_t q = 0; q < kQuads; ++q) std::memcpy(sums + 4 * q, &acc[q], sizeof(Quad));
        for (std::size_t r = 0; r < count; ++r) {
            double t = sums[r];
            for (std::size_t k = j; k < n; ++k) t += rows[r][k];
            s[r] = t;
        }
    }

    // Exponentials first, then the sums in a loop of their own: with no library call in it,
    // the group's running sums stay in registers as independent chains. Half a group or less
    // runs one chain: each chain waits on its own additions, so a second would only add work.
    static void exp_shifted_sums(const double* const* x, const double* m, double* const* y,
                                 std::size_t n, double* s, std::size_t count) {
        static_assert(kRowGroup == 8);
        for (std::size_t r = 0; r < count; ++r) exp_shifted(x[r], m[r], y[r], n);
        if (count > 4) {
            add_rows<8>(y, count, n, s);
        } else if (count > 0) {
            add_rows<4>(y, count, n, s);
        }
    }

    static void exp_shifted_accumulate(const double* x, const double* m, double* y, double* s,
                                       std::size_t n) {
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            const D e = exp(LD::load(x + i) - LD::load(m + i));
            LD::store(y + i, e);
            LD::store(s + i, LD::load(s + i) + e);
        }
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {}, e[kLanes];
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m[i + k];
            LD::store(e, exp(LD::load(xs)));
            for (std::size_t k = 0; k < rest; ++k) {
                y[i + k] = e[k];
                s[i + k] += e[k];
            }
        }
    }

    static constexpr Kernels kernels(const char* name) {
        return Kernels{map_array<LD, exp>,     map_array<LF, expf>,
                       map_array<LD, sigmoid>, map_array<LF, sigmoidf>,
                       exp_shifted_sum,        exp_shifted_sums,
                       exp_shifted_accumulate, name};
    }
};

}  // namespace tarnwick::core::exact_exp
