// The register tile of the product, the packing of full panels, and the context a vector level
// fills with them.
//
// Every result element is one chain of fused multiply-adds over k, ascending, from -0.0:
// c = fma(a[i][p], b[p][j], c). A tile that stops mid-k stores its chains in C and the next
// block of k loads them back, so the chain, and with it every bit of the result, depends on k
// alone: not on the blocking, the tile an element falls in, the operands' layouts, nor the
// vector width. Levels differ only in how many chains run side by side.
//
// This header is included by per-level sources: everything in it is a template over the
// level's own lanes, so no two levels ever share a compiled function.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "core/gemm/context.hpp"
#include "core/simd/lanes.hpp"

namespace tarnwick::core::gemm_impl {

// Ops (simd::Lanes of a level, or a stand-in): T (element), V (a vector of kWidth elements),
// splat, load, store, fma(x, y, acc) giving x * y + acc with one rounding.
template <class Ops, std::size_t R, std::size_t NV, bool Packed>
void tile(std::size_t kc, const typename Ops::T* a, std::ptrdiff_t a_row, std::ptrdiff_t a_col,
          const typename Ops::T* b, std::ptrdiff_t ldb, typename Ops::T* c, std::ptrdiff_t ldc,
          bool first) {
    using T = typename Ops::T;
    using V = typename Ops::V;
    constexpr std::size_t W = Ops::kWidth;
    V acc[R][NV];
    // The tile only stays in registers once these short loops are unrolled.
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) {
            acc[r][v] = first ? Ops::splat(T(-0.0))
                              : Ops::load(c + static_cast<std::ptrdiff_t>(r) * ldc + v * W);
        }
    }
    if constexpr (Packed) {
        a_row = 1;
        a_col = R;
    }
    const T* rows[R];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) rows[r] = a + static_cast<std::ptrdiff_t>(r) * a_row;
    std::ptrdiff_t at = 0;
#pragma GCC unroll 4
    for (std::size_t p = 0; p < kc; ++p, at += a_col, b += ldb) {
        V bv[NV];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) bv[v] = Ops::load(b + v * W);
#pragma GCC unroll 16
        for (std::size_t r = 0; r < R; ++r) {
            const V x = Ops::splat(rows[r][at]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) acc[r][v] = Ops::fma(x, bv[v], acc[r][v]);
        }
    }
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) {
            Ops::store(c + static_cast<std::ptrdiff_t>(r) * ldc + v * W, acc[r][v]);
        }
    }
}

// R dense rows of kc elements into one panel, column after column. With R known the inner loop
// unrolls into plain loads and stores, about twice as fast as the general loop.
template <class Ops, std::size_t R>
void pack_panel(const typename Ops::T* const* src, std::size_t kc, typename Ops::T* out) {
    for (std::size_t p = 0; p < kc; ++p, out += R) {
#pragma GCC unroll 16
        for (std::size_t x = 0; x < R; ++x) out[x] = src[x][p];
    }
}

// Columns of B with adjacent elements (a transposed B) into a strip. Element by element, each
// store lands a strip row further on; as squares of W columns by W rows turned in registers,
// one vector is loaded and one stored per W elements (64 x 64 packed 2-4x faster).
template <class Ops>
void pack_columns(const typename Ops::T* b, std::ptrdiff_t col_step, std::size_t kc, std::size_t w,
                  std::size_t nr, typename Ops::T* out) {
    using T = typename Ops::T;
    using V = typename Ops::V;
    constexpr std::size_t W = Ops::kWidth;
    std::size_t j = 0;
    for (; j + W <= w; j += W) {
        std::size_t p = 0;
        for (; p + W <= kc; p += W) {
            V square[W];
#pragma GCC unroll 16
            for (std::size_t x = 0; x < W; ++x) {
                square[x] = Ops::load(b + static_cast<std::ptrdiff_t>(j + x) * col_step + p);
            }
            Ops::transpose(square);
#pragma GCC unroll 16
            for (std::size_t x = 0; x < W; ++x) Ops::store(out + (p + x) * nr + j, square[x]);
        }
        for (; p < kc; ++p) {
            for (std::size_t x = 0; x < W; ++x) {
                out[p * nr + j + x] = b[static_cast<std::ptrdiff_t>(j + x) * col_step + p];
            }
        }
    }
    for (; j < w; ++j) {
        for (std::size_t p = 0; p < kc; ++p) {
            out[p * nr + j] = b[static_cast<std::ptrdiff_t>(j) * col_step + p];
        }
    }
    for (std::size_t p = 0; p < kc; ++p) {
        for (std::size_t x = w; x < nr; ++x) out[p * nr + x] = T(0);
    }
}

