// The element-wise loops, written once over the compiler's generic vector types and built
// once per CPU level (simd.cpp, simd_avx2.cpp,
// simd_avx512.cpp). Every lane operation is the IEEE operation of the scalar
// rule, so no level ever changes a bit.
//
// Each level instantiates these templates with a tag type of its own namespace: the linker
// keeps one copy of a template instantiation, and the copy a baseline caller runs must never
// be one built with wider instructions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "core/elementwise/simd.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // every helper is inlined; no vector crosses a call

namespace tarnwick::core::simd {

template <class Level, class T, std::size_t W>
struct Lanes {
    typedef T V __attribute__((vector_size(W * sizeof(T))));
    // The same vector at any element's address, as the compilers' own unaligned intrinsics
    // spell it (a memcpy here made g++ bounce some loads through the stack).
    typedef T Unaligned __attribute__((vector_size(W * sizeof(T)), aligned(sizeof(T)), may_alias));

    [[gnu::always_inline]] static V load(const T* p) {
        return *reinterpret_cast<const Unaligned*>(p);
    }
    [[gnu::always_inline]] static void store(T* p, V v) { *reinterpret_cast<Unaligned*>(p) = v; }
    [[gnu::always_inline]] static V splat(T x) {
        V v;
        for (std::size_t i = 0; i < W; ++i) v[i] = x;
        return v;
    }

