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
#include <cstdint>

#include "core/rowwise/kernels.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::rowwise {

// The previous block's rows, normalised by the next block's passes between their additions:
// those wait on their add chains while the divisions, which keep the divider busy, would
// otherwise idle, and the other way round.
struct PendingRows {
    const double* in[kBlockRows];
    double* out[kBlockRows];
    double mean[kBlockRows], sd[kBlockRows];
    bool active = false;
    // Results of kStreamBytes or more are stored around the caches, from rows aligned to a
    // whole vector: no line is read before being overwritten, and the arguments keep the cache.
    bool stream = false;
};

// L: simd::Lanes of one level's Target for double.
template <class L>
struct LayerNorm {
    using V = typename L::V;
    static constexpr std::size_t w = L::kWidth;
    static_assert(kBlockRows % w == 0);
    static constexpr std::size_t kChains = kBlockRows / w;
    // Normalising a block takes kBlockRows / w vector steps per column; two passes share them.
    static constexpr std::size_t kSteps = kChains / 2 > 0 ? kChains / 2 : 1;

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
    // (kBlockRows values per column) and left in `r`, column j + x in r[x]. Backward rows hold
    // column j at their highest address.
    template <bool kForward>
    [[gnu::always_inline]] static void transpose_tile(const double* const* rows, std::size_t j,
                                                      double* tiles, V (&r)[w]) {
        V t[w];
        for (std::size_t k = 0; k < w; ++k) {
            t[k] = L::load(kForward ? rows[k] + j : rows[k] - j - (w - 1));
        }
        L::transpose(t);
        for (std::size_t c = 0; c < w; ++c) r[kForward ? c : w - 1 - c] = t[c];
        for (std::size_t c = 0; c < w; ++c) L::store(tiles + c * kBlockRows, r[c]);
    }

    // (v - mean) / sd of a pending row's values from vector `from` to its end.
    [[gnu::always_inline]] static void normalise(const PendingRows& p, std::size_t r,
                                                 std::size_t from, std::size_t cols) {
        const V mv = L::splat(p.mean[r]), sv = L::splat(p.sd[r]);
        std::size_t j = from * w;
        for (; j + w <= cols; j += w) L::store(p.out[r] + j, (L::load(p.in[r] + j) - mv) / sv);
        for (; j < cols; ++j) p.out[r][j] = (p.in[r][j] - p.mean[r]) / p.sd[r];
    }

    // add(j) for each group of kGroup columns from j, then add_one(j) for each column left,
    // in order, with the pending rows [first, first + kBlockRows / 2) normalised alongside,
    // kSteps vectors per column: a fixed schedule of plain loops. Half the block's rows take
    // (kBlockRows / 2) * (cols / w) / kSteps = cols columns at most, so it always fits.
    template <std::size_t kGroup, class Add, class AddOne>
    [[gnu::always_inline]] static void pass(std::size_t cols, const PendingRows& p,
                                            std::size_t first, Add add, AddOne add_one) {
        constexpr std::size_t kPerGroup = kGroup * kSteps;  // vectors normalised per group
        std::size_t j = 0;
        if (p.active) {
            const std::size_t vectors = cols / w;
            for (std::size_t r = first; r < first + kBlockRows / 2; ++r) {
                const V mv = L::splat(p.mean[r]), sv = L::splat(p.sd[r]);
                const double* in = p.in[r];
                double* out = p.out[r];
                std::size_t v = 0;
                const auto schedule = [&]<bool kStream>() {
                    for (; v + kPerGroup <= vectors; v += kPerGroup, j += kGroup) {
                        add(j);
                        for (std::size_t k = 0; k < kPerGroup; ++k) {
                            const std::size_t at = (v + k) * w;
                            L::template put<kStream>(out + at, (L::load(in + at) - mv) / sv);
                        }
                    }
                };
                if (p.stream && reinterpret_cast<std::uintptr_t>(out) % sizeof(V) == 0)
                    schedule.template operator()<true>();
                else
                    schedule.template operator()<false>();
                normalise(p, r, v, cols);
            }
        }
        for (; j + kGroup <= cols; j += kGroup) add(j);
        for (; j < cols; ++j) add_one(j);
    }

