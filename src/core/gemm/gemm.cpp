// The product in blocks, after the BLIS pattern: a block of B's rows is packed into strips as
// wide as a tile, a block of A's columns into panels as tall as one, and the register tile
// runs over them. Tile shape, block sizes and the routines come from the level's context
// (context.hpp). The blocking only decides what sits in which cache; every element's chain of
// fused multiply-adds is the same whatever it is.
#include "core/gemm/gemm.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "core/gemm/context.hpp"
#include "core/gemm/scratch.hpp"

namespace tarnwick::core {

namespace {

using gemm_impl::Context;

std::size_t round_up(std::size_t x, std::size_t to) { return (x + to - 1) / to * to; }

// Blocks of k as even as possible, so a k just past a multiple of the largest leaves no sliver.
std::size_t even_block(std::size_t total, std::size_t max_block) {
    const std::size_t blocks = (total + max_block - 1) / max_block;
    return (total + blocks - 1) / blocks;
}

template <class T>
T* aligned_after(void* base, std::size_t offset_bytes) {
    return reinterpret_cast<T*>(static_cast<std::byte*>(base) + round_up(offset_bytes, 64));
}

template <class V>
V part(const V& v, std::size_t r0, std::size_t rows, std::size_t c0, std::size_t cols) {
    return {&v(r0, c0), rows, cols, v.row_step, v.col_step};
}

// B's block (kc × nc) as strips of nr columns, each kc rows of nr values; columns past the
// block's end are zero. B is read along its shorter step, one row (or column) at a time across
// all strips: strip by strip, every read would land on another page.
template <class T>
void pack_b(const View2<T>& b, const Context<T>& context, T* dst) {
    const std::size_t nr = context.nr;
    const std::size_t strip = b.rows * nr;
    if (std::abs(b.col_step) <= std::abs(b.row_step)) {
        const auto step = b.col_step;
        if (step >= 2 && step <= static_cast<std::ptrdiff_t>(gemm_impl::kMaxPackedStep) &&
            context.pack_step_rows[step] != nullptr) {
            context.pack_step_rows[step](b.data, b.row_step, b.rows, b.cols, nr, dst);
            return;
        }
        for (std::size_t p = 0; p < b.rows; ++p) {
            const T* src = &b(p, 0);
            T* out = dst + p * nr;
            for (std::size_t j0 = 0; j0 < b.cols; j0 += nr, out += strip) {
                const std::size_t w = std::min(nr, b.cols - j0);
                if (b.col_step == 1) {
                    std::copy_n(src + j0, w, out);
                } else {
                    for (std::size_t j = 0; j < w; ++j) {
                        out[j] = src[static_cast<std::ptrdiff_t>(j0 + j) * b.col_step];
                    }
                }
                std::fill(out + w, out + nr, T(0));
            }
        }
        return;
    }
    if (b.row_step == 1 && context.pack_columns != nullptr) {
        for (std::size_t j0 = 0; j0 < b.cols; j0 += nr) {
            context.pack_columns(&b(0, j0), b.col_step, b.rows, std::min(nr, b.cols - j0), nr,
                                 dst + j0 / nr * strip);
        }
        return;
    }
    for (std::size_t j = 0; j < b.cols; ++j) {
        const T* src = &b(0, j);
        T* out = dst + j / nr * strip + j % nr;
        for (std::size_t p = 0; p < b.rows; ++p) {
            out[p * nr] = src[static_cast<std::ptrdiff_t>(p) * b.row_step];
        }
    }
    if (const std::size_t w = b.cols % nr; w != 0) {
        T* last = dst + b.cols / nr * strip;
        for (std::size_t p = 0; p < b.rows; ++p)
            std::fill(last + p * nr + w, last + (p + 1) * nr, T(0));
    }
}

// A's block (mc × kc) as panels of mr rows (fewer in the last), each column after column:
// the panel of r rows starting at row i holds element (i + x, p) at dst[i * kc + p * r + x].
template <class T>
void pack_a(const View2<T>& a, const Context<T>& context, T* dst) {
    const std::size_t mr = context.mr;
    const bool along_rows = std::abs(a.col_step) <= std::abs(a.row_step);
    for (std::size_t i0 = 0; i0 < a.rows; i0 += mr) {
        const std::size_t r = std::min(mr, a.rows - i0);
        T* panel = dst + i0 * a.cols;
        // Along rows, the panel's rows are read side by side: one stream per row keeps several
        // cache misses in flight, where one row at a time waited on each.
        if (along_rows) {
            const T* src[gemm_impl::kMaxTileRows];
            for (std::size_t x = 0; x < r; ++x) src[x] = &a(i0 + x, 0);
            if (a.col_step == 1 && r == mr) {
                context.pack_panel(src, a.cols, panel);
                continue;
            }
            T* out = panel;
            std::ptrdiff_t at = 0;
            for (std::size_t p = 0; p < a.cols; ++p, at += a.col_step) {
                for (std::size_t x = 0; x < r; ++x) *out++ = src[x][at];
            }
            continue;
        }
        for (std::size_t p = 0; p < a.cols; ++p) {
            const T* src = &a(i0, p);
            T* out = panel + p * r;
            for (std::size_t x = 0; x < r; ++x, src += a.row_step) out[x] = *src;
        }
    }
}

// Where a tile reads its operands from.
template <class T>
struct Source {
    const T* data;
    std::ptrdiff_t row_step;
    std::ptrdiff_t col_step;
};

template <class T>
class Product {
public:
    Product(const Context<T>& context, const View2<T>& a, const View2<T>& b, const Out2<T>& c)
        : a_(a), b_(b), c_(c), context_(context) {}

