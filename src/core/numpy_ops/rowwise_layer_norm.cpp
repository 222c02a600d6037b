// Layer normalisation over each row of the working copy. Per row: the mean from a sum in
// column order starting at -0.0, the population variance from a second such sum of squared
// deviations, sd = sqrt(var + eps), then (v - mean) / sd in place, a true division each.
//
// The sums are chains of dependent adds, so the kernels run several rows at once, one row per
// vector lane: each lane still adds its own row's values one at a time in column order.
#include <cmath>
#include <cstdlib>

#include "core/numpy_ops/rowwise.hpp"
#include "core/numpy_ops/rowwise_copy.hpp"
#include "core/numpy_ops/rowwise_lanes.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see rowwise_lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::V4;

double& at(double* row, std::size_t j, std::ptrdiff_t step) {
    return row[static_cast<std::ptrdiff_t>(j) * step];
}

struct Stats {
    V4 mean;
    V4 sd;
};

// Mean and sd of each lane from the two column-order passes; `columns(visit)` feeds the
// lanes' values column by column.
template <std::size_t K, class Columns>
void lane_stats(Columns&& columns, double n, double eps, Stats (&out)[K]) {
    const V4 nv = lanes::splat(n);
    V4 acc[K];
    for (auto& a : acc) a = lanes::splat(-0.0);
    columns([&](std::size_t k, const V4& v) { acc[k] += v; });
    for (std::size_t k = 0; k < K; ++k) out[k].mean = acc[k] / nv, acc[k] = lanes::splat(-0.0);
    columns([&](std::size_t k, const V4& v) {
        V4 d = v - out[k].mean;
        acc[k] += d * d;
    });
    for (std::size_t k = 0; k < K; ++k) out[k].sd = lanes::sqrt(acc[k] / nv + lanes::splat(eps));
}

// (v - mean) / sd over a row whose elements are adjacent; the order does not matter here.
void normalise(double* p, std::size_t n, double mean, double sd) {
    const V4 mv = lanes::splat(mean), sv = lanes::splat(sd);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) lanes::store(p + j, (lanes::load(p + j) - mv) / sv);
    for (; j < n; ++j) p[j] = (p[j] - mean) / sd;
}

// 4*K rows side by side in memory (|row_step| == 1): lanes are rows, read column by column.
template <std::size_t K>
void layer_norm_lanes(const Grid& g, std::size_t first, double n, double eps) {
    double* base = g.row_step > 0 ? g.row(first) : g.row(first + 4 * K - 1);
    auto column = [&](std::size_t j) { return base + static_cast<std::ptrdiff_t>(j) * g.col_step; };
    auto columns = [&](auto&& visit) {
        for (std::size_t j = 0; j < g.cols; ++j) {
            double* p = column(j);
            for (std::size_t k = 0; k < K; ++k) visit(k, lanes::load(p + 4 * k));
        }
    };
    Stats stats[K];
    lane_stats<K>(columns, n, eps, stats);
    for (std::size_t j = 0; j < g.cols; ++j) {
        double* p = column(j);
        for (std::size_t k = 0; k < K; ++k) {
            lanes::store(p + 4 * k, (lanes::load(p + 4 * k) - stats[k].mean) / stats[k].sd);
        }
    }
}

// 4*K rows whose own elements are adjacent (|col_step| == 1): 4x4 blocks are transposed so
// that lanes are rows again. With col_step == -1 memory runs against column order, so each
// block's columns are visited last to first.
template <std::size_t K>
void layer_norm_blocks(const Grid& g, std::size_t first, double n, double eps) {
    const std::ptrdiff_t step = g.col_step;
    double* rows[4 * K];
    for (std::size_t r = 0; r < 4 * K; ++r) rows[r] = g.row(first + r);
    auto columns = [&](auto&& visit) {
        std::size_t j = 0;
        for (; j + 4 <= g.cols; j += 4) {
            V4 c[K][4];
            for (std::size_t k = 0; k < K; ++k) {
                for (std::size_t r = 0; r < 4; ++r) {
                    double* p = rows[4 * k + r];
                    c[k][r] = lanes::load(step > 0 ? p + j : p - j - 3);
                }
                lanes::transpose(c[k][0], c[k][1], c[k][2], c[k][3]);
            }
            for (std::size_t col = 0; col < 4; ++col) {
                for (std::size_t k = 0; k < K; ++k) visit(k, c[k][step > 0 ? col : 3 - col]);
            }
        }
        for (; j < g.cols; ++j) {
            for (std::size_t k = 0; k < K; ++k) {
                double* const* r = rows + 4 * k;
                visit(k, V4{at(r[0], j, step), at(r[1], j, step), at(r[2], j, step),
                            at(r[3], j, step)});
            }
        }
    };
    Stats stats[K];
    lane_stats<K>(columns, n, eps, stats);
    for (std::size_t r = 0; r < 4 * K; ++r) {
        double* low = step > 0 ? rows[r] : rows[r] - (g.cols - 1);
        normalise(low, g.cols, stats[r / 4].mean[r % 4], stats[r / 4].sd[r % 4]);
    }
}

// One row, any step.
void layer_norm_row(double* row, std::size_t cols, std::ptrdiff_t step, double n, double eps) {
    double total = -0.0;
    for (std::size_t j = 0; j < cols; ++j) total += at(row, j, step);
    const double mean = total / n;
    double squares = -0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        double d = at(row, j, step) - mean;
        squares += d * d;
    }
    const double sd = std::sqrt(squares / n + eps);
    for (std::size_t j = 0; j < cols; ++j) at(row, j, step) = (at(row, j, step) - mean) / sd;
}

void layer_norm_grid(const Grid& g, double eps) {
    const double n = static_cast<double>(g.cols);
    std::size_t i = 0;
    if (g.row_step == 1 || g.row_step == -1) {
        for (; i + 8 <= g.rows; i += 8) layer_norm_lanes<2>(g, i, n, eps);
        for (; i + 4 <= g.rows; i += 4) layer_norm_lanes<1>(g, i, n, eps);
    } else if (g.col_step == 1 || g.col_step == -1) {
        for (; i + 8 <= g.rows; i += 8) layer_norm_blocks<2>(g, i, n, eps);
        for (; i + 4 <= g.rows; i += 4) layer_norm_blocks<1>(g, i, n, eps);
    }
    for (; i < g.rows; ++i) layer_norm_row(g.row(i), g.cols, g.col_step, n, eps);
}

[[gnu::target("avx2"), gnu::flatten]] void layer_norm_avx2(const Grid& g, double eps) {
    layer_norm_grid(g, eps);
}
[[gnu::flatten]] void layer_norm_baseline(const Grid& g, double eps) { layer_norm_grid(g, eps); }

}  // namespace

LaidOutLike layer_norm_rows(const View2<double>& x, double eps) {
    WorkingCopy work(x);
    if (!work.empty()) {
        if (lanes::have_avx2()) layer_norm_avx2(work.grid(), eps);
        else layer_norm_baseline(work.grid(), eps);
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
