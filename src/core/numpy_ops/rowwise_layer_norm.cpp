// Layer normalisation over each row. Per row: the mean from a sum in column order starting at
// -0.0, the population variance from a second such sum of squared deviations,
// sd = sqrt(var + eps), then (v - mean) / sd, a true division for each value.
//
// The sums are chains of dependent adds, so the kernels run several rows at once, one row per
// vector lane: each lane still adds its own row's values one at a time in column order.
// Rows stored column-major are already laid out that way; row-major rows go through small
// transposed blocks.
#include <cmath>
#include <cstdlib>
#include <type_traits>
#include <utility>

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

// Mean and sd of rows that lie side by side in memory, from two passes that stream the columns
// in order with one row per lane (lanes are memory positions within a column). `Rows` is a
// compile-time count for the small blocks of the row-major path.
template <class Rows>
void column_stats(const Grid<const double>& in, Rows rows, double eps, double* mean, double* sd) {
    const std::size_t vec = rows - rows % 4;
    const double n = static_cast<double>(in.cols);
    for (std::size_t k = 0; k < rows; ++k) mean[k] = -0.0, sd[k] = -0.0;
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = in.column_start(j);
        for (std::size_t k = 0; k < vec; k += 4) {
            lanes::store(mean + k, lanes::load(mean + k) + lanes::load(p + k));
        }
        for (std::size_t k = vec; k < rows; ++k) mean[k] += p[k];
    }
    for (std::size_t k = 0; k < rows; ++k) mean[k] = mean[k] / n;
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = in.column_start(j);
        for (std::size_t k = 0; k < vec; k += 4) {
            V4 d = lanes::load(p + k) - lanes::load(mean + k);
            lanes::store(sd + k, lanes::load(sd + k) + d * d);
        }
        for (std::size_t k = vec; k < rows; ++k) {
            double d = p[k] - mean[k];
            sd[k] += d * d;
        }
    }
    for (std::size_t k = 0; k < rows; ++k) sd[k] = std::sqrt(sd[k] / n + eps);
}

// (v - mean) / sd from `in` to `out`, both adjacent runs of n values; any order will do.
void normalise(const double* in, double* out, std::size_t n, double mean, double sd) {
    const V4 mv = lanes::splat(mean), sv = lanes::splat(sd);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) lanes::store(out + j, (lanes::load(in + j) - mv) / sv);
    for (; j < n; ++j) out[j] = (in[j] - mean) / sd;
}

constexpr std::size_t kBlockRows = 8;
using BlockRows = std::integral_constant<std::size_t, kBlockRows>;

// Columns j..j+3 of four adjacent rows, stored into `tiles` (8 values per column) at lanes
// `half`..`half`+3. Backward rows hold column j at the highest address of the four.
template <bool kForward>
void transpose_tile(const double* const* rows, std::size_t j, double* tiles) {
    auto load = [&](std::size_t r) {
        return lanes::load(kForward ? rows[r] + j : rows[r] - j - 3);
    };
    V4 a = load(0), b = load(1), c = load(2), d = load(3);
    lanes::transpose(a, b, c, d);
    if (!kForward) std::swap(a, d), std::swap(b, c);
    lanes::store(tiles, a);
    lanes::store(tiles + kBlockRows, b);
    lanes::store(tiles + 2 * kBlockRows, c);
    lanes::store(tiles + 3 * kBlockRows, d);
}

template <bool kForward>
void transpose_block(const double* const* rows, std::size_t cols, double* scratch) {
    const std::ptrdiff_t step = kForward ? 1 : -1;
    std::size_t j = 0;
    for (; j + 4 <= cols; j += 4) {
        transpose_tile<kForward>(rows, j, scratch + j * kBlockRows);
        transpose_tile<kForward>(rows + 4, j, scratch + j * kBlockRows + 4);
    }
    for (; j < cols; ++j) {
        for (std::size_t r = 0; r < kBlockRows; ++r) scratch[j * kBlockRows + r] = at(rows[r], j, step);
    }
}

