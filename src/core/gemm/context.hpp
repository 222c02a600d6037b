// The GEMM's per-level context, as BLIS configures one per architecture: the register tile's
// shape, the block sizes, and the routines that compute tiles and pack panels. The generic
// product (gemm.cpp) reads everything level-specific from here.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tarnwick::core::gemm_impl {

// A register tile: `rows` rows of A by `vectors` vectors of B's columns, each `vector_bytes`
// wide. Its width in columns depends on the element.
struct TileShape {
    std::size_t rows;
    std::size_t vectors;
    std::size_t vector_bytes;

    template <class T>
    constexpr std::size_t cols() const {
        return vectors * vector_bytes / sizeof(T);
    }
};

// Each level's tile. The portable one: sixteen chains of doubles, enough to hide the latency
// of a fused multiply-add. AVX2: 6 rows by 2 registers, twelve chains in flight (with the two
// rows of B and a broadcast, 15 of the 16 registers). AVX-512: 12 rows by 2 registers, 24
// chains in flight out of the 32 registers.
inline constexpr TileShape kBaselineTile{4, 2, 16};
inline constexpr TileShape kAvx2Tile{6, 2, 32};
inline constexpr TileShape kAvx512Tile{12, 2, 64};

// The widest tile of any level bounds every buffer sized by a tile; make_context checks each
// level's shape against it at compile time.
inline constexpr std::size_t kMaxTileRows =
    std::max({kBaselineTile.rows, kAvx2Tile.rows, kAvx512Tile.rows});
inline constexpr std::size_t kMaxTileCols =
    std::max({kBaselineTile.cols<float>(), kAvx2Tile.cols<float>(), kAvx512Tile.cols<float>()});

// Where each block is meant to sit. A strip of B (kc × nr) should take about half the L1
// cache, the rest being for the panels of A that stream past it; kc between 128 and 256 keeps
// the reloads of C rare. A block of A (mc × kc) is meant for the L2 cache, a block of B
// (kc × nc) for the L3. An operand smaller than `in_place_bytes` stays in the L1 and L2 caches
// as it is: packing it costs more than reading it through its steps.
struct Blocking {
    std::size_t strip_bytes = std::size_t{24} << 10;
    std::size_t min_kc = 128;
    std::size_t max_kc = 256;
    std::size_t a_block_bytes = std::size_t{192} << 10;
    std::size_t b_block_bytes = std::size_t{2} << 20;
    std::size_t in_place_bytes = std::size_t{64} << 10;
};

// AVX-512's tile is twice as wide and its loads twice as large, so a strip of B of the same
// bytes holds half the k; there, longer strips (kc 512, beyond the L1 cache: the L2 feeds
// them fast enough) and a block of A more than twice as large measured 6-8% faster on Zen 4
// at 512 and 1024 (f64 and f32), where AVX2 gained nothing from the same change.
inline constexpr Blocking kAvx512Blocking{
    .strip_bytes = std::size_t{64} << 10, .max_kc = 512, .a_block_bytes = std::size_t{512} << 10};

// A tile of `rows` rows by nr columns: a[r * a_row + p * a_col] is A's element (r, p) for
// p < kc, b + p * ldb holds B's row p (nr values, dense), and c + r * ldc C's row r (dense).
// `first` starts each chain from -0.0; otherwise it goes on from what C holds.
template <class T>
using TileFn = void (*)(std::size_t kc, const T* a, std::ptrdiff_t a_row, std::ptrdiff_t a_col,
                        const T* b, std::ptrdiff_t ldb, T* c, std::ptrdiff_t ldc, bool first);

// mr dense rows of kc elements (src[x][p]) into one panel, column after column.
template <class T>
using PanelFn = void (*)(const T* const* src, std::size_t kc, T* out);

// w <= nr columns of B whose elements are adjacent (column j's kc values from
// b + j * col_step) into one strip: out[p * nr + j], zeros after the w-th column.
template <class T>
using ColumnsFn = void (*)(const T* b, std::ptrdiff_t col_step, std::size_t kc, std::size_t w,
                           std::size_t nr, T* out);

// B's rows whose elements lie `Step` apart (a sliced B; Step 2 to kMaxPackedStep) into
// strips: row p's cols values from b + p * row_step, strip after strip (kc rows of nr each),
// zeros after the last column.
inline constexpr std::size_t kMaxPackedStep = 4;
template <class T>
using StepRowsFn = void (*)(const T* b, std::ptrdiff_t row_step, std::size_t kc, std::size_t cols,
                            std::size_t nr, T* out);

// One level's product for one element type: tile[r] computes r rows (1 <= r <= mr), nr
// columns; packed[r] the same for A packed column after column (a_row 1, a_col r), with the
// steps known when compiled, which spares the registers that would hold them.
template <class T>
struct Context {
    std::size_t mr = 0;
    std::size_t nr = 0;
    Blocking blocking;
    TileFn<T> tile[kMaxTileRows + 1] = {};
    TileFn<T> packed[kMaxTileRows + 1] = {};
    PanelFn<T> pack_panel = nullptr;
    // Null where the level packs strided B element by element.
    ColumnsFn<T> pack_columns = nullptr;
    StepRowsFn<T> pack_step_rows[kMaxPackedStep + 1] = {};  // by step, from 2
};

// A level's contexts for both element types.
struct Contexts {
    Context<double> f64;
    Context<float> f32;
};

// The contexts for cpu::level(), chosen once.
const Contexts& contexts();

// Each level's contexts, in context.cpp (baseline) and context_<level>.cpp.
namespace baseline {
extern const Contexts contexts;
}
namespace avx2 {
extern const Contexts contexts;
}
namespace avx512 {
extern const Contexts contexts;
}

}  // namespace tarnwick::core::gemm_impl
