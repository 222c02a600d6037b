// Layer normalisation's vector loops, written once over the lanes of simd/ for the per-level
// sources to instantiate. Per row: the mean from a sum in column order starting at -0.0, the
// population variance from a second such sum of squared deviations, sd = sqrt(var + eps), then
// (v - mean) / sd, a true division for each value.
//
// The sums are chains of dependent adds, so the kernels run several rows at once, one row per
// vector lane: each lane still adds its own row's values one at a time in column order.
// Rows stored column-major are already laid out that way; row-major rows go through small
// transposed blocks.
#pragma once

#include <cmath>
#include <cstddef>

#include "core/rowwise/kernels.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::rowwise {

// The normalisation of one block's rows, (v - mean) / sd for each adjacent run of values,
// taken a vector at a time. The next block's sums take these steps between their additions:
// those wait on their add chains while the divider, which the division keeps busy, would
// otherwise idle, and the other way round.
template <class L>
struct PendingRows {
    using V = typename L::V;
    static constexpr std::size_t w = L::kWidth;
    const double* in[kBlockRows];
    double* out[kBlockRows];
    double mean[kBlockRows], sd[kBlockRows];
    std::size_t cols = 0, row = kBlockRows, j = 0;  // row == kBlockRows: nothing pending
    V mv{}, sv{};

    [[gnu::always_inline]] void begin_row() {
        j = 0;
        if (row < kBlockRows) mv = L::splat(mean[row]), sv = L::splat(sd[row]);
    }
    [[gnu::always_inline]] void start(std::size_t n) {
        cols = n;
        row = 0;
        begin_row();
    }
    [[gnu::always_inline]] void step() {
        if (row == kBlockRows) return;
        if (j + w <= cols) {
            L::store(out[row] + j, (L::load(in[row] + j) - mv) / sv);
            j += w;
            return;
        }
        for (; j < cols; ++j) out[row][j] = (in[row][j] - mean[row]) / sd[row];
        ++row;
        begin_row();
    }
    void finish() {
        while (row < kBlockRows) step();
    }
};

// L: simd::Lanes of one level's Target for double.
template <class L>
struct LayerNorm {
    using V = typename L::V;
    static constexpr std::size_t w = L::kWidth;
    static_assert(kBlockRows % w == 0);

    // Mean and sd of rows that lie side by side in memory, from two passes that stream the
    // columns in order with one row per lane (lanes are memory positions within a column).
    static void column_stats(const View2<double>& in, std::size_t rows, double eps, double* mean,
                             double* sd) {
        const std::size_t vec = rows - rows % w;
        const double n = static_cast<double>(in.cols);
        for (std::size_t k = 0; k < rows; ++k) mean[k] = -0.0, sd[k] = -0.0;
        for (std::size_t j = 0; j < in.cols; ++j) {
            const double* p = column_start(in, j);
            for (std::size_t k = 0; k < vec; k += w) {
                L::store(mean + k, L::load(mean + k) + L::load(p + k));
            }
            for (std::size_t k = vec; k < rows; ++k) mean[k] += p[k];
        }
        for (std::size_t k = 0; k < rows; ++k) mean[k] = mean[k] / n;
        for (std::size_t j = 0; j < in.cols; ++j) {
            const double* p = column_start(in, j);
            for (std::size_t k = 0; k < vec; k += w) {
                V d = L::load(p + k) - L::load(mean + k);
                L::store(sd + k, L::load(sd + k) + d * d);
            }
            for (std::size_t k = vec; k < rows; ++k) {
                double d = p[k] - mean[k];
                sd[k] += d * d;
            }
        }
        for (std::size_t k = 0; k < rows; ++k) sd[k] = std::sqrt(sd[k] / n + eps);
    }

    // Columns j.. of w adjacent rows as a w x w tile, stored column by column into `tiles`
    // (kBlockRows values per column). Backward rows hold column j at their highest address.
    template <bool kForward>
    [[gnu::always_inline]] static void transpose_tile(const double* const* rows, std::size_t j,
                                                      double* tiles) {
        V r[w];
        for (std::size_t k = 0; k < w; ++k) {
            r[k] = L::load(kForward ? rows[k] + j : rows[k] - j - (w - 1));
        }
        L::transpose(r);
        for (std::size_t c = 0; c < w; ++c) {
            L::store(tiles + (kForward ? c : w - 1 - c) * kBlockRows, r[c]);
        }
    }

    // A block's rows transposed into `scratch`: cols x kBlockRows, column-major.
    template <bool kForward>
    [[gnu::always_inline]] static void transpose_block(const double* const* rows, std::size_t cols,
                                                       double* scratch) {
        std::size_t j = 0;
        for (; j + w <= cols; j += w) {
            for (std::size_t r = 0; r < kBlockRows; r += w) {
                transpose_tile<kForward>(rows + r, j, scratch + j * kBlockRows + r);
            }
        }
        for (; j < cols; ++j) {
            for (std::size_t r = 0; r < kBlockRows; ++r) {
                scratch[j * kBlockRows + r] = at(rows[r], j, kForward ? 1 : -1);
            }
        }
    }

