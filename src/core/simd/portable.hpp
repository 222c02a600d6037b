// The portable level: 16-byte vectors, which every 64-bit target has (SSE2 on x86-64). A fused
// multiply-add is a library call per lane (one instruction where the target has it), and
// stores always go through the caches.
#pragma once

#include <cmath>
#include <cstddef>

#include "core/simd/lanes.hpp"

namespace tarnwick::core::simd::portable {

struct Target {
    static constexpr std::size_t kBytes = 16;
    // Whether fma() is one instruction (a library call per lane here).
    static constexpr bool kHardwareFma = false;

    template <class V>
    [[gnu::always_inline]] static V fma(V x, V y, V acc) {
        for (std::size_t i = 0; i < sizeof(V) / sizeof(acc[0]); ++i) {
            acc[i] = std::fma(x[i], y[i], acc[i]);
        }
        return acc;
    }
};

}  // namespace tarnwick::core::simd::portable
