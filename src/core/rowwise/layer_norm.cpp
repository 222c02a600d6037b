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

#include "core/rowwise/lanes.hpp"
#include "core/rowwise/rowwise.hpp"
#include "core/rowwise/work.hpp"

#pragma GCC diagnostic ignored "-Wpsabi"  // see lanes.hpp

namespace tarnwick::core {

namespace {

using lanes::kWidth;

// Mean and sd of rows that lie side by side in memory, from two passes that stream the columns
// in order with one row per lane (lanes are memory positions within a column).
template <class V>
[[gnu::always_inline]] inline void column_stats(const View2<double>& in, std::size_t rows,
                                                double eps, double* mean, double* sd) {
    constexpr std::size_t w = kWidth<V>;
    const std::size_t vec = rows - rows % w;
    const double n = static_cast<double>(in.cols);
    for (std::size_t k = 0; k < rows; ++k) mean[k] = -0.0, sd[k] = -0.0;
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = column_start(in, j);
        for (std::size_t k = 0; k < vec; k += w) {
            lanes::store(mean + k, lanes::load<V>(mean + k) + lanes::load<V>(p + k));
        }
        for (std::size_t k = vec; k < rows; ++k) mean[k] += p[k];
    }
    for (std::size_t k = 0; k < rows; ++k) mean[k] = mean[k] / n;
    for (std::size_t j = 0; j < in.cols; ++j) {
        const double* p = column_start(in, j);
        for (std::size_t k = 0; k < vec; k += w) {
            V d = lanes::load<V>(p + k) - lanes::load<V>(mean + k);
            lanes::store(sd + k, lanes::load<V>(sd + k) + d * d);
        }
        for (std::size_t k = vec; k < rows; ++k) {
            double d = p[k] - mean[k];
            sd[k] += d * d;
        }
    }
    for (std::size_t k = 0; k < rows; ++k) sd[k] = std::sqrt(sd[k] / n + eps);
}

constexpr std::size_t kBlockRows = 8;

// Columns j.. of w adjacent rows as a w x w tile, stored column by column into `tiles`
// (kBlockRows values per column). Backward rows hold column j at their highest address.
// Named vectors rather than an array keep the tile in registers.
template <class V, bool kForward>
[[gnu::always_inline]] inline void transpose_tile(const double* const* rows, std::size_t j,
                                                  double* tiles) {
    constexpr std::size_t w = kWidth<V>;
    auto load = [&](std::size_t r) {
        return lanes::load<V>(kForward ? rows[r] + j : rows[r] - j - (w - 1));
    };
    auto put = [&](std::size_t c, const V& v) {
        lanes::store(tiles + (kForward ? c : w - 1 - c) * kBlockRows, v);
    };
    if constexpr (w == 4) {
        V a = load(0), b = load(1), c = load(2), d = load(3);
        lanes::transpose(a, b, c, d);
        put(0, a), put(1, b), put(2, c), put(3, d);
    } else {
        V a = load(0), b = load(1);
        lanes::transpose(a, b);
        put(0, a), put(1, b);
    }
}

// A block's rows transposed into `scratch`: cols x kBlockRows, column-major.
template <class V, bool kForward>
[[gnu::always_inline]] inline void transpose_block(const double* const* rows, std::size_t cols,
                                                   double* scratch) {
    constexpr std::size_t w = kWidth<V>;
    std::size_t j = 0;
    for (; j + w <= cols; j += w) {
        for (std::size_t r = 0; r < kBlockRows; r += w) {
            transpose_tile<V, kForward>(rows + r, j, scratch + j * kBlockRows + r);
        }
    }
    for (; j < cols; ++j) {
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            scratch[j * kBlockRows + r] = at(rows[r], j, kForward ? 1 : -1);
        }
    }
}

// The normalisation of one block's rows, (v - mean) / sd for each adjacent run of values,
// taken a vector at a time. The next block's sums take these steps between their additions:
// those wait on their add chains while the divider, which the division keeps busy, would
// otherwise idle, and the other way round.
template <class V>
struct PendingRows {
    static constexpr std::size_t w = kWidth<V>;
    const double* in[kBlockRows];
    double* out[kBlockRows];
    double mean[kBlockRows], sd[kBlockRows];
    std::size_t cols = 0, row = kBlockRows, j = 0;  // row == kBlockRows: nothing pending
    V mv{}, sv{};

