// The AVX-512 level (F, DQ, BW, VL): 64-byte vectors with FMA and mask registers. Include only
// from sources built with this level's flags (`*_avx512.cpp`).
#pragma once

#include <immintrin.h>

// g++ 12 warns about the deliberately undefined vectors inside its own AVX-512 intrinsics
// (_mm512_undefined_pd and the like) once they are inlined into a kernel.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cstddef>
#include <cstdint>

#include "core/simd/lanes.hpp"

namespace tarnwick::core::simd::avx512 {

struct Target {
    static constexpr std::size_t kBytes = 64;
    static constexpr bool kHardwareFma = true;

    // Doubles.
    static __m512d fma(__m512d x, __m512d y, __m512d acc) { return _mm512_fmadd_pd(x, y, acc); }
    static void stream(double* p, __m512d v) { _mm512_stream_pd(p, v); }
    static unsigned not_less_bits(__m512d a, __m512d b) {
        return _mm512_cmp_pd_mask(a, b, _CMP_NLT_UQ);
    }
    // Floats.
    static __m512 fma(__m512 x, __m512 y, __m512 acc) { return _mm512_fmadd_ps(x, y, acc); }
    static void stream(float* p, __m512 v) { _mm512_stream_ps(p, v); }
    static unsigned not_less_bits(__m512 a, __m512 b) {
        return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ);
    }
    // Four doubles (eight floats) at lo, then as many at hi.
    static __m512d load_halves(const double* lo, const double* hi) {
        return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(lo)), _mm256_loadu_pd(hi),
                                  1);
    }
    static __m512 load_halves(const float* lo, const float* hi) {
        return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(lo)), _mm256_loadu_ps(hi),
                                  1);
    }
    // Orders the streaming stores before what follows.
    static void fence() { _mm_sfence(); }

    // table[index] for a table of N 64-bit entries; a table of 32 sits in four registers,
    // where two permutes and a blend replace a gather that measured slower than the whole
    // polynomial of the exponential.
    template <std::size_t N, class I>
    static I lookup(const std::uint64_t* table, I bits) {
        const __m512i index = __builtin_bit_cast(__m512i, bits);
        if constexpr (N == 32) {
            const auto part = [table](int i) { return _mm512_load_si512(table + 8 * i); };
            const __m512i low = _mm512_permutex2var_epi64(part(0), index, part(1));
            const __m512i high = _mm512_permutex2var_epi64(part(2), index, part(3));
            const __mmask8 upper = _mm512_test_epi64_mask(index, _mm512_set1_epi64(16));
            return __builtin_bit_cast(I, _mm512_mask_blend_epi64(upper, low, high));
        } else {
            return __builtin_bit_cast(I, _mm512_i64gather_epi64(index, table, 8));
        }
    }
    // table[low] and table[high] for the two halves of a float vector, for a table of 32
    // 64-bit entries given as its 32-bit halves (`words`: 32 low halves, then 32 high halves):
    // one two-register permute reads each half for all sixteen lanes, after one that gathers
    // both index vectors into one register in the order that makes the final interleave land
    // in lane order. Three permutes and two interleaves instead of the four permutes, two
    // tests and two blends of two lookups (the float sigmoid measured 7% faster on Zen 4).
    template <class I>
    static void lookup_halves(const std::uint32_t* words, I low, I high, I& first, I& second) {
        const __m512i order =
            _mm512_setr_epi32(0, 2, 16, 18, 4, 6, 20, 22, 8, 10, 24, 26, 12, 14, 28, 30);
        const __m512i index = _mm512_permutex2var_epi32(__builtin_bit_cast(__m512i, low), order,
                                                        __builtin_bit_cast(__m512i, high));
        const auto part = [words](int i) { return _mm512_load_si512(words + 16 * i); };
        const __m512i lo = _mm512_permutex2var_epi32(part(0), index, part(1));
        const __m512i hi = _mm512_permutex2var_epi32(part(2), index, part(3));
        first = __builtin_bit_cast(I, _mm512_unpacklo_epi32(lo, hi));
        second = __builtin_bit_cast(I, _mm512_unpackhi_epi32(lo, hi));
    }
    // table[2 index] and table[2 index + 1]: one 16-byte load per lane into its quarter of a
    // register, then unpacked, which measured faster than two gathers.
    template <class I>
    static void lookup_pairs(const std::uint64_t* table, I index, I& first, I& second) {
        alignas(64) std::uint64_t i[8];
        _mm512_store_si512(i, __builtin_bit_cast(__m512i, index));
        const auto pair = [table](std::uint64_t k) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(table + 2 * k));
        };
        const auto quarters = [&pair](std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                      std::uint64_t d) {
            const __m256i ab = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(a)), pair(b), 1);
            const __m256i cd = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(c)), pair(d), 1);
            return _mm512_inserti64x4(_mm512_castsi256_si512(ab), cd, 1);
        };
        const __m512i even = quarters(i[0], i[2], i[4], i[6]);
        const __m512i odd = quarters(i[1], i[3], i[5], i[7]);
        first = __builtin_bit_cast(I, _mm512_unpacklo_epi64(even, odd));
        second = __builtin_bit_cast(I, _mm512_unpackhi_epi64(even, odd));
    }

    // Floats of one vector as doubles, low half and high half; and back, rounded.
    static __m512d widen_low(__m512 v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
    static __m512d widen_high(__m512 v) { return _mm512_cvtps_pd(_mm512_extractf32x8_ps(v, 1)); }
    static __m512 narrow(__m512d low, __m512d high) {
        return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(low)),
                                  _mm512_cvtpd_ps(high), 1);
    }
};

}  // namespace tarnwick::core::simd::avx512
