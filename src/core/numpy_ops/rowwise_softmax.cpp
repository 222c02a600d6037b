// Softmax over each row. Per row: the maximum (NaN skipped), exp(v - max) while summing in
// column order from -0.0, then a true division by the sum.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/numpy_ops/rowwise.hpp"
#include "core/numpy_ops/rowwise_lanes.hpp"
#include "core/numpy_ops/rowwise_work.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see rowwise_lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::V4;

template <class T>
T& at(T* row, std::size_t j, std::ptrdiff_t step) {
    return row[static_cast<std::ptrdiff_t>(j) * step];
}

template <class T>
T* lowest(T* row, std::size_t n, std::ptrdiff_t step) {
    return step < 0 ? row - (n - 1) : row;
}

// The maximum does not depend on the order of visits, so an adjacent row is read as memory.
double adjacent_max(const double* p, std::size_t n) {
    V4 m0 = lanes::negative_infinity(), m1 = m0;
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        m0 = lanes::keep_max(lanes::load(p + j), m0);
        m1 = lanes::keep_max(lanes::load(p + j + 4), m1);
    }
    m0 = lanes::keep_max(m1, m0);
    double m = lanes::keep_max(m0[0], lanes::keep_max(m0[1], lanes::keep_max(m0[2], m0[3])));
    for (; j < n; ++j) m = lanes::keep_max(p[j], m);
    return m;
}

void divide(double* p, std::size_t n, double s) {
    const V4 sv = lanes::splat(s);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) lanes::store(p + j, lanes::load(p + j) / sv);
    for (; j < n; ++j) p[j] = p[j] / s;
}

// One row, read from `in` and written to `out` with the same step.
void softmax_row(const double* in, double* out, std::size_t n, std::ptrdiff_t step) {
    const bool adjacent = step == 1 || step == -1;
    double m = -std::numeric_limits<double>::infinity();
    if (adjacent) {
        m = adjacent_max(lowest(in, n, step), n);
    } else {
        for (std::size_t j = 0; j < n; ++j) m = lanes::keep_max(at(in, j, step), m);
    }
    double s = -0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double e = std::exp(at(in, j, step) - m);
        at(out, j, step) = e;
        s += e;
    }
    if (adjacent) {
        divide(lowest(out, n, step), n, s);
    } else {
        for (std::size_t j = 0; j < n; ++j) at(out, j, step) = at(out, j, step) / s;
    }
}

// Rows side by side in memory: each pass streams the columns in order, one row per lane
// (lanes are memory positions within a column), with the running values kept per row.
void softmax_columns(const Grid<const double>& in, const Grid<double>& out, double* scratch) {
    const std::size_t rows = in.rows;
    double* m = scratch;
    double* s = scratch + rows;
    std::size_t vec = rows - rows % 4;
    for (std::size_t k = 0; k < rows; ++k) m[k] = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < rows; ++k) s[k] = -0.0;
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = in.column_start(j);
        for (std::size_t k = 0; k < vec; k += 4) {
            lanes::store(m + k, lanes::keep_max(lanes::load(p + k), lanes::load(m + k)));
        }
        for (std::size_t k = vec; k < rows; ++k) m[k] = lanes::keep_max(p[k], m[k]);
    }
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = in.column_start(j);
        double* q = out.column_start(j);
        for (std::size_t k = 0; k < rows; ++k) {
            double e = std::exp(p[k] - m[k]);
            q[k] = e;
            s[k] += e;
        }
    }
    for (std::size_t j = 0; j < in.cols; ++j) {
        double* q = out.column_start(j);
        for (std::size_t k = 0; k < vec; k += 4) {
            lanes::store(q + k, lanes::load(q + k) / lanes::load(s + k));
        }
        for (std::size_t k = vec; k < rows; ++k) q[k] = q[k] / s[k];
    }
}

void softmax_rows_of(const RowwiseWork& work) {
    const Grid<double>& out = work.out();
    for (std::size_t i = 0; i < out.rows; ++i) {
        softmax_row(work.source_row(i), out.row(i), out.cols, out.col_step);
    }
}

[[gnu::target("avx2"), gnu::flatten]] void softmax_rows_avx2(const RowwiseWork& work) {
    softmax_rows_of(work);
}
[[gnu::flatten]] void softmax_rows_baseline(const RowwiseWork& work) { softmax_rows_of(work); }

[[gnu::target("avx2"), gnu::flatten]] void softmax_columns_avx2(const Grid<const double>& in,
                                                                const Grid<double>& out,
                                                                double* scratch) {
    softmax_columns(in, out, scratch);
}
[[gnu::flatten]] void softmax_columns_baseline(const Grid<const double>& in,
                                               const Grid<double>& out, double* scratch) {
    softmax_columns(in, out, scratch);
}

}  // namespace

LaidOutLike softmax_rows(const View2<double>& x) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    if (work.by_columns()) {
        Buffer<double> scratch(2 * work.out().rows);  // running maximum and sum of each row
        if (lanes::have_avx2()) softmax_columns_avx2(work.source(), work.out(), scratch.data());
        else softmax_columns_baseline(work.source(), work.out(), scratch.data());
    } else if (lanes::have_avx2()) {
        softmax_rows_avx2(work);
    } else {
        softmax_rows_baseline(work);
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
