// Softmax's vector loops, written once over the lanes of simd/ for the per-level sources to
// instantiate. Per row: the maximum (NaN skipped), exp(v - max) while summing in column order
// from -0.0, then a true division by the sum. The exponentials, the C library's bits from the
// exact vector kernels, still dominate the cost.
#pragma once

#include <cstddef>
#include <limits>

#include "core/rowwise/kernels.hpp"
#include "core/rowwise/quotient.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::rowwise {

// L: simd::Lanes of one level's Target for double.
template <class L>
struct Softmax {
    using V = typename L::V;
    static constexpr std::size_t w = L::kWidth;
    static constexpr std::size_t kGroup = exact_exp::kRowGroup;

    static const double* lowest(const double* row, std::size_t n, std::ptrdiff_t step) {
        return step < 0 ? row - (n - 1) : row;
    }
    static double* lowest(double* row, std::size_t n, std::ptrdiff_t step) {
        return step < 0 ? row - (n - 1) : row;
    }

    // The maximum does not depend on the order of visits, so an adjacent row is read as memory.
    static double adjacent_max(const double* p, std::size_t n) {
        V m0 = L::negative_infinity(), m1 = m0;
        std::size_t j = 0;
        for (; j + 2 * w <= n; j += 2 * w) {
            m0 = L::keep_max(L::load(p + j), m0);
            m1 = L::keep_max(L::load(p + j + w), m1);
        }
        double m = L::max_of_lanes(L::keep_max(m1, m0));
        for (; j < n; ++j) m = L::keep_max(p[j], m);
        return m;
    }

    static void divide(double* p, std::size_t n, double s) {
        const V sv = L::splat(s);
        std::size_t j = 0;
        if constexpr (ByReciprocal<L>::kAvailable) {
            if (sum_by_reciprocal(s)) {
                // Vectors whose values all lie within the bounds skip the divider.
                const ByReciprocal<L> quotient(s);
                const V least = L::splat(kSoftmaxLeast);
                constexpr unsigned kAll = (1u << w) - 1;
                for (; j + w <= n; j += w) {
                    const V v = L::load(p + j);
                    L::store(p + j, L::not_less_bits(v, least) == kAll ? quotient(v) : v / sv);
                }
            }
        }
        for (; j + w <= n; j += w) L::store(p + j, L::load(p + j) / sv);
        for (; j < n; ++j) p[j] = p[j] / s;
    }

    // The maximum of a row, NaN skipped.
    static double row_max(const double* in, std::size_t n, std::ptrdiff_t step) {
        if (step == 1 || step == -1) return adjacent_max(lowest(in, n, step), n);
        double m = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < n; ++j) m = L::keep_max(at(in, j, step), m);
        return m;
    }

    static void row_divide(double* out, std::size_t n, std::ptrdiff_t step, double s) {
        if (step == 1 || step == -1) return divide(lowest(out, n, step), n, s);
        for (std::size_t j = 0; j < n; ++j) at(out, j, step) = at(out, j, step) / s;
    }

    // Rows one after another, a group at a time: with unit steps the group's exponentials and
    // sums run side by side, so that one row's chain of additions does not wait on itself.
    [[gnu::flatten]] static void by_rows(const RowwiseWork& work, const exact_exp::Kernels& exps) {
        const Out2<double>& out = work.out();
        const std::size_t n = out.cols;
        const std::ptrdiff_t step = out.col_step;
        for (std::size_t i = 0; i < out.rows; i += kGroup) {
            const std::size_t left = out.rows - i;
            const std::size_t count = left < kGroup ? left : kGroup;
            const double* in[kGroup];
            double* row[kGroup];
            double m[kGroup];
            double s[kGroup];
            for (std::size_t r = 0; r < count; ++r) {
                in[r] = work.source_row(i + r);
                row[r] = out.row_start(i + r);
                m[r] = row_max(in[r], n, step);
                s[r] = -0.0;
            }
            if (step == 1) {
                exps.exp_shifted_sums(in, m, row, n, s, count);
            } else {
                for (std::size_t r = 0; r < count; ++r) {
                    s[r] = exp_shifted_row(in[r], row[r], n, step, m[r], exps);
                }
            }
            for (std::size_t r = 0; r < count; ++r) row_divide(row[r], n, step, s[r]);
        }
    }

    // Rows side by side in memory: each pass streams the columns in order, one row per lane
    // (lanes are memory positions within a column), with the running values kept per row.
    [[gnu::flatten]] static void by_columns(const View2<double>& in, const Out2<double>& out,
                                            double* scratch, const exact_exp::Kernels& exps) {
        const std::size_t rows = in.rows, vec = rows - rows % w;
        double* m = scratch;
        double* s = scratch + rows;
        for (std::size_t k = 0; k < rows; ++k) {
            m[k] = -std::numeric_limits<double>::infinity();
            s[k] = -0.0;
        }
        for (std::size_t j = 0; j < in.cols; ++j) {
            const double* p = column_start(in, j);
            for (std::size_t k = 0; k < vec; k += w) {
                L::store(m + k, L::keep_max(L::load(p + k), L::load(m + k)));
            }
            for (std::size_t k = vec; k < rows; ++k) m[k] = L::keep_max(p[k], m[k]);
        }
        for (std::size_t j = 0; j < in.cols; ++j) {
            exps.exp_shifted_accumulate(column_start(in, j), m, column_start(out, j), s, rows);
        }
        for (std::size_t j = 0; j < in.cols; ++j) {
            double* q = column_start(out, j);
            for (std::size_t k = 0; k < vec; k += w) {
                L::store(q + k, L::load(q + k) / L::load(s + k));
            }
            for (std::size_t k = vec; k < rows; ++k) q[k] = q[k] / s[k];
        }
    }
};

}  // namespace tarnwick::core::rowwise