    void run() {
        const std::size_t m = c_.rows, n = c_.cols, k = a_.cols;
        const std::size_t mr = context_.mr, nr = context_.nr;
        const gemm_impl::Blocking& blocks = context_.blocking;
        const std::size_t max_kc =
            std::clamp(blocks.strip_bytes / sizeof(T) / nr, blocks.min_kc, blocks.max_kc);
        kc_ = even_block(k, max_kc);
        mc_ = std::min(m, std::max(mr, blocks.a_block_bytes / sizeof(T) / max_kc / mr * mr));
        nc_ = std::min(round_up(n, nr),
                       std::max(nr, blocks.b_block_bytes / sizeof(T) / max_kc / nr * nr));
        // A panel is worth packing once several strips of B read it; a strip of B once several
        // panels of A do, or when its rows are not dense. Small operands stay in cache as they
        // are.
        const auto large = [&blocks](std::size_t rows, std::size_t cols) {
            return rows * cols > blocks.in_place_bytes / sizeof(T);
        };
        pack_a_ = n > 4 * nr && large(m, k);
        pack_b_ = (n > 1 && b_.col_step != 1) || (m > 2 * mr && large(k, n));
        const std::size_t a_bytes = pack_a_ ? mc_ * kc_ * sizeof(T) : 0;
        const std::size_t b_bytes = (pack_b_ ? nc_ : nr) * kc_ * sizeof(T);
        gemm_impl::Scratch scratch(round_up(a_bytes, 64) + b_bytes);
        a_pack_ = aligned_after<T>(scratch.data(), 0);
        b_pack_ = aligned_after<T>(scratch.data(), a_bytes);

        for (std::size_t jc = 0; jc < n; jc += nc_) {
            const std::size_t ncur = std::min(nc_, n - jc);
            for (std::size_t pc = 0; pc < k; pc += kc_) {
                const std::size_t kcur = std::min(kc_, k - pc);
                if (pack_b_) pack_b(part(b_, pc, kcur, jc, ncur), context_, b_pack_);
                for (std::size_t ic = 0; ic < m; ic += mc_) {
                    const std::size_t mcur = std::min(mc_, m - ic);
                    if (pack_a_) pack_a(part(a_, ic, mcur, pc, kcur), context_, a_pack_);
                    block(ic, mcur, pc, kcur, jc, ncur);
                }
            }
        }
    }

private:
    // The tiles of one block: strips of B outside, panels of A inside, so a strip stays in L1.
    void block(std::size_t ic, std::size_t mcur, std::size_t pc, std::size_t kcur, std::size_t jc,
               std::size_t ncur) {
        const std::size_t mr = context_.mr, nr = context_.nr;
        const bool first = pc == 0;
        for (std::size_t jr = 0; jr < ncur; jr += nr) {
            const std::size_t w = std::min(nr, ncur - jr);
            const Source<T> b = b_strip(pc, kcur, jc + jr, jr, w);
            for (std::size_t ir = 0; ir < mcur; ir += mr) {
                const std::size_t r = std::min(mr, mcur - ir);
                const Source<T> a =
                    pack_a_ ? Source<T>{a_pack_ + ir * kcur, 1, static_cast<std::ptrdiff_t>(r)}
                            : Source<T>{&a_(ic + ir, pc), a_.row_step, a_.col_step};
                if (ir + mr < mcur)
                    prefetch_c(ic + ir + mr, std::min(mr, mcur - ir - mr), jc + jr, w);
                tile(a, b, ic + ir, r, jc + jr, w, kcur, first);
            }
        }
    }

