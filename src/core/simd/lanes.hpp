// Lanes: the operations every kernel family is written over, once, for any vector level.
//
// A level is a Target (simd/portable.hpp, neon.hpp, avx2.hpp, avx512.hpp): its vector width
// and the few operations the compilers' generic vectors cannot spell (fused multiply-adds,
// streaming stores, table lookups, mask bits, conversions). Everything else here is written
// with those generic vectors, whose every lane operation is the IEEE operation of the scalar
// rule, so no level ever changes a bit.
//
// A family's per-level source instantiates its templates with that level's Target, a type of
// the level's own namespace: the linker keeps one copy of a template instantiation, and the
// copy a baseline caller runs must never be one built with wider instructions. For the same
// reason a per-level source calls no standard-library template that might be emitted out of
// line, and its entry points are flattened.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

// Every helper is inlined; no vector crosses a real call, so the ABI note about vectors wider
// than the baseline's registers does not apply (g++ and clang++ both know this pragma).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tarnwick::core::simd {

// The unsigned integer as wide as an element, for bit patterns.
template <class T>
struct SameWidthUint;
template <>
struct SameWidthUint<double> {
    using type = unsigned long long;
};
template <>
struct SameWidthUint<float> {
    using type = unsigned;
};

template <class Target, class E>
struct Lanes {
    using T = E;
    static constexpr std::size_t kBytes = Target::kBytes;
    static constexpr std::size_t kWidth = kBytes / sizeof(T);
    typedef T V __attribute__((vector_size(kBytes)));
    // The same vector at any element's address (a memcpy here made g++ bounce some loads
    // through the stack). Not may_alias, unlike the compilers' own unaligned intrinsics: a
    // vector of T aliases T alone, so the loop state around a load or store stays in registers
    // (may_alias cost the row-wise loops 5-25%).
    typedef T Unaligned __attribute__((vector_size(kBytes), aligned(sizeof(T))));
    using Uint = typename SameWidthUint<T>::type;
    typedef Uint Bits __attribute__((vector_size(kBytes)));

    [[gnu::always_inline]] static V load(const T* p) {
        return *reinterpret_cast<const Unaligned*>(p);
    }
    [[gnu::always_inline]] static void store(T* p, V v) { *reinterpret_cast<Unaligned*>(p) = v; }
    // Every lane set to x (adding x to a zero vector would turn -0.0 into +0.0), spelled as
    // one initializer so that it compiles to a broadcast (lane by lane, g++ inserted each).
    [[gnu::always_inline]] static V splat(T x) {
        return splat_lanes(x, std::make_index_sequence<kWidth>{});
    }

    // x * y + acc with one rounding; x * y - acc likewise (the negation is exact).
    // kHardwareFma: one instruction, not a library call per lane.
    static constexpr bool kHardwareFma = Target::kHardwareFma;
    [[gnu::always_inline]] static V fma(V x, V y, V acc) { return Target::fma(x, y, acc); }
    [[gnu::always_inline]] static V fms(V x, V y, V acc) { return Target::fma(x, y, -acc); }

    // A map's result: stored through the caches, or around them (`Stream`, to an address
    // aligned to a whole vector) where the level has such stores; fence() orders the latter
    // before what follows. Through the caches as a memcpy, which measured up to 8% faster than
    // store() in the element-wise maps.
    template <bool Stream>
    [[gnu::always_inline]] static void put(T* p, V v) {
        if constexpr (Stream && requires { Target::stream(p, v); })
            Target::stream(p, v);
        else
            std::memcpy(p, &v, sizeof v);
    }
    [[gnu::always_inline]] static void fence() {
        if constexpr (requires { Target::fence(); }) Target::fence();
    }

