// The element-wise loops with 32-byte vectors; compiled with this level's instruction flags.
#include <immintrin.h>

#include <cstring>

#include "core/elementwise/lanes.hpp"

namespace tarnwick::core::simd::avx2 {

namespace {

struct Tag {
    template <bool Stream, class T, class V>
    static void put(T* p, V v) {
        if constexpr (!Stream) {
            std::memcpy(p, &v, sizeof v);
        } else if constexpr (sizeof(T) == sizeof(double)) {
            _mm256_stream_pd(p, reinterpret_cast<__m256d>(v));
        } else {
            _mm256_stream_ps(p, reinterpret_cast<__m256>(v));
        }
    }
    static void fence() { _mm_sfence(); }
};

}  // namespace

Kernels kernels() { return level_kernels<Tag, 32>(); }

}  // namespace tarnwick::core::simd::avx2
