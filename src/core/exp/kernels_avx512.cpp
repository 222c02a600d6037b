// The exact exponentials in eight double lanes (sixteen float lanes) of AVX-512 F and DQ.
#include <immintrin.h>

// g++ 12 warns about the deliberately undefined vectors inside its own AVX-512 intrinsics
// (_mm512_undefined_pd and the like) once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <cstdint>

#include "core/exp/algorithm.hpp"

namespace tarnwick::core::exact_exp::avx512 {

namespace {

struct Lanes {
    using D = __m512d;
    using I = __m512i;
    using F = __m512;
    using Mask = __mmask8;
    static constexpr std::size_t kLanes = 8;

    static D splat(double v) { return _mm512_set1_pd(v); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D fmadd(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D fmsub(D a, D b, D c) { return _mm512_fmsub_pd(a, b, c); }
    static D negate(D v) { return _mm512_xor_pd(v, _mm512_set1_pd(-0.0)); }
    static D abs(D v) { return _mm512_andnot_pd(_mm512_set1_pd(-0.0), v); }
    static Mask less(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static D select(Mask m, D yes, D no) { return _mm512_mask_blend_pd(m, no, yes); }
    // Lanes where a < b fails, NaN included, one bit each.
    static unsigned not_less_mask(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NLT_UQ); }

    static I as_int(D v) { return _mm512_castpd_si512(v); }
    static D as_double(I v) { return _mm512_castsi512_pd(v); }
    static I add(I a, I b) { return _mm512_add_epi64(a, b); }
    static I low_bits(I v, std::uint64_t mask) {
        return _mm512_and_si512(v, _mm512_set1_epi64(static_cast<long long>(mask)));
    }
    template <int K>
    static I shift_left(I v) {
        return _mm512_slli_epi64(v, K);
    }
    // table[index] for a table of N entries; a table of 32 sits in four registers, where two
    // permutes and a blend replace a gather that measured slower than the whole polynomial.
    template <std::size_t N>
    static I lookup(const std::uint64_t* table, I index) {
        if constexpr (N == 32) {
            const auto part = [table](int i) { return _mm512_load_si512(table + 8 * i); };
            const I low = _mm512_permutex2var_epi64(part(0), index, part(1));
            const I high = _mm512_permutex2var_epi64(part(2), index, part(3));
            const __mmask8 upper = _mm512_test_epi64_mask(index, _mm512_set1_epi64(16));
            return _mm512_mask_blend_epi64(upper, low, high);
        } else {
            return _mm512_i64gather_epi64(index, table, 8);
        }
    }
    // table[2 index] and table[2 index + 1]: one 16-byte load per lane into its quarter of a
    // register, then unpacked, which measured faster than two gathers.
    static void lookup_pairs(const std::uint64_t* table, I index, D& first, I& second) {
        alignas(64) std::uint64_t i[kLanes];
        _mm512_store_si512(i, index);
        const auto pair = [table](std::uint64_t k) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(table + 2 * k));
        };
        const auto quarters = [&pair](std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                      std::uint64_t d) {
            const __m256i ab = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(a)), pair(b), 1);
            const __m256i cd = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(c)), pair(d), 1);
            return _mm512_inserti64x4(_mm512_castsi256_si512(ab), cd, 1);
        };
        const I even = quarters(i[0], i[2], i[4], i[6]);
        const I odd = quarters(i[1], i[3], i[5], i[7]);
        first = _mm512_castsi512_pd(_mm512_unpacklo_epi64(even, odd));
        second = _mm512_unpackhi_epi64(even, odd);
    }

    static F splat_f(float v) { return _mm512_set1_ps(v); }
    static F load_f(const float* p) { return _mm512_loadu_ps(p); }
    static void store_f(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F add_f(F a, F b) { return _mm512_add_ps(a, b); }
    static F div_f(F a, F b) { return _mm512_div_ps(a, b); }
    static F negate_f(F v) { return _mm512_xor_ps(v, _mm512_set1_ps(-0.0f)); }
    static F abs_f(F v) { return _mm512_andnot_ps(_mm512_set1_ps(-0.0f), v); }
    static unsigned not_less_mask_f(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLT_UQ); }
    static D widen_low(F v) { return _mm512_cvtps_pd(_mm512_castps512_ps256(v)); }
    static D widen_high(F v) { return _mm512_cvtps_pd(_mm512_extractf32x8_ps(v, 1)); }
    static F narrow(D low, D high) {
        return _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(low)),
                                  _mm512_cvtpd_ps(high), 1);
    }
};

}  // namespace

constinit const Kernels vector = Algorithm<Lanes>::kernels("avx512");

}  // namespace tarnwick::core::exact_exp::avx512
