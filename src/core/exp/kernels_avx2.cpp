// The exact exponentials in four double lanes (eight float lanes) of AVX2 with FMA.
#include <immintrin.h>

#include <cstdint>

#include "core/exp/algorithm.hpp"

namespace tarnwick::core::exact_exp::avx2 {

namespace {

struct Lanes {
    using D = __m256d;
    using I = __m256i;
    using F = __m256;
    using Mask = __m256d;
    static constexpr std::size_t kLanes = 4;

    static D splat(double v) { return _mm256_set1_pd(v); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D fmsub(D a, D b, D c) { return _mm256_fmsub_pd(a, b, c); }
    static D negate(D v) { return _mm256_xor_pd(v, _mm256_set1_pd(-0.0)); }
    static D abs(D v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
    static Mask less(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static D select(Mask m, D yes, D no) { return _mm256_blendv_pd(no, yes, m); }
    // Lanes where a < b fails, NaN included, one bit each.
    static unsigned not_less_mask(D a, D b) {
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_NLT_UQ)));
    }

    static I as_int(D v) { return _mm256_castpd_si256(v); }
    static D as_double(I v) { return _mm256_castsi256_pd(v); }
    static I add(I a, I b) { return _mm256_add_epi64(a, b); }
    static I low_bits(I v, std::uint64_t mask) {
        return _mm256_and_si256(v, _mm256_set1_epi64x(static_cast<long long>(mask)));
    }
    template <int K>
    static I shift_left(I v) {
        return _mm256_slli_epi64(v, K);
    }
    template <std::size_t N>
    static I lookup(const std::uint64_t* table, I index) {
        return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
    }
    // table[2 index] and table[2 index + 1]: one 16-byte load per lane, then unpacked, which
    // measured faster than two gathers.
    static void lookup_pairs(const std::uint64_t* table, I index, D& first, I& second) {
        alignas(32) std::uint64_t i[kLanes];
        _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
        auto pair = [table](std::uint64_t k) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(table + 2 * k));
        };
        const I lanes02 =
            _mm256_inserti128_si256(_mm256_castsi128_si256(pair(i[0])), pair(i[2]), 1);
        const I lanes13 =
            _mm256_inserti128_si256(_mm256_castsi128_si256(pair(i[1])), pair(i[3]), 1);
        first = _mm256_castsi256_pd(_mm256_unpacklo_epi64(lanes02, lanes13));
        second = _mm256_unpackhi_epi64(lanes02, lanes13);
    }

    static F splat_f(float v) { return _mm256_set1_ps(v); }
    static F load_f(const float* p) { return _mm256_loadu_ps(p); }
    static void store_f(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F add_f(F a, F b) { return _mm256_add_ps(a, b); }
    static F div_f(F a, F b) { return _mm256_div_ps(a, b); }
    static F negate_f(F v) { return _mm256_xor_ps(v, _mm256_set1_ps(-0.0f)); }
    static F abs_f(F v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }
    static unsigned not_less_mask_f(F a, F b) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NLT_UQ)));
    }
    static D widen_low(F v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
    static D widen_high(F v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }
    static F narrow(D low, D high) {
        return _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
    }
};

}  // namespace

constinit const Kernels vector = Algorithm<Lanes>::kernels("avx2");

}  // namespace tarnwick::core::exact_exp::avx2
