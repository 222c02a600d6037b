// The AVX2 level: 32-byte vectors with FMA. Include only from sources built with this level's
// flags (`*_avx2.cpp`).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/simd/lanes.hpp"

namespace tarnwick::core::simd::avx2 {

struct Target {
    static constexpr std::size_t kBytes = 32;
    static constexpr bool kHardwareFma = true;

    static __m256d fma(__m256d x, __m256d y, __m256d acc) { return _mm256_fmadd_pd(x, y, acc); }
    static __m256 fma(__m256 x, __m256 y, __m256 acc) { return _mm256_fmadd_ps(x, y, acc); }
    static void stream(double* p, __m256d v) { _mm256_stream_pd(p, v); }
    static void stream(float* p, __m256 v) { _mm256_stream_ps(p, v); }
    static void fence() { _mm_sfence(); }
    // Two doubles (four floats) at lo, then as many at hi.
    static __m256d load_halves(const double* lo, const double* hi) {
        return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(lo)), _mm_loadu_pd(hi), 1);
    }
    static __m256 load_halves(const float* lo, const float* hi) {
        return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(lo)), _mm_loadu_ps(hi), 1);
    }
    static unsigned not_less_bits(__m256d a, __m256d b) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_NLT_UQ)));
    }
    static unsigned not_less_bits(__m256 a, __m256 b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NLT_UQ)));
    }

    // table[index] of 64-bit entries.
    template <std::size_t N, class I>
    static I lookup(const std::uint64_t* table, I index) {
        const auto* entries = reinterpret_cast<const long long*>(table);
        return __builtin_bit_cast(
            I, _mm256_i64gather_epi64(entries, __builtin_bit_cast(__m256i, index), 8));
    }
    // table[2 index] and table[2 index + 1]: one 16-byte load per lane, then unpacked, which
    // measured faster than two gathers.
    template <class I>
    static void lookup_pairs(const std::uint64_t* table, I index, I& first, I& second) {
        alignas(32) std::uint64_t i[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(i), __builtin_bit_cast(__m256i, index));
        auto pair = [table](std::uint64_t k) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(table + 2 * k));
        };
        const __m256i lanes02 =
            _mm256_inserti128_si256(_mm256_castsi128_si256(pair(i[0])), pair(i[2]), 1);
        const __m256i lanes13 =
            _mm256_inserti128_si256(_mm256_castsi128_si256(pair(i[1])), pair(i[3]), 1);
        first = __builtin_bit_cast(I, _mm256_unpacklo_epi64(lanes02, lanes13));
        second = __builtin_bit_cast(I, _mm256_unpackhi_epi64(lanes02, lanes13));
    }

    // Floats of one vector as doubles, low half and high half; and back, rounded.
    static __m256d widen_low(__m256 v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
    static __m256d widen_high(__m256 v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }
    static __m256 narrow(__m256d low, __m256d high) {
        return _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
    }
};

}  // namespace tarnwick::core::simd::avx2
