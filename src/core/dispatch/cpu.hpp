// The processor's vector level, found once. Families choose their variant for it through
// dispatch.hpp; their per-level sources are written over the lanes of simd/.
#pragma once

namespace tarnwick::core::cpu {

enum class Level : int {
    baseline = 0,  // the target's baseline (SSE2 on x86-64, NEON on aarch64)
    avx2 = 1,      // AVX2 and FMA
    avx512 = 2,    // AVX-512 F, DQ, BW and VL
};

// The highest level this processor and its operating system support, capped by the environment
// variable TARNWICK_CPU (`baseline`, `avx2` or `avx512`; any other value caps nothing). Read
// once, on first use.
Level level();

const char* name(Level level);

}  // namespace tarnwick::core::cpu

// Whether the `*_avx2.cpp` and `*_avx512.cpp` variants are built (x86-64 only); families see it
// as dispatch::kX86Levels.
#if defined(__x86_64__) || defined(_M_X64)
#define TARNWICK_X86_VARIANTS 1
#else
#define TARNWICK_X86_VARIANTS 0
#endif
