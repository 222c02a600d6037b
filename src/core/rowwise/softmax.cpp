// Softmax over each row. Per row: the maximum (NaN skipped), exp(v - max) while summing in
// column order from -0.0, then a true division by the sum. The exponentials, the C library's
// bits from the exact vector kernels, still dominate the cost.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/exp/kernels.hpp"
#include "core/rowwise/lanes.hpp"
#include "core/rowwise/rowwise.hpp"
#include "core/rowwise/work.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see lanes.hpp

namespace tarnwick::core {

namespace {

using exact_exp::Kernels;
using lanes::kWidth;

// Values of a strided row gathered at a time for the vector exponentials.
constexpr std::size_t kGatherBlock = 256;

template <class T>
T* lowest(T* row, std::size_t n, std::ptrdiff_t step) {
    return step < 0 ? row - (n - 1) : row;
}

// The maximum does not depend on the order of visits, so an adjacent row is read as memory.
template <class V>
double adjacent_max(const double* p, std::size_t n) {
    constexpr std::size_t w = kWidth<V>;
    V m0 = lanes::negative_infinity<V>(), m1 = m0;
    std::size_t j = 0;
    for (; j + 2 * w <= n; j += 2 * w) {
        m0 = lanes::keep_max(lanes::load<V>(p + j), m0);
        m1 = lanes::keep_max(lanes::load<V>(p + j + w), m1);
    }
    double m = lanes::max_of_lanes(lanes::keep_max(m1, m0));
    for (; j < n; ++j) m = lanes::keep_max(p[j], m);
    return m;
}

template <class V>
void divide(double* p, std::size_t n, double s) {
    constexpr std::size_t w = kWidth<V>;
    const V sv = lanes::splat<V>(s);
    std::size_t j = 0;
    for (; j + w <= n; j += w) lanes::store(p + j, lanes::load<V>(p + j) / sv);
    for (; j < n; ++j) p[j] = p[j] / s;
}

// exp(v - m) of each value into `out`, whose row has the same step; returns their sum in
// column order from -0.0.
double exp_shifted_row(const double* in, double* out, std::size_t n, std::ptrdiff_t step, double m,
                       const Kernels& exps) {
    if (step == 1) return exps.exp_shifted_sum(in, m, out, n, -0.0);
    double s = -0.0;
    double block[kGatherBlock];
    for (std::size_t j = 0; j < n; j += kGatherBlock) {
        const std::size_t len = n - j < kGatherBlock ? n - j : kGatherBlock;
        for (std::size_t b = 0; b < len; ++b) block[b] = at(in, j + b, step);
        s = exps.exp_shifted_sum(block, m, block, len, s);
        for (std::size_t b = 0; b < len; ++b) at(out, j + b, step) = block[b];
    }
    return s;
}

// The maximum of a row, NaN skipped.
template <class V>
double row_max(const double* in, std::size_t n, std::ptrdiff_t step) {
    if (step == 1 || step == -1) return adjacent_max<V>(lowest(in, n, step), n);
    double m = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < n; ++j) m = lanes::keep_max(at(in, j, step), m);
    return m;
}

template <class V>
void row_divide(double* out, std::size_t n, std::ptrdiff_t step, double s) {
    if (step == 1 || step == -1) return divide<V>(lowest(out, n, step), n, s);
    for (std::size_t j = 0; j < n; ++j) at(out, j, step) = at(out, j, step) / s;
}

// Rows one after another, a group at a time: with unit steps the group's exponentials and
// sums run side by side, so that one row's chain of additions does not wait on itself.
struct ByRows {
    template <class V>
    void operator()(const RowwiseWork& work, const Kernels& exps) const {
        const Out2<double>& out = work.out();
        const std::size_t n = out.cols;
        const std::ptrdiff_t step = out.col_step;
        for (std::size_t i = 0; i < out.rows; i += exact_exp::kRowGroup) {
            const std::size_t left = out.rows - i;
            const std::size_t count = left < exact_exp::kRowGroup ? left : exact_exp::kRowGroup;
            const double* in[exact_exp::kRowGroup];
            double* row[exact_exp::kRowGroup];
            double m[exact_exp::kRowGroup];
            double s[exact_exp::kRowGroup];
            for (std::size_t r = 0; r < count; ++r) {
                in[r] = work.source_row(i + r);
                row[r] = out.row_start(i + r);
                m[r] = row_max<V>(in[r], n, step);
                s[r] = -0.0;
            }
            if (step == 1) {
                exps.exp_shifted_sums(in, m, row, n, s, count);
            } else {
                for (std::size_t r = 0; r < count; ++r) {
                    s[r] = exp_shifted_row(in[r], row[r], n, step, m[r], exps);
                }
            }
            for (std::size_t r = 0; r < count; ++r) row_divide<V>(row[r], n, step, s[r]);
        }
    }
};

// Rows side by side in memory: each pass streams the columns in order, one row per lane
// (lanes are memory positions within a column), with the running values kept per row.
struct ByColumns {
    template <class V>
    void operator()(const View2<double>& in, const Out2<double>& out, double* scratch,
                    const Kernels& exps) const {
        constexpr std::size_t w = kWidth<V>;
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
                lanes::store(m + k, lanes::keep_max(lanes::load<V>(p + k), lanes::load<V>(m + k)));
            }
            for (std::size_t k = vec; k < rows; ++k) m[k] = lanes::keep_max(p[k], m[k]);
        }
        for (std::size_t j = 0; j < in.cols; ++j) {
            exps.exp_shifted_accumulate(column_start(in, j), m, column_start(out, j), s, rows);
        }
        for (std::size_t j = 0; j < in.cols; ++j) {
            double* q = column_start(out, j);
            for (std::size_t k = 0; k < vec; k += w) {
                lanes::store(q + k, lanes::load<V>(q + k) / lanes::load<V>(s + k));
            }
            for (std::size_t k = vec; k < rows; ++k) q[k] = q[k] / s[k];
        }
    }
};

}  // namespace

Strided<double, 2> softmax_rows(const View2<double>& x) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    const Kernels& exps = exact_exp::kernels();
    if (work.by_columns()) {
        Buffer<double> scratch(2 * work.out().rows);  // running maximum and sum of each row
        View2<double> in = work.source();
        double* running = scratch.data();
        lanes::run<ByColumns>(in, work.out(), running, exps);
    } else {
        lanes::run<ByRows>(work, exps);
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