    // Mean and sd of a block's rows from its transposed tiles (cols x kBlockRows,
    // column-major), as column_stats computes them, with the running sums held in registers
    // (through memory, each addition would also wait for the store of the one before), while
    // `pending` advances.
    [[gnu::always_inline]] static void block_stats(const double* tiles, std::size_t cols,
                                                   double eps, double* mean, double* sd,
                                                   PendingRows<L>& pending) {
        constexpr std::size_t kChains = kBlockRows / w;
        // Normalising a block takes kBlockRows / w vector steps per column; two passes share
        // them.
        constexpr std::size_t kSteps = kChains / 2 > 0 ? kChains / 2 : 1;
        const double n = static_cast<double>(cols);
        V acc[kChains];
        for (std::size_t c = 0; c < kChains; ++c) acc[c] = L::splat(-0.0);
        for (std::size_t j = 0; j < cols; ++j) {
            for (std::size_t c = 0; c < kChains; ++c) {
                acc[c] = acc[c] + L::load(tiles + j * kBlockRows + c * w);
            }
            for (std::size_t k = 0; k < kSteps; ++k) pending.step();
        }
        V mv[kChains];
        for (std::size_t c = 0; c < kChains; ++c) {
            mv[c] = acc[c] / L::splat(n);
            acc[c] = L::splat(-0.0);
        }
        for (std::size_t j = 0; j < cols; ++j) {
            for (std::size_t c = 0; c < kChains; ++c) {
                const V d = L::load(tiles + j * kBlockRows + c * w) - mv[c];
                acc[c] = acc[c] + d * d;
            }
            for (std::size_t k = 0; k < kSteps; ++k) pending.step();
        }
        for (std::size_t c = 0; c < kChains; ++c) {
            L::store(mean + c * w, mv[c]);
            L::store(sd + c * w, L::sqrt(acc[c] / L::splat(n) + L::splat(eps)));
        }
    }

    // kBlockRows rows whose own values are adjacent (|col_step| == 1): transposed into
    // `scratch` so that the row sums run in lanes, while the previous block's rows are
    // normalised; these rows then become the pending ones, normalised straight from the
    // argument.
    [[gnu::always_inline]] static void block(const RowwiseWork& work, std::size_t first, double eps,
                                             double* scratch, PendingRows<L>& pending) {
        const Out2<double>& out = work.out();
        const bool forward = out.col_step > 0;
        const std::size_t cols = out.cols;
        const double* rows[kBlockRows];
        for (std::size_t r = 0; r < kBlockRows; ++r) rows[r] = work.source_row(first + r);
        if (forward)
            transpose_block<true>(rows, cols, scratch);
        else
            transpose_block<false>(rows, cols, scratch);
        double mean[kBlockRows], sd[kBlockRows];
        block_stats(scratch, cols, eps, mean, sd, pending);
        pending.finish();
        const std::ptrdiff_t back = forward ? 0 : static_cast<std::ptrdiff_t>(cols - 1);
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            pending.in[r] = rows[r] - back;
            pending.out[r] = out.row_start(first + r) - back;
            pending.mean[r] = mean[r];
            pending.sd[r] = sd[r];
        }
        pending.start(cols);
    }

    [[gnu::flatten]] static void by_rows(const RowwiseWork& work, double eps, double* scratch) {
        const Out2<double>& out = work.out();
        std::size_t i = 0;
        if (out.col_step == 1 || out.col_step == -1) {
            PendingRows<L> pending;
            for (; i + kBlockRows <= out.rows; i += kBlockRows) {
                block(work, i, eps, scratch, pending);
            }
            pending.finish();
        }
        for (; i < out.rows; ++i) {
            layer_norm_row(work.source_row(i), out.row_start(i), out.cols, out.col_step, eps);
        }
    }

    // Rows side by side in memory: statistics and normalisation all stream the columns in
    // order.
    [[gnu::flatten]] static void by_columns(const View2<double>& in, const Out2<double>& out,
                                            double eps, double* scratch) {
        const std::size_t rows = in.rows, vec = rows - rows % w;
        double* mean = scratch;
        double* sd = scratch + rows;
        column_stats(in, rows, eps, mean, sd);
        for (std::size_t j = 0; j < in.cols; ++j) {
            const double* p = column_start(in, j);
            double* q = column_start(out, j);
            for (std::size_t k = 0; k < vec; k += w) {
                V v = L::load(p + k) - L::load(mean + k);
                L::store(q + k, v / L::load(sd + k));
            }
            for (std::size_t k = vec; k < rows; ++k) q[k] = (p[k] - mean[k]) / sd[k];
        }
    }
};

}  // namespace tarnwick::core::rowwise
