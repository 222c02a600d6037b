// The library's exp and expf written once over a set of vector lanes, for the per-level sources
// (kernels_avx2.cpp, kernels_avx512.cpp) to build with their own lanes. Each step is the one
// the library's FMA build performs, in its order, with the multiply-adds it fuses; lanes outside
// the table-driven range take the library's scalar call. Include only from per-level sources:
// everything here is a template over that level's lane type, so no copy is shared between
// levels.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstring>

#include "core/exp/kernels.hpp"
#include "core/exp/tables.hpp"

namespace tarnwick::core::exact_exp {

// L provides: D (kLanes doubles), I (kLanes 64-bit integers), F (2 kLanes floats), and the
// lane operations used below.
template <class L>
struct Algorithm {
    using D = typename L::D;
    using I = typename L::I;
    using F = typename L::F;
    static constexpr std::size_t kLanes = L::kLanes;
    static constexpr std::size_t kFloatLanes = 2 * kLanes;

    // exp on the lanes with 2^-54 <= |x| < 512, where every result is a normal number.
    static D exp_table_driven(D x) {
        const D kd_shifted = L::fmadd(x, L::splat(kExpInvLn2N), L::splat(kExpShift));
        const I ki = L::as_int(kd_shifted);
        const D kd = L::sub(kd_shifted, L::splat(kExpShift));
        D r = L::fmadd(kd, L::splat(kExpNegLn2HiN), x);
        r = L::fmadd(kd, L::splat(kExpNegLn2LoN), r);
        D tail;
        I scale_bits;
        L::lookup_pairs(kExpTable, L::low_bits(ki, kExpN - 1), tail, scale_bits);
        scale_bits = L::add(scale_bits, L::template shift_left<52 - 7>(ki));
        const D c23 = L::fmadd(r, L::splat(kExpC3), L::splat(kExpC2));
        const D tail_r = L::add(r, tail);
        const D r2 = L::mul(r, r);
        const D c45 = L::fmadd(r, L::splat(kExpC5), L::splat(kExpC4));
        const D low = L::fmadd(c23, r2, tail_r);
        const D tmp = L::fmadd(L::mul(r2, r2), c45, low);
        const D scale = L::as_double(scale_bits);
        return L::fmadd(scale, tmp, scale);
    }

    static D exp(D x) {
        const D ax = L::abs(x);
        D y = exp_table_driven(x);
        y = L::select(L::less(ax, L::splat(kExpTiny)), L::add(L::splat(1.0), x), y);
        // Large magnitudes, infinities and NaN: the library's own special cases.
        if (const unsigned rest = L::not_less_mask(ax, L::splat(kExpLarge))) {
            alignas(64) double xs[kLanes], ys[kLanes];
            L::store(xs, x);
            L::store(ys, y);
            for (std::size_t i = 0; i < kLanes; ++i) {
                if (rest >> i & 1u) ys[i] = ::exp(xs[i]);
            }
            y = L::load(ys);
        }
        return y;
    }

    // expf of kLanes arguments widened to double, for |x| < 88, before the final rounding.
    static D expf_table_driven(D xd) {
        const D kd_shifted = L::fmadd(xd, L::splat(kExpfInvLn2N), L::splat(kExpfShift));
        const I ki = L::as_int(kd_shifted);
        const D kd = L::sub(kd_shifted, L::splat(kExpfShift));
        const D r = L::fmsub(xd, L::splat(kExpfInvLn2N), kd);
        const I s_bits = L::add(L::template lookup<kExpfN>(kExpfTable, L::low_bits(ki, kExpfN - 1)),
                                L::template shift_left<52 - 5>(ki));
        const D z = L::fmadd(r, L::splat(kExpfC0), L::splat(kExpfC1));
        const D r2 = L::mul(r, r);
        D y = L::fmadd(r, L::splat(kExpfC2), L::splat(1.0));
        y = L::fmadd(z, r2, y);
        return L::mul(y, L::as_double(s_bits));
    }

    static F expf(F x) {
        F y = L::narrow(expf_table_driven(L::widen_low(x)), expf_table_driven(L::widen_high(x)));
        if (const unsigned rest = L::not_less_mask_f(L::abs_f(x), L::splat_f(kExpfLarge))) {
            alignas(64) float xs[kFloatLanes], ys[kFloatLanes];
            L::store_f(xs, x);
            L::store_f(ys, y);
            for (std::size_t i = 0; i < kFloatLanes; ++i) {
                if (rest >> i & 1u) ys[i] = ::expf(xs[i]);
            }
            y = L::load_f(ys);
        }
        return y;
    }