    // Mean and sd of a block's rows, as column_stats computes them, with the running sums
    // held in registers (through memory, each addition would also wait for the store of the
    // one before), while the pending rows are normalised, half in each pass. The first pass
    // turns the rows into columns a tile at a time and adds from the registers, keeping the
    // columns in `scratch` (cols x kBlockRows, column-major) for the second: the transposes
    // fill the time the add chains leave.
    template <bool kForward>
    [[gnu::always_inline]] static void block_stats(const double* const* rows, std::size_t cols,
                                                   double eps, double* scratch, double* mean,
                                                   double* sd, const PendingRows& pending) {
        const double n = static_cast<double>(cols);
        V acc[kChains];
        for (std::size_t c = 0; c < kChains; ++c) acc[c] = L::splat(-0.0);
        const auto column = [&](std::size_t j) {
            for (std::size_t c = 0; c < kChains; ++c) {
                acc[c] = acc[c] + L::load(scratch + j * kBlockRows + c * w);
            }
        };
        pass<w>(
            cols, pending, 0,
            [&](std::size_t j) {
                V t[kChains][w];
                for (std::size_t c = 0; c < kChains; ++c) {
                    transpose_tile<kForward>(rows + c * w, j, scratch + j * kBlockRows + c * w,
                                             t[c]);
                }
                for (std::size_t x = 0; x < w; ++x) {
                    for (std::size_t c = 0; c < kChains; ++c) acc[c] = acc[c] + t[c][x];
                }
            },
            [&](std::size_t j) {
                for (std::size_t r = 0; r < kBlockRows; ++r) {
                    scratch[j * kBlockRows + r] = at(rows[r], j, kForward ? 1 : -1);
                }
                column(j);
            });
        V mv[kChains];
        for (std::size_t c = 0; c < kChains; ++c) {
            mv[c] = acc[c] / L::splat(n);
            acc[c] = L::splat(-0.0);
        }
        const auto deviations = [&](std::size_t j) {
            for (std::size_t c = 0; c < kChains; ++c) {
                const V d = L::load(scratch + j * kBlockRows + c * w) - mv[c];
                acc[c] = acc[c] + d * d;
            }
        };
        pass<1>(cols, pending, kBlockRows / 2, deviations, deviations);
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
                                             double* scratch, PendingRows& pending) {
        const Out2<double>& out = work.out();
        const bool forward = out.col_step > 0;
        const std::size_t cols = out.cols;
        const double* rows[kBlockRows];
        for (std::size_t r = 0; r < kBlockRows; ++r) rows[r] = work.source_row(first + r);
        double mean[kBlockRows], sd[kBlockRows];
        if (forward)
            block_stats<true>(rows, cols, eps, scratch, mean, sd, pending);
        else
            block_stats<false>(rows, cols, eps, scratch, mean, sd, pending);
        const std::ptrdiff_t back = forward ? 0 : static_cast<std::ptrdiff_t>(cols - 1);
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            pending.in[r] = rows[r] - back;
            pending.out[r] = out.row_start(first + r) - back;
            pending.mean[r] = mean[r];
            pending.sd[r] = sd[r];
        }
        pending.active = true;
    }

    // The last block's rows, which no later block's passes normalised.
    static void finish(const PendingRows& pending, std::size_t cols) {
        if (!pending.active) return;
        for (std::size_t r = 0; r < kBlockRows; ++r) normalise(pending, r, 0, cols);
    }

    [[gnu::flatten]] static void by_rows(const RowwiseWork& work, double eps, double* scratch) {
        const Out2<double>& out = work.out();
        std::size_t i = 0;
        if (out.col_step == 1 || out.col_step == -1) {
            PendingRows pending;
            pending.stream = out.rows * out.cols * sizeof(double) >= kStreamBytes;
            for (; i + kBlockRows <= out.rows; i += kBlockRows) {
                block(work, i, eps, scratch, pending);
            }
            finish(pending, out.cols);
            if (pending.stream) L::fence();
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
