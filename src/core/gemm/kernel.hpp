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
    return c;
}

// A level's contexts: tiles of Shape in the lanes of Target, for both element types.
template <class Target, TileShape Shape>
constexpr Contexts make_contexts() {
    return {make_context<simd::Lanes<Target, double>, Shape>(),
            make_context<simd::Lanes<Target, float>, Shape>()};
}

}  // namespace tarnwick::core::gemm_impl
