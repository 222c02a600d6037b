// The element-wise loops, written once over the lanes of simd/ and instantiated per level
// (loops.cpp, loops_avx2.cpp, loops_avx512.cpp) with that level's Target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/elementwise/loops.hpp"
#include "core/simd/lanes.hpp"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"  // every helper is inlined; no vector crosses a call

namespace tarnwick::core::elementwise {

// Sums of squares of kLeaves leaves side by side. Lane k of chain c carries leaf c * W + k:
// W values of W leaves are loaded as rows, squared, transposed into columns and added to the
// chain one column after another, so each leaf still adds its squares in ascending order.
// Independent chains hide the latency of the additions. The transpose's shuffles bound the
// loop (on Zen 4 each of its stages costs about as much as the loads, products and additions
// together), so where the level can, its widest stage is left to the loads: each row is read
// as two half vectors of two leaves.
//
// The leaves are kLeaves streams at once, more than the hardware prefetchers follow, so the
// loop also prefetches the next group (`ahead` elements on from the first leaf, as long; 0
// for none) as one sequential stream, as fast as it reads this one: the next call then finds
// its values in the cache.
template <class Target, class T>
struct SquaresLeaves {
    using L = simd::Lanes<Target, T>;
    using V = typename L::V;
    static constexpr std::size_t W = L::kWidth;
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
            if constexpr (L::kLoadsHalves) {
                for (std::size_t k = 0; k < W / 2; ++k) {
                    const T* lo = leaves[C * W + k] + i + u;
                    const T* hi = leaves[C * W + k + W / 2] + i + u;
                    const V a = L::load_halves(lo, hi), b = L::load_halves(lo + W / 2, hi + W / 2);
                    r[k] = a * a;
                    r[k + W / 2] = b * b;
                }
                L::transpose_within_halves(r);
            } else {
                for (std::size_t k = 0; k < W; ++k) {
                    const V v = L::load(leaves[C * W + k] + i + u);
                    r[k] = v * v;
                }
                L::transpose(r);
            }
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

template <class Target, class T>
[[gnu::always_inline]] inline void sum_squares_leaves(const T* const* leaves, std::size_t len,
                                                      T* sums, std::size_t ahead) {
    using S = SquaresLeaves<Target, T>;
    S::run(leaves, len, sums, ahead, std::make_index_sequence<S::kChains>{});
}

// y[i] = op(x[i]) over [0, n). `put` stores a vector, through the caches or around them
// (`Stream`); around them, the stores are aligned to whole vectors and fenced at the end, so
// the result is complete before the pool reports the piece done.
template <class Target, class T, bool Stream, class Op>
[[gnu::always_inline]] inline void map_lanes(const T* x, T* y, std::size_t n, Op op) {
    using L = simd::Lanes<Target, T>;
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
    std::size_t i = 0;
    if constexpr (Stream) {
        for (; i < n && reinterpret_cast<std::uintptr_t>(y + i) % sizeof(V) != 0; ++i) {
            y[i] = op.one(x[i]);
        }
    }
    for (; i + 2 * W <= n; i += 2 * W) {
        const V a = op(L::load(x + i)), b = op(L::load(x + i + W));
        L::template put<Stream>(y + i, a);
        L::template put<Stream>(y + i + W, b);
    }
    if (i + W <= n) {  // one vector more before the scalar rest, for short arrays
        L::template put<Stream>(y + i, op(L::load(x + i)));
        i += W;
    }
    for (; i < n; ++i) y[i] = op.one(x[i]);
    if constexpr (Stream) L::fence();
}

// y[i] = ((x[i] * mask[i]) * scale) + residual[i], each operation rounded on its own; stores
// as in map_lanes.
template <class Target, bool Stream>
[[gnu::always_inline]] inline void dropout_add_lanes(const double* x, const double* mask,
                                                     const double* residual, double scale,
                                                     double* y, std::size_t n) {
    using L = simd::Lanes<Target, double>;
    using V = typename L::V;
    constexpr std::size_t W = L::kWidth;
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
        L::template put<Stream>(y + i, a);
        L::template put<Stream>(y + i + W, b);
    }
    if (i + W <= n) {
        L::template put<Stream>(y + i, lanes(i));
        i += W;
    }
    for (; i < n; ++i) y[i] = one(i);
    if constexpr (Stream) L::fence();
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

// A level's table: every loop instantiated with the level's Target.
template <class Target>
constexpr ElementLoops level_loops() {
    return {
        [](const double* x, double* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Target, double, true>(x, y, n, Relu{});
            map_lanes<Target, double, false>(x, y, n, Relu{});
        },
        [](const float* x, float* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Target, float, true>(x, y, n, Relu{});
            map_lanes<Target, float, false>(x, y, n, Relu{});
        },
        [](const double* x, double f, double* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Target, double, true>(x, y, n, Scale<double>{f});
            map_lanes<Target, double, false>(x, y, n, Scale<double>{f});
        },
        [](const float* x, float f, float* y, std::size_t n, bool stream) {
            if (stream) return map_lanes<Target, float, true>(x, y, n, Scale<float>{f});
            map_lanes<Target, float, false>(x, y, n, Scale<float>{f});
        },
        [](const double* const* leaves, std::size_t len, double* sums, std::size_t ahead) {
            sum_squares_leaves<Target, double>(leaves, len, sums, ahead);
        },
        [](const float* const* leaves, std::size_t len, float* sums, std::size_t ahead) {
            sum_squares_leaves<Target, float>(leaves, len, sums, ahead);
        },
        [](const double* x, const double* mask, const double* residual, double scale, double* y,
           std::size_t n, bool stream) {
            if (stream) return dropout_add_lanes<Target, true>(x, mask, residual, scale, y, n);
            dropout_add_lanes<Target, false>(x, mask, residual, scale, y, n);
        },
    };
}

}  // namespace tarnwick::core::elementwise

#pragma GCC diagnostic pop
