// The product in blocks, after the BLIS pattern: a block of B's rows is packed into strips as
// wide as a tile, a block of A's columns into panels as tall as one, and the register tile
// (kernel.hpp) runs over them. The blocking only decides what sits in which cache; every
// element's chain of fused multiply-adds is the same whatever it is.
#include "core/gemm/gemm.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "core/gemm/scratch.hpp"
#include "core/gemm/tiles.hpp"

namespace tarnwick::core {

namespace {

using gemm_impl::Tiles;

// A strip of B (kc × nr) should take about half the L1 cache, the rest being for the panels of A
// that stream past it; kc between 128 and 256 keeps the reloads of C rare.
constexpr std::size_t kStripBytes = std::size_t{24} << 10;
constexpr std::size_t kMinKc = 128;
constexpr std::size_t kMaxKc = 256;
// A block of A (mc × kc) is meant for the L2 cache, a block of B (kc × nc) for the L3.
constexpr std::size_t kABlockBytes = std::size_t{192} << 10;
constexpr std::size_t kBBlockBytes = std::size_t{2} << 20;
// An operand this small stays in the L1 and L2 caches as it is: packing it costs more than
// reading it through its steps.
constexpr std::size_t kInPlaceBytes = std::size_t{64} << 10;
// Widest tile of any level, for the scratch tile at the edges.
constexpr std::size_t kMaxNr = 32;

std::size_t round_up(std::size_t x, std::size_t to) { return (x + to - 1) / to * to; }

// Blocks of k as even as possible, so a k just past a multiple of kMaxKc leaves no sliver.
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
void pack_b(const View2<T>& b, std::size_t nr, T* dst) {
    const std::size_t strip = b.rows * nr;
    if (std::abs(b.col_step) <= std::abs(b.row_step)) {
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

// R dense rows of kc elements into one panel, column after column. With R known the inner loop
// unrolls into plain loads and stores, about twice as fast as the general loop.
template <std::size_t R, class T>
void pack_rows(const T* const* src, std::size_t kc, T* out) {
    for (std::size_t p = 0; p < kc; ++p, out += R) {
#pragma GCC unroll 16
        for (std::size_t x = 0; x < R; ++x) out[x] = src[x][p];
    }
}

// The full panels of the levels' tile heights; false for other heights.
template <class T>
bool pack_dense_rows(const T* const* src, std::size_t r, std::size_t kc, T* out) {
    switch (r) {
        case 4:
            pack_rows<4>(src, kc, out);
            return true;
        case 6:
            pack_rows<6>(src, kc, out);
            return true;
        case 12:
            pack_rows<12>(src, kc, out);
            return true;
        default:
            return false;
    }
}

// A's block (mc × kc) as panels of mr rows (fewer in the last), each column after column:
// the panel of r rows starting at row i holds element (i + x, p) at dst[i * kc + p * r + x].
template <class T>
void pack_a(const View2<T>& a, std::size_t mr, T* dst) {
    const bool along_rows = std::abs(a.col_step) <= std::abs(a.row_step);
    for (std::size_t i0 = 0; i0 < a.rows; i0 += mr) {
        const std::size_t r = std::min(mr, a.rows - i0);
        T* panel = dst + i0 * a.cols;
        // Along rows, the panel's rows are read side by side: one stream per row keeps several
        // cache misses in flight, where one row at a time waited on each.
        if (along_rows) {
            const T* src[gemm_impl::kMaxTileRows];
            for (std::size_t x = 0; x < r; ++x) src[x] = &a(i0 + x, 0);
            if (a.col_step == 1 && pack_dense_rows(src, r, a.cols, panel)) continue;
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
    Product(const Tiles<T>& tiles, const View2<T>& a, const View2<T>& b, const Out2<T>& c)
        : a_(a), b_(b), c_(c), tiles_(tiles) {}

    void run() {
        const std::size_t m = c_.rows, n = c_.cols, k = a_.cols;
        const std::size_t mr = tiles_.mr, nr = tiles_.nr;
        const std::size_t max_kc = std::clamp(kStripBytes / sizeof(T) / nr, kMinKc, kMaxKc);
        kc_ = even_block(k, max_kc);
        mc_ = std::min(m, std::max(mr, kABlockBytes / sizeof(T) / max_kc / mr * mr));
        nc_ = std::min(round_up(n, nr), std::max(nr, kBBlockBytes / sizeof(T) / max_kc / nr * nr));
        // A panel is worth packing once several strips of B read it; a strip of B once several
        // panels of A do, or when its rows are not dense. Small operands stay in cache as they
        // are.
        const auto large = [](std::size_t rows, std::size_t cols) {
            return rows * cols > kInPlaceBytes / sizeof(T);
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
                if (pack_b_) pack_b(part(b_, pc, kcur, jc, ncur), nr, b_pack_);
                for (std::size_t ic = 0; ic < m; ic += mc_) {
                    const std::size_t mcur = std::min(mc_, m - ic);
                    if (pack_a_) pack_a(part(a_, ic, mcur, pc, kcur), mr, a_pack_);
                    block(ic, mcur, pc, kcur, jc, ncur);
                }
            }
        }
    }

private:
    // The tiles of one block: strips of B outside, panels of A inside, so a strip stays in L1.
    void block(std::size_t ic, std::size_t mcur, std::size_t pc, std::size_t kcur, std::size_t jc,
               std::size_t ncur) {
        const std::size_t mr = tiles_.mr, nr = tiles_.nr;
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
        const std::size_t nr = tiles_.nr;
        const auto ld = static_cast<std::ptrdiff_t>(nr);
        if (pack_b_) return {b_pack_ + jr / nr * kcur * nr, ld, 1};
        if (w == nr) return {&b_(pc, j), b_.row_step, 1};
        pack_b(part(b_, pc, kcur, j, w), nr, b_pack_);
        return {b_pack_, ld, 1};
    }

    // One tile at (i, j), r rows and w columns: straight into C when C's rows are dense and the
    // tile is whole, else through a spare tile (the same chains, only the edges thrown away).
    void tile(const Source<T>& a, const Source<T>& b, std::size_t i, std::size_t r, std::size_t j,
              std::size_t w, std::size_t kcur, bool first) {
        const gemm_impl::TileFn<T> fn = pack_a_ ? tiles_.packed[r] : tiles_.tile[r];
        const bool dense_rows = c_.col_step == 1 || c_.cols == 1;
        if (w == tiles_.nr && dense_rows) {
            fn(kcur, a.data, a.row_step, a.col_step, b.data, b.row_step, &c_(i, j), c_.row_step,
               first);
            return;
        }
        const std::size_t nr = tiles_.nr;
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
    const Tiles<T>& tiles_;
    std::size_t kc_ = 0, mc_ = 0, nc_ = 0;
    bool pack_a_ = false, pack_b_ = false;
    T* a_pack_ = nullptr;
    T* b_pack_ = nullptr;
    alignas(64) T spare_[gemm_impl::kMaxTileRows * kMaxNr] = {};
};

template <class T>
void product(const Tiles<T>& tiles, View2<T> a, View2<T> b, Out2<T> c) {
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
    Product<T>(tiles, a, b, c).run();
}

}  // namespace

void gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c) {
    product(gemm_impl::tiles<double>(), a, b, c);
}
void gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c) {
    product(gemm_impl::tiles<float>(), a, b, c);
}

void gemm_impl::gemm_with(const Tiles<double>& tiles, const View2<double>& a,
                          const View2<double>& b, const Out2<double>& c) {
    product(tiles, a, b, c);
}
void gemm_impl::gemm_with(const Tiles<float>& tiles, const View2<float>& a, const View2<float>& b,
                          const Out2<float>& c) {
    product(tiles, a, b, c);
}

}  // namespace tarnwick::core
