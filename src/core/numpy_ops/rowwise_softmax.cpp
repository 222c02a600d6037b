// Softmax over each row of the working copy. Per row: the maximum (NaN skipped), exp(v - max)
// in place while summing in column order from -0.0, then a true division by the sum.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/numpy_ops/rowwise.hpp"
#include "core/numpy_ops/rowwise_copy.hpp"
#include "core/numpy_ops/rowwise_lanes.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see rowwise_lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::V4;

// The lowest address of a row whose elements are adjacent in memory.
double* lowest(double* row, std::size_t n, std::ptrdiff_t step) {
    return step < 0 ? row - (n - 1) : row;
}

double& at(double* row, std::size_t j, std::ptrdiff_t step) {
    return row[static_cast<std::ptrdiff_t>(j) * step];
}

// The maximum does not depend on the order of visits, so a contiguous row is read as memory.
double row_max(const double* p, std::size_t n) {
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

// One row, any step; the sum walks the columns in order.
void softmax_row(double* row, std::size_t n, std::ptrdiff_t step) {
    const bool adjacent = step == 1 || step == -1;
    double m = -std::numeric_limits<double>::infinity();
    if (adjacent) {
        m = row_max(lowest(row, n, step), n);
    } else {
        for (std::size_t j = 0; j < n; ++j) m = lanes::keep_max(at(row, j, step), m);
    }
    double s = -0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double e = std::exp(at(row, j, step) - m);
        at(row, j, step) = e;
        s += e;
    }
    if (adjacent) {
        divide(lowest(row, n, step), n, s);
    } else {
        for (std::size_t j = 0; j < n; ++j) at(row, j, step) = at(row, j, step) / s;
    }
}

// 4*K rows that sit side by side in memory (|row_step| == 1), one row per lane: every lane
// runs the row's own sequence of operations, columns in order.
template <std::size_t K>
void softmax_lanes(const Grid& g, std::size_t first) {
    constexpr std::size_t rows = 4 * K;
    double* base = g.row_step > 0 ? g.row(first) : g.row(first + rows - 1);
    const std::ptrdiff_t cs = g.col_step;
    V4 m[K], s[K];
    for (std::size_t k = 0; k < K; ++k) m[k] = lanes::negative_infinity(), s[k] = lanes::splat(-0.0);
    for (std::size_t j = 0; j < g.cols; ++j) {
        double* p = base + static_cast<std::ptrdiff_t>(j) * cs;
        for (std::size_t k = 0; k < K; ++k) m[k] = lanes::keep_max(lanes::load(p + 4 * k), m[k]);
    }
    for (std::size_t j = 0; j < g.cols; ++j) {
        double* p = base + static_cast<std::ptrdiff_t>(j) * cs;
        for (std::size_t k = 0; k < K; ++k) {
            V4 e = lanes::exp(lanes::load(p + 4 * k) - m[k]);
            lanes::store(p + 4 * k, e);
            s[k] += e;
        }
    }
    for (std::size_t j = 0; j < g.cols; ++j) {
        double* p = base + static_cast<std::ptrdiff_t>(j) * cs;
        for (std::size_t k = 0; k < K; ++k) lanes::store(p + 4 * k, lanes::load(p + 4 * k) / s[k]);
    }
}

void softmax_grid(const Grid& g) {
    std::size_t i = 0;
    if (g.row_step == 1 || g.row_step == -1) {
        for (; i + 8 <= g.rows; i += 8) softmax_lanes<2>(g, i);
        for (; i + 4 <= g.rows; i += 4) softmax_lanes<1>(g, i);
    }
    for (; i < g.rows; ++i) softmax_row(g.row(i), g.cols, g.col_step);
}

[[gnu::target("avx2"), gnu::flatten]] void softmax_avx2(const Grid& g) { softmax_grid(g); }
[[gnu::flatten]] void softmax_baseline(const Grid& g) { softmax_grid(g); }

}  // namespace

LaidOutLike softmax_rows(const View2<double>& x) {
    WorkingCopy work(x);
    if (!work.empty()) {
        if (lanes::have_avx2()) softmax_avx2(work.grid());
        else softmax_baseline(work.grid());
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
