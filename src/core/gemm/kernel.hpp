// The register tile of the product and the table a vector level fills with it.
//
// Every result element is one chain of fused multiply-adds over k, ascending, from -0.0:
// c = fma(a[i][p], b[p][j], c). A tile that stops mid-k stores its chains in C and the next
// block of k loads them back, so the chain, and with it every bit of the result, depends on k
// alone: not on the blocking, the tile an element falls in, the operands' layouts, nor the
// vector width. Levels differ only in how many chains run side by side.
//
// This header is included by per-level sources: everything in it is a template over the
// level's own vector operations, so no two levels ever share a compiled function.
#pragma once

#include <cstddef>
#include <utility>

namespace tarnwick::core::gemm_impl {

inline constexpr std::size_t kMaxTileRows = 12;

// A tile of `rows` rows by nr columns: a[r * a_row + p * a_col] is A's element (r, p) for
// p < kc, b + p * ldb holds B's row p (nr values, dense), and c + r * ldc C's row r (dense).
// `first` starts each chain from -0.0; otherwise it goes on from what C holds.
template <class T>
using TileFn = void (*)(std::size_t kc, const T* a, std::ptrdiff_t a_row, std::ptrdiff_t a_col,
                        const T* b, std::ptrdiff_t ldb, T* c, std::ptrdiff_t ldc, bool first);

// One level's tiles for one element type: tile[r] computes r rows (1 <= r <= mr), nr columns;
// packed[r] the same for A packed column after column (a_row 1, a_col r), with the steps known
// when compiled, which spares the registers that would hold them.
template <class T>
struct Tiles {
    std::size_t mr = 0;
    std::size_t nr = 0;
    TileFn<T> tile[kMaxTileRows + 1] = {};
    TileFn<T> packed[kMaxTileRows + 1] = {};
};

// Ops: T (element), V (a vector of kWidth elements), splat, load, store, fma(x, y, acc)
// giving x * y + acc with one rounding.
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

// The table for tiles of up to MR rows by NV vectors.
template <class Ops, std::size_t MR, std::size_t NV>
constexpr Tiles<typename Ops::T> make_tiles() {
    static_assert(MR >= 1 && MR <= kMaxTileRows);
    Tiles<typename Ops::T> t;
    t.mr = MR;
    t.nr = NV * Ops::kWidth;
    [&]<std::size_t... R>(std::index_sequence<R...>) {
        ((t.tile[R + 1] = &tile<Ops, R + 1, NV, false>), ...);
        ((t.packed[R + 1] = &tile<Ops, R + 1, NV, true>), ...);
    }(std::make_index_sequence<MR>{});
    return t;
}

}  // namespace tarnwick::core::gemm_impl