// The lanes of `got` whose value p[J Step] lies in the vector at p + Vi W take it from there.
template <class Ops, std::size_t Step, std::size_t Vi, std::size_t... J>
[[gnu::always_inline]] inline typename Ops::V take_from(typename Ops::V got,
                                                        const typename Ops::T* p,
                                                        std::index_sequence<J...>) {
    constexpr std::size_t W = Ops::kWidth;
    return __builtin_shufflevector(got, Ops::load(p + Vi * W),
                                   (J * Step / W == Vi ? W + J * Step % W : J)...);
}

// The W values p[0], p[Step], p[2 Step], ... from the Step vectors at p, by two-register
// permutes (one per vector after the second): element by element, a sliced 64 x 64 B took
// a third as long to pack as the whole product of the packed strips.
template <class Ops, std::size_t Step, std::size_t... J>
[[gnu::always_inline]] inline typename Ops::V every_step(const typename Ops::T* p,
                                                         std::index_sequence<J...> lanes) {
    constexpr std::size_t W = Ops::kWidth;
    typename Ops::V got = __builtin_shufflevector(Ops::load(p), Ops::load(p + W),
                                                  (J * Step < 2 * W ? J * Step : 0)...);
    [&]<std::size_t... Vi>(std::index_sequence<Vi...>) {
        ((got = take_from<Ops, Step, Vi + 2>(got, p, lanes)), ...);
    }(std::make_index_sequence<Step - 2>{});
    return got;
}

template <class Ops, std::size_t Step>
void pack_step_rows(const typename Ops::T* b, std::ptrdiff_t row_step, std::size_t kc,
                    std::size_t cols, std::size_t nr, typename Ops::T* out) {
    using T = typename Ops::T;
    constexpr std::size_t W = Ops::kWidth;
    const std::size_t strip = kc * nr;
    for (std::size_t p = 0; p < kc; ++p) {
        const T* src = b + static_cast<std::ptrdiff_t>(p) * row_step;
        T* row = out + p * nr;
        for (std::size_t j0 = 0; j0 < cols; j0 += nr, row += strip) {
            const std::size_t w = std::min(nr, cols - j0);
            std::size_t j = 0;
            // A vector's last value is (W - 1) Step on, its loads reach Step W - 1 on: past
            // the row's end unless another column follows.
            for (; j + W <= w && j0 + j + W < cols; j += W) {
                Ops::store(row + j, every_step<Ops, Step>(src + (j0 + j) * Step,
                                                          std::make_index_sequence<W>{}));
            }
            for (; j < w; ++j) row[j] = src[(j0 + j) * Step];
            for (; j < nr; ++j) row[j] = T(0);
        }
    }
}

// The context of tiles of Shape with Ops' lanes, and the level's blocking.
template <class Ops, TileShape Shape, Blocking Blocks = Blocking{}>
constexpr Context<typename Ops::T> make_context() {
    using T = typename Ops::T;
    constexpr std::size_t MR = Shape.rows, NV = Shape.vectors;
    static_assert(Ops::kWidth * sizeof(T) == Shape.vector_bytes, "lanes of another width");
    static_assert(MR >= 1 && MR <= kMaxTileRows, "a tile taller than the buffers allow");
    static_assert(Shape.cols<T>() <= kMaxTileCols, "a tile wider than the buffers allow");
    Context<T> c;
    c.mr = MR;
    c.nr = Shape.cols<T>();
    c.blocking = Blocks;
    [&]<std::size_t... R>(std::index_sequence<R...>) {
        ((c.tile[R + 1] = &tile<Ops, R + 1, NV, false>), ...);
        ((c.packed[R + 1] = &tile<Ops, R + 1, NV, true>), ...);
    }(std::make_index_sequence<MR>{});
    c.pack_panel = &pack_panel<Ops, MR>;
    // Lanes that shuffle (not a test's stand-in) also pack strided B in registers.
    if constexpr (requires(typename Ops::V(&r)[Ops::kWidth]) { Ops::transpose(r); }) {
        c.pack_columns = &pack_columns<Ops>;
        c.pack_step_rows[2] = &pack_step_rows<Ops, 2>;
        c.pack_step_rows[3] = &pack_step_rows<Ops, 3>;
        c.pack_step_rows[4] = &pack_step_rows<Ops, 4>;
        static_assert(kMaxPackedStep == 4);
    }
    return c;
}

// A level's contexts: tiles of Shape in the lanes of Target, for both element types.
template <class Target, TileShape Shape, Blocking Blocks = Blocking{}>
constexpr Contexts make_contexts() {
    return {make_context<simd::Lanes<Target, double>, Shape, Blocks>(),
            make_context<simd::Lanes<Target, float>, Shape, Blocks>()};
}

}  // namespace tarnwick::core::gemm_impl