// Eight rows whose own values are adjacent (|col_step| == 1): 4x4 tiles are transposed into
// `scratch` (cols x 8, column-major) so that the row sums run in lanes, then each row is
// normalised straight from the argument.
void layer_norm_block(const RowwiseWork& work, std::size_t first, double eps, double* scratch) {
    const Grid<double>& out = work.out();
    const bool forward = out.col_step > 0;
    const std::size_t cols = out.cols;
    const double* rows[kBlockRows];
    for (std::size_t r = 0; r < kBlockRows; ++r) rows[r] = work.source_row(first + r);
    if (forward) transpose_block<true>(rows, cols, scratch);
    else transpose_block<false>(rows, cols, scratch);
    double mean[kBlockRows], sd[kBlockRows];
    Grid<const double> tiles{scratch, kBlockRows, cols, 1, static_cast<std::ptrdiff_t>(kBlockRows)};
    column_stats(tiles, BlockRows{}, eps, mean, sd);
    const std::ptrdiff_t back = forward ? 0 : static_cast<std::ptrdiff_t>(cols - 1);
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        normalise(rows[r] - back, out.row(first + r) - back, cols, mean[r], sd[r]);
    }
}

// One row, any step.
void layer_norm_row(const double* in, double* out, std::size_t cols, std::ptrdiff_t step,
                    double n, double eps) {
    double total = -0.0;
    for (std::size_t j = 0; j < cols; ++j) total += at(in, j, step);
    const double mean = total / n;
    double squares = -0.0;
    for (std::size_t j = 0; j < cols; ++j) {
        double d = at(in, j, step) - mean;
        squares += d * d;
    }
    const double sd = std::sqrt(squares / n + eps);
    for (std::size_t j = 0; j < cols; ++j) at(out, j, step) = (at(in, j, step) - mean) / sd;
}

void layer_norm_by_rows(const RowwiseWork& work, double eps, double* scratch) {
    const Grid<double>& out = work.out();
    std::size_t i = 0;
    if (out.col_step == 1 || out.col_step == -1) {
        for (; i + kBlockRows <= out.rows; i += kBlockRows) layer_norm_block(work, i, eps, scratch);
    }
    const double n = static_cast<double>(out.cols);
    for (; i < out.rows; ++i) {
        layer_norm_row(work.source_row(i), out.row(i), out.cols, out.col_step, n, eps);
    }
}

// Rows side by side in memory: statistics and normalisation all stream the columns in order.
void layer_norm_by_columns(const Grid<const double>& in, const Grid<double>& out, double eps,
                           double* scratch) {
    const std::size_t rows = in.rows, vec = rows - rows % 4;
    double* mean = scratch;
    double* sd = scratch + rows;
    column_stats(in, rows, eps, mean, sd);
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = in.column_start(j);
        double* q = out.column_start(j);
        for (std::size_t k = 0; k < vec; k += 4) {
            lanes::store(q + k, (lanes::load(p + k) - lanes::load(mean + k)) / lanes::load(sd + k));
        }
        for (std::size_t k = vec; k < rows; ++k) q[k] = (p[k] - mean[k]) / sd[k];
    }
}

[[gnu::target("avx2"), gnu::flatten]] void layer_norm_by_rows_avx2(const RowwiseWork& work,
                                                                   double eps, double* scratch) {
    layer_norm_by_rows(work, eps, scratch);
}
[[gnu::flatten]] void layer_norm_by_rows_baseline(const RowwiseWork& work, double eps,
                                                  double* scratch) {
    layer_norm_by_rows(work, eps, scratch);
}
[[gnu::target("avx2"), gnu::flatten]] void layer_norm_by_columns_avx2(
    const Grid<const double>& in, const Grid<double>& out, double eps, double* scratch) {
    layer_norm_by_columns(in, out, eps, scratch);
}
[[gnu::flatten]] void layer_norm_by_columns_baseline(const Grid<const double>& in,
                                                     const Grid<double>& out, double eps,
                                                     double* scratch) {
    layer_norm_by_columns(in, out, eps, scratch);
}

}  // namespace

LaidOutLike layer_norm_rows(const View2<double>& x, double eps) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    if (work.by_columns()) {
        Buffer<double> scratch(2 * work.out().rows);  // mean and sd of each row
        if (lanes::have_avx2()) {
            layer_norm_by_columns_avx2(work.source(), work.out(), eps, scratch.data());
        } else {
            layer_norm_by_columns_baseline(work.source(), work.out(), eps, scratch.data());
        }
    } else {
        // A block's rows transposed, when there are enough rows to fill a block.
        std::size_t tiles = work.out().rows >= kBlockRows ? kBlockRows * work.out().cols : 0;
        Buffer<double> scratch(tiles);
        if (lanes::have_avx2()) layer_norm_by_rows_avx2(work, eps, scratch.data());
        else layer_norm_by_rows_baseline(work, eps, scratch.data());
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