    // Swaps the off-diagonal B x B blocks of the 2 x 2 block matrix held by rows a and b.
    template <std::size_t B, std::size_t... J>
    [[gnu::always_inline]] static void swap_blocks(V& a, V& b, std::index_sequence<J...>) {
        const V lo = __builtin_shufflevector(a, b, ((J & B) == 0 ? J : W + J - B)...);
        const V hi = __builtin_shufflevector(a, b, ((J & B) == 0 ? J + B : W + J)...);
        a = lo;
        b = hi;
    }
    template <std::size_t B>
    [[gnu::always_inline]] static void transpose_stage(V (&r)[W]) {
        if constexpr (B > 0) {
            for (std::size_t x = 0; x < W; ++x) {
                if ((x & B) == 0) swap_blocks<B>(r[x], r[x + B], std::make_index_sequence<W>{});
            }
            transpose_stage<B / 2>(r);
        }
    }
    // Eight lanes in three steps whose shuffles stay within 128-bit halves until the last:
    // one instruction each with AVX2 (interleave, pairwise select, swap of halves).
    [[gnu::always_inline]] static void transpose8(V (&r)[W]) {
        V t[8], u[8];
        for (std::size_t p = 0; p < 8; p += 2) {
            t[p] = __builtin_shufflevector(r[p], r[p + 1], 0, 8, 1, 9, 4, 12, 5, 13);
            t[p + 1] = __builtin_shufflevector(r[p], r[p + 1], 2, 10, 3, 11, 6, 14, 7, 15);
        }
        for (std::size_t q = 0; q < 8; q += 4) {
            for (std::size_t h = 0; h < 2; ++h) {
                const V& a = t[q + h];
                const V& b = t[q + h + 2];
                u[q + 2 * h] = __builtin_shufflevector(a, b, 0, 1, 8, 9, 4, 5, 12, 13);
                u[q + 2 * h + 1] = __builtin_shufflevector(a, b, 2, 3, 10, 11, 6, 7, 14, 15);
            }
        }
        for (std::size_t j = 0; j < 4; ++j) {
            r[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
            r[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
    }

    // W rows of W values become W columns: r[j][k] takes the old r[k][j].
    [[gnu::always_inline]] static void transpose(V (&r)[W]) {
        if constexpr (W == 8)
            transpose8(r);
        else
            transpose_stage<W / 2>(r);
    }
};

// Sums of squares of kLeaves leaves side by side. Lane k of chain c carries leaf c * W + k:
// W values of W leaves are loaded as rows, squared, transposed into columns and added to the
// chain one column after another, so each leaf still adds its squares in ascending order.
// Independent chains hide the latency of the additions.
//
// The leaves are kLeaves streams at once, more than the hardware prefetchers follow, so the
// loop also prefetches the next group (`ahead` elements on from the first leaf, as long; 0
// for none) as one sequential stream, as fast as it reads this one: the next call then finds
// its values in the cache.
template <class Level, class T, std::size_t W>
struct SquaresLeaves {
    using L = Lanes<Level, T, W>;
    using V = typename L::V;
    static constexpr std::size_t kChains = kLeaves / W;
    static_assert(kChains * W == kLeaves);
    static constexpr std::size_t kLineBytes = 64;
    // Elements of each leaf per step: a cache line, or one vector where that is longer.
    static constexpr std::size_t kSpan = W * sizeof(T) >= kLineBytes ? W : kLineBytes / sizeof(T);
    static constexpr std::size_t kStepBytes = W * kSpan * sizeof(T);

    template <std::size_t C>
    [[gnu::always_inline]] static void step(const T* const* leaves, std::size_t i, V& acc,
                                            const char*& fetch, const char* fetch_end) {
        if (fetch < fetch_end) {
            for (std::size_t o = 0; o < kStepBytes; o += kLineBytes) {
                __builtin_prefetch(fetch + o, 0, 2);
            }
            fetch += kStepBytes;
        }
        // A whole cache line of each leaf at once: with 32 leaves a power of two apart, the
        // lines compete for a few cache sets and would not survive until a later step.
        for (std::size_t u = 0; u < kSpan; u += W) {
            V r[W];
            for (std::size_t k = 0; k < W; ++k) {
                const V v = L::load(leaves[C * W + k] + i + u);
                r[k] = v * v;
            }
            L::transpose(r);
            for (std::size_t j = 0; j < W; ++j) acc = acc + r[j];
        }
    }

    template <std::size_t... C>
    [[gnu::always_inline]] static void run(const T* const* leaves, std::size_t len, T* sums,
                                           std::size_t ahead, std::index_sequence<C...>) {
        V acc[kChains];
        for (std::size_t c = 0; c < kChains; ++c) acc[c] = L::splat(T(-0.0));
        const char* fetch = reinterpret_cast<const char*>(leaves[0] + ahead);
        const char* const fetch_end = fetch + (ahead == 0 ? 0 : ahead * sizeof(T));
        std::size_t i = 0;
        for (; i + kSpan <= len; i += kSpan) (step<C>(leaves, i, acc[C], fetch, fetch_end), ...);
        for (std::size_t c = 0; c < kChains; ++c) L::store(sums + c * W, acc[c]);
        for (std::size_t k = 0; k < kLeaves; ++k) {
            T s = sums[k];
            for (std::size_t j = i; j < len; ++j) s = s + leaves[k][j] * leaves[k][j];
            sums[k] = s;
        }
    }
};

template <class Level, class T, std::size_t W>
[[gnu::always_inline]] inline void sum_squares_leaves(const T* const* leaves, std::size_t len,
                                                      T* sums, std::size_t ahead) {
    using S = SquaresLeaves<Level, T, W>;
    S::run(leaves, len, sums, ahead, std::make_index_sequence<S::kChains>{});
}

// y[i] = op(x[i]) over [0, n). `Level::put` stores a vector, through the caches or around
// them (`Stream`); around them, the stores are aligned to whole vectors and fenced at the
// end, so the result is complete before the pool reports the piece done.
template <class Level, class T, std::size_t W, bool Stream, class Op>
[[gnu::always_inline]] inline void map_lanes(const T* x, T* y, std::size_t n, Op op) {
    using L = Lanes<Level, T, W>;
    using V = typename L::V;
    std::size_t i = 0;
    if constexpr (Stream) {
        for (; i < n && reinterpret_cast<std::uintptr_t>(y + i) % sizeof(V) != 0; ++i) {
            y[i] = op.one(x[i]);
        }
    }
    for (; i + 2 * W <= n; i += 2 * W) {
        const V a = op(L::load(x + i)), b = op(L::load(x + i + W));
        Level::template put<Stream>(y + i, a);
        Level::template put<Stream>(y + i + W, b);
    }
    if (i + W <= n) {  // one vector more before the scalar rest, for short arrays
        Level::template put<Stream>(y + i, op(L::load(x + i)));
        i += W;
    }
    for (; i < n; ++i) y[i] = op.one(x[i]);
    if constexpr (Stream) Level::fence();
}

// y[i] = ((x[i] * mask[i]) * scale) + residual[i], each operation rounded on its own; stores
// as in map_lanes.
template <class Level, std::size_t W, bool Stream>
[[gnu::always_inline]] inline void dropout_add_lanes(const double* x, const double* mask,
                                                     const double* residual, double scale,
                                                     double* y, std::size_t n) {
    using L = Lanes<Level, double, W>;
    using V = typename L::V;
    auto one = [&](std::size_t i) { return x[i] * mask[i] * scale + residual[i]; };
    auto lanes = [&](std::size_t i) {
        return L::load(x + i) * L::load(mask + i) * scale + L::load(residual + i);
    };
    std::size_t i = 0;
    if constexpr (Stream) {
        for (; i < n && reinterpret_cast<std::uintptr_t>(y + i) % sizeof(V) != 0; ++i) {
            y[i] = one(i);
        }
    }
    for (; i + 2 * W <= n; i += 2 * W) {
        const V a = lanes(i), b = lanes(i + W);
        Level::template put<Stream>(y + i, a);
        Level::template put<Stream>(y + i + W, b);
    }
    if (i + W <= n) {
        Level::template put<Stream>(y + i, lanes(i));
        i += W;
    }
    for (; i < n; ++i) y[i] = one(i);
    if constexpr (Stream) Level::fence();
}

// x > 0 ? x : +0.0, with the ordered compare.
struct Relu {
    template <class V>
    [[gnu::always_inline]] V operator()(V v) const {
        const V zero{};
        return v > zero ? v : zero;
    }
    template <class T>
    [[gnu::always_inline]] T one(T v) const {
        return v > T(0) ? v : T(0);
    }
};

// x * factor, one rounded product.
template <class T>
struct Scale {
    T factor;
    template <class V>
    [[gnu::always_inline]] V operator()(V v) const {
        return v * factor;
    }
    [[gnu::always_inline]] T one(T v) const { return v * factor; }
};

// A level's table: every loop instantiated with the level's tag and vector width in bytes.
template <class Level, std::size_t Bytes>
Kernels level_kernels() {
    constexpr std::size_t kW64 = Bytes / sizeof(double), kW32 = Bytes / sizeof(float);
    return {
        [](const double* x, double* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Level, double, kW64, true>(x, y, n, Relu{});
            map_lanes<Level, double, kW64, false>(x, y, n, Relu{});
        },
        [](const float* x, float* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Level, float, kW32, true>(x, y, n, Relu{});
            map_lanes<Level, float, kW32, false>(x, y, n, Relu{});
        },
        [](const double* x, double f, double* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Level, double, kW64, true>(x, y, n, Scale<double>{f});
            map_lanes<Level, double, kW64, false>(x, y, n, Scale<double>{f});
        },
        [](const float* x, float f, float* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Level, float, kW32, true>(x, y, n, Scale<float>{f});
            map_lanes<Level, float, kW32, false>(x, y, n, Scale<float>{f});
        },
        [](const double* const* leaves, std::size_t len, double* sums, std::size_t ahead) {
            sum_squares_leaves<Level, double, kW64>(leaves, len, sums, ahead);
        },
        [](const float* const* leaves, std::size_t len, float* sums, std::size_t ahead) {
            sum_squares_leaves<Level, float, kW32>(leaves, len, sums, ahead);
        },
        [](const double* x, const double* mask, const double* residual, double scale, double* y,
           std::size_t n, bool stream) {
            if (stream) return dropout_add_lanes<Level, kW64, true>(x, mask, residual, scale, y, n);
            dropout_add_lanes<Level, kW64, false>(x, mask, residual, scale, y, n);
        },
    };
}

}  // namespace tarnwick::core::simd

#pragma GCC diagnostic pop