    [[gnu::always_inline]] static Bits bits(V v) { return __builtin_bit_cast(Bits, v); }
    [[gnu::always_inline]] static V from_bits(Bits b) { return __builtin_bit_cast(V, b); }
    // |v| by its sign bit, so that -0.0 and NaN lose their signs too.
    [[gnu::always_inline]] static V abs(V v) { return from_bits(bits(v) & ~bits(splat(T(-0.0)))); }
    [[gnu::always_inline]] static V sqrt(V v) {
        for (std::size_t i = 0; i < kWidth; ++i) v[i] = std::sqrt(v[i]);
        return v;
    }
    // m becomes v where v > m: a NaN v never wins (nor a NaN m ever loses). For vectors or
    // single elements.
    template <class X>
    [[gnu::always_inline]] static X keep_max(X v, X m) {
        return v > m ? v : m;
    }
    [[gnu::always_inline]] static T max_of_lanes(V v) {
        T m = v[0];
        for (std::size_t i = 1; i < kWidth; ++i) m = keep_max(v[i], m);
        return m;
    }
    [[gnu::always_inline]] static V negative_infinity() {
        return splat(-std::numeric_limits<T>::infinity());
    }
    // Lanes where a < b fails, NaN included, one bit each (lane i in bit i).
    [[gnu::always_inline]] static unsigned not_less_bits(V a, V b) {
        if constexpr (requires { Target::not_less_bits(a, b); }) {
            return Target::not_less_bits(a, b);
        } else {
            unsigned mask = 0;
            for (std::size_t i = 0; i < kWidth; ++i) mask |= unsigned{!(a[i] < b[i])} << i;
            return mask;
        }
    }

    // Whether the level loads a vector as two halves from two places in one step (an insert
    // from memory); elsewhere the transpose does all its stages in registers.
    static constexpr bool kLoadsHalves = requires(const T* p) { Target::load_halves(p, p); };
    // The kWidth / 2 values at lo, then the kWidth / 2 values at hi.
    [[gnu::always_inline]] static V load_halves(const T* lo, const T* hi)
        requires kLoadsHalves
    {
        return __builtin_bit_cast(V, Target::load_halves(lo, hi));
    }

    // W rows of W values become W columns: r[j][k] takes the old r[k][j].
    [[gnu::always_inline]] static void transpose(V (&r)[kWidth]) {
        if constexpr (kWidth == 8)
            transpose8(r);
        else
            transpose_stage<kWidth / 2>(r);
    }

    // The same for rows whose halves already sit where the transpose puts them: row x holds
    // the low halves of rows x and x + W/2 of the matrix, row x + W/2 their high halves (as
    // load_halves reads them), so only the stages within halves remain.
    [[gnu::always_inline]] static void transpose_within_halves(V (&r)[kWidth]) {
        transpose_stage<kWidth / 4>(r);
    }

private:
    template <std::size_t... I>
    [[gnu::always_inline]] static V splat_lanes(T x, std::index_sequence<I...>) {
        return V{((void)I, x)...};
    }

    // Swaps the off-diagonal B x B blocks of the 2 x 2 block matrix held by rows a and b.
    template <std::size_t B, std::size_t... J>
    [[gnu::always_inline]] static void swap_blocks(V& a, V& b, std::index_sequence<J...>) {
        const V lo = __builtin_shufflevector(a, b, ((J & B) == 0 ? J : kWidth + J - B)...);
        const V hi = __builtin_shufflevector(a, b, ((J & B) == 0 ? J + B : kWidth + J)...);
        a = lo;
        b = hi;
    }
    template <std::size_t B>
    [[gnu::always_inline]] static void transpose_stage(V (&r)[kWidth]) {
        if constexpr (B > 0) {
            for (std::size_t x = 0; x < kWidth; ++x) {
                if ((x & B) == 0) {
                    swap_blocks<B>(r[x], r[x + B], std::make_index_sequence<kWidth>{});
                }
            }
            transpose_stage<B / 2>(r);
        }
    }
    // Eight lanes in three steps whose shuffles stay within 128-bit halves until the last:
    // one instruction each with AVX2 (interleave, pairwise select, swap of halves).
    [[gnu::always_inline]] static void transpose8(V (&r)[kWidth]) {
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
};

}  // namespace tarnwick::core::simd

#pragma GCC diagnostic pop