    // The next tile's part of C, which a tile reads (after the first block of k) and writes:
    // fetched while this one computes, as the first loads of a tile wait for it otherwise.
    void prefetch_c(std::size_t i, std::size_t r, std::size_t j, std::size_t w) const {
        for (std::size_t x = 0; x < r; ++x) {
            __builtin_prefetch(&c_(i + x, j), 1);
            __builtin_prefetch(&c_(i + x, j + w - 1), 1);
        }
    }

    // The strip of B for columns [j, j + w) of rows [pc, pc + kcur): packed, or in place when
    // its rows are dense and the strip is whole; a ragged one is padded into the spare strip.
    Source<T> b_strip(std::size_t pc, std::size_t kcur, std::size_t j, std::size_t jr,
                      std::size_t w) {
        const std::size_t nr = context_.nr;
        const auto ld = static_cast<std::ptrdiff_t>(nr);
        if (pack_b_) return {b_pack_ + jr / nr * kcur * nr, ld, 1};
        if (w == nr) return {&b_(pc, j), b_.row_step, 1};
        pack_b(part(b_, pc, kcur, j, w), context_, b_pack_);
        return {b_pack_, ld, 1};
    }

    // One tile at (i, j), r rows and w columns: straight into C when C's rows are dense and the
    // tile is whole, else through a spare tile (the same chains, only the edges thrown away).
    void tile(const Source<T>& a, const Source<T>& b, std::size_t i, std::size_t r, std::size_t j,
              std::size_t w, std::size_t kcur, bool first) {
        const gemm_impl::TileFn<T> fn = pack_a_ ? context_.packed[r] : context_.tile[r];
        const bool dense_rows = c_.col_step == 1 || c_.cols == 1;
        if (w == context_.nr && dense_rows) {
            fn(kcur, a.data, a.row_step, a.col_step, b.data, b.row_step, &c_(i, j), c_.row_step,
               first);
            return;
        }
        const std::size_t nr = context_.nr;
        if (!first) {
            for (std::size_t x = 0; x < r; ++x) {
                for (std::size_t y = 0; y < w; ++y) spare_[x * nr + y] = c_(i + x, j + y);
            }
        }
        fn(kcur, a.data, a.row_step, a.col_step, b.data, b.row_step, spare_,
           static_cast<std::ptrdiff_t>(nr), first);
        for (std::size_t x = 0; x < r; ++x) {
            for (std::size_t y = 0; y < w; ++y) c_(i + x, j + y) = spare_[x * nr + y];
        }
    }

    View2<T> a_;
    View2<T> b_;
    Out2<T> c_;
    const Context<T>& context_;
    std::size_t kc_ = 0, mc_ = 0, nc_ = 0;
    bool pack_a_ = false, pack_b_ = false;
    T* a_pack_ = nullptr;
    T* b_pack_ = nullptr;
    alignas(64) T spare_[gemm_impl::kMaxTileRows * gemm_impl::kMaxTileCols] = {};
};

template <class T>
void product(const Context<T>& context, View2<T> a, View2<T> b, Out2<T> c) {
    const std::size_t m = c.rows, n = c.cols, k = a.cols;
    if (m == 0 || n == 0) return;
    if (k == 0) {  // the empty sum
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < n; ++j) c(i, j) = T(0);
        }
        return;
    }
    // A column-major C is the row-major C of Bᵀ·Aᵀ, with the same chains: x·y = y·x exactly.
    if (c.col_step != 1 && c.rows > 1 && c.cols > 1 && c.row_step == 1) {
        const View2<T> at = a.transposed();
        a = b.transposed();
        b = at;
        c = c.transposed();
    }
    Product<T>(context, a, b, c).run();
}

}  // namespace

void gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c) {
    product(gemm_impl::contexts().f64, a, b, c);
}
void gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c) {
    product(gemm_impl::contexts().f32, a, b, c);
}

void gemm_impl::gemm_with(const Context<double>& context, const View2<double>& a,
                          const View2<double>& b, const Out2<double>& c) {
    product(context, a, b, c);
}
void gemm_impl::gemm_with(const Context<float>& context, const View2<float>& a,
                          const View2<float>& b, const Out2<float>& c) {
    product(context, a, b, c);
}

}  // namespace tarnwick::core