    static D sigmoid(D x) {
        const D one = L::splat(1.0);
        return L::div(one, L::add(one, exp(L::negate(x))));
    }

    static F sigmoidf(F x) {
        const F one = L::splat_f(1.0f);
        return L::div_f(one, L::add_f(one, expf(L::negate_f(x))));
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

    static void exp_array(const double* x, double* y, std::size_t n) {
        over_vectors<double, kLanes>(
            x, y, n, [](const double* in, double* out) { L::store(out, exp(L::load(in))); });
    }

    static void expf_array(const float* x, float* y, std::size_t n) {
        over_vectors<float, kFloatLanes>(
            x, y, n, [](const float* in, float* out) { L::store_f(out, expf(L::load_f(in))); });
    }

    static void sigmoid_array(const double* x, double* y, std::size_t n) {
        over_vectors<double, kLanes>(
            x, y, n, [](const double* in, double* out) { L::store(out, sigmoid(L::load(in))); });
    }

    static void sigmoidf_array(const float* x, float* y, std::size_t n) {
        over_vectors<float, kFloatLanes>(
            x, y, n, [](const float* in, float* out) { L::store_f(out, sigmoidf(L::load_f(in))); });
    }

    // The sum is one chain in index order, as the scalar loop adds it.
    static double exp_shifted_sum(const double* x, double m, double* y, std::size_t n, double s) {
        const D mv = L::splat(m);
        alignas(64) double e[kLanes];
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            L::store(e, exp(L::sub(L::load(x + i), mv)));
            std::memcpy(y + i, e, sizeof e);
            for (std::size_t k = 0; k < kLanes; ++k) s += e[k];
        }
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {};
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m;
            L::store(e, exp(L::load(xs)));
            for (std::size_t k = 0; k < rest; ++k) {
                y[i + k] = e[k];
                s += e[k];
            }
        }
        return s;
    }

    // y[i] = exp(x[i] - m).
    static void exp_shifted(const double* x, double m, double* y, std::size_t n) {
        const D mv = L::splat(m);
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) L::store(y + i, exp(L::sub(L::load(x + i), mv)));
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {}, e[kLanes];
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m;
            L::store(e, exp(L::load(xs)));
            std::memcpy(y + i, e, rest * sizeof(double));
        }
    }

    // Exponentials first, then the sums in a loop of their own: with no library call in it,
    // the group's running sums stay in registers as independent chains.
    static void exp_shifted_sums(const double* const* x, const double* m, double* const* y,
                                 std::size_t n, double* s, std::size_t count) {
        for (std::size_t r = 0; r < count; ++r) exp_shifted(x[r], m[r], y[r], n);
        if (count == kRowGroup) {
            static_assert(kRowGroup == 4);
            double s0 = s[0], s1 = s[1], s2 = s[2], s3 = s[3];
            const double *y0 = y[0], *y1 = y[1], *y2 = y[2], *y3 = y[3];
            for (std::size_t j = 0; j < n; ++j) {
                s0 += y0[j];
                s1 += y1[j];
                s2 += y2[j];
                s3 += y3[j];
            }
            s[0] = s0;
            s[1] = s1;
            s[2] = s2;
            s[3] = s3;
            return;
        }
        for (std::size_t r = 0; r < count; ++r) {
            for (std::size_t j = 0; j < n; ++j) s[r] += y[r][j];
        }
    }

    static void exp_shifted_accumulate(const double* x, const double* m, double* y, double* s,
                                       std::size_t n) {
        std::size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            const D e = exp(L::sub(L::load(x + i), L::load(m + i)));
            L::store(y + i, e);
            L::store(s + i, L::add(L::load(s + i), e));
        }
        if (const std::size_t rest = n - i) {
            alignas(64) double xs[kLanes] = {}, e[kLanes];
            for (std::size_t k = 0; k < rest; ++k) xs[k] = x[i + k] - m[i + k];
            L::store(e, exp(L::load(xs)));
            for (std::size_t k = 0; k < rest; ++k) {
                y[i + k] = e[k];
                s[i + k] += e[k];
            }
        }
    }

    static constexpr Kernels kernels(const char* name) {
        return Kernels{exp_array,       expf_array,       sigmoid_array,          sigmoidf_array,
                       exp_shifted_sum, exp_shifted_sums, exp_shifted_accumulate, name};
    }
};

}  // namespace tarnwick::core::exact_exp