    [[gnu::always_inline]] void begin_row() {
        j = 0;
        if (row < kBlockRows) mv = lanes::splat<V>(mean[row]), sv = lanes::splat<V>(sd[row]);
    }
    [[gnu::always_inline]] void start(std::size_t n) {
        cols = n;
        row = 0;
        begin_row();
    }
    [[gnu::always_inline]] void step() {
        if (row == kBlockRows) return;
        if (j + w <= cols) {
            lanes::store(out[row] + j, (lanes::load<V>(in[row] + j) - mv) / sv);
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

// Mean and sd of a block's rows from its transposed tiles (cols x kBlockRows, column-major),
// as column_stats computes them, with the running sums held in registers (through memory,
// each addition would also wait for the store of the one before), while `pending` advances.
template <class V>
[[gnu::always_inline]] inline void block_stats(const double* tiles, std::size_t cols, double eps,
                                               double* mean, double* sd, PendingRows<V>& pending) {
    constexpr std::size_t w = kWidth<V>, kChains = kBlockRows / w;
    // Normalising a block takes kBlockRows / w vector steps per column; two passes share them.
    constexpr std::size_t kSteps = kChains / 2 > 0 ? kChains / 2 : 1;
    const double n = static_cast<double>(cols);
    V acc[kChains];
    for (std::size_t c = 0; c < kChains; ++c) acc[c] = lanes::splat<V>(-0.0);
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t c = 0; c < kChains; ++c) {
            acc[c] = acc[c] + lanes::load<V>(tiles + j * kBlockRows + c * w);
        }
        for (std::size_t k = 0; k < kSteps; ++k) pending.step();
    }
    V mv[kChains];
    for (std::size_t c = 0; c < kChains; ++c) {
        mv[c] = acc[c] / lanes::splat<V>(n);
        acc[c] = lanes::splat<V>(-0.0);
    }
    for (std::size_t j = 0; j < cols; ++j) {
        for (std::size_t c = 0; c < kChains; ++c) {
            const V d = lanes::load<V>(tiles + j * kBlockRows + c * w) - mv[c];
            acc[c] = acc[c] + d * d;
        }
        for (std::size_t k = 0; k < kSteps; ++k) pending.step();
    }
    for (std::size_t c = 0; c < kChains; ++c) {
        lanes::store(mean + c * w, mv[c]);
        lanes::store(sd + c * w, lanes::sqrt(acc[c] / lanes::splat<V>(n) + lanes::splat<V>(eps)));
    }
}

// kBlockRows rows whose own values are adjacent (|col_step| == 1): transposed into `scratch`
// so that the row sums run in lanes, while the previous block's rows are normalised; these
// rows then become the pending ones, normalised straight from the argument.
template <class V>
[[gnu::always_inline]] inline void layer_norm_block(const RowwiseWork& work, std::size_t first,
                                                    double eps, double* scratch,
                                                    PendingRows<V>& pending) {
    const Out2<double>& out = work.out();
    const bool forward = out.col_step > 0;
    const std::size_t cols = out.cols;
    const double* rows[kBlockRows];
    for (std::size_t r = 0; r < kBlockRows; ++r) rows[r] = work.source_row(first + r);
    if (forward)
        transpose_block<V, true>(rows, cols, scratch);
    else
        transpose_block<V, false>(rows, cols, scratch);
    double mean[kBlockRows], sd[kBlockRows];
    block_stats<V>(scratch, cols, eps, mean, sd, pending);
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

// One row, any step.
void layer_norm_row(const double* in, double* out, std::size_t cols, std::ptrdiff_t step,
                    double eps) {
    const double n = static_cast<double>(cols);
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

struct ByRows {
    template <class V>
    void operator()(const RowwiseWork& work, const double& eps, double* const& scratch) const {
        const Out2<double>& out = work.out();
        std::size_t i = 0;
        if (out.col_step == 1 || out.col_step == -1) {
            PendingRows<V> pending;
            for (; i + kBlockRows <= out.rows; i += kBlockRows) {
                layer_norm_block<V>(work, i, eps, scratch, pending);
            }
            pending.finish();
        }
        for (; i < out.rows; ++i) {
            layer_norm_row(work.source_row(i), out.row_start(i), out.cols, out.col_step, eps);
        }
    }
};

// Rows side by side in memory: statistics and normalisation all stream the columns in order.
struct ByColumns {
    template <class V>
    void operator()(const View2<double>& in, const Out2<double>& out, const double& eps,
                    double* const& scratch) const {
        constexpr std::size_t w = kWidth<V>;
        const std::size_t rows = in.rows, vec = rows - rows % w;
        double* mean = scratch;
        double* sd = scratch + rows;
        column_stats<V>(in, rows, eps, mean, sd);
        for (std::size_t j = 0; j < in.cols; ++j) {
            const double* p = column_start(in, j);
            double* q = column_start(out, j);
            for (std::size_t k = 0; k < vec; k += w) {
                V v = lanes::load<V>(p + k) - lanes::load<V>(mean + k);
                lanes::store(q + k, v / lanes::load<V>(sd + k));
            }
            for (std::size_t k = vec; k < rows; ++k) q[k] = (p[k] - mean[k]) / sd[k];
        }
    }
};

}  // namespace

Strided<double, 2> layer_norm_rows(const View2<double>& x, double eps) {
    RowwiseWork work(x);
    if (work.empty()) return std::move(work).finish();
    const std::size_t rows = work.out().rows;
    if (work.by_columns()) {
        Buffer<double> scratch(2 * rows);  // mean and sd of each row
        View2<double> in = work.source();
        double* stats = scratch.data();
        lanes::run<ByColumns>(in, work.out(), eps, stats);
    } else {
        // One block's rows transposed, when there are enough rows to fill a block.
        Buffer<double> scratch(rows >= kBlockRows ? kBlockRows * work.out().cols : 0);
        double* tiles = scratch.data();
        lanes::run<ByRows>(work, eps, tiles);
    }
    return std::move(work).finish();
}

}  // namespace tarnwick::core
