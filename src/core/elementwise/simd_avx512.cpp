// The element-wise loops with 64-byte vectors; compiled with this level's instruction flags.
#include <immintrin.h>

#include <cstring>

#include "core/elementwise/lanes.hpp"

namespace tarnwick::core::simd::avx512 {

namespace {

struct Tag {
    template <bool Stream, class T, class V>
    static void put(T* p, V v) {
        if constexpr (!Stream) {
            std::memcpy(p, &v, sizeof v);
        } else if constexpr (sizeof(T) == sizeof(double)) {
            _mm512_stream_pd(p, reinterpret_cast<__m512d>(v));
        } else {
            _mm512_stream_ps(p, reinterpret_cast<__m512>(v));
        }
    }
    static void fence() { _mm_sfence(); }
};

}  // namespace

Kernels kernels() { return level_kernels<Tag, 64>(); }

}  // namespace tarnwick::core::simd::avx512
