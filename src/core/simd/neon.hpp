// The aarch64 baseline, the target's own: the portable level's 16-byte vectors, which are
// NEON's, with NEON's fused multiply-add in place of a call per lane.
#pragma once

#include <arm_neon.h>

#include "core/simd/portable.hpp"

namespace tarnwick::core::simd::neon {

struct Target : portable::Target {
    static constexpr bool kHardwareFma = true;
    template <class V>
    [[gnu::always_inline]] static V fma(V x, V y, V acc) {
        if constexpr (sizeof(acc[0]) == sizeof(double)) {
            using N = float64x2_t;
            return __builtin_bit_cast(
                V, vfmaq_f64(__builtin_bit_cast(N, acc), __builtin_bit_cast(N, x),
                             __builtin_bit_cast(N, y)));
        } else {
            using N = float32x4_t;
            return __builtin_bit_cast(
                V, vfmaq_f32(__builtin_bit_cast(N, acc), __builtin_bit_cast(N, x),
                             __builtin_bit_cast(N, y)));
        }
    }
};

}  // namespace tarnwick::core::simd::neon
