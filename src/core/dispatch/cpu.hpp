// The processor's vector level, found once. Families choose their variant for it through
// dispatch.hpp; their per-level sources are written over the lanes of simd/.
#pragma once

#include <string>

namespace tarnwick::core::cpu {

enum class Level : int {
    baseline = 0,  // the target's baseline (SSE2 on x86-64, NEON on aarch64)
    avx2 = 1,      // AVX2 and FMA
    avx512 = 2,    // AVX-512 F, DQ, BW and VL
};

// How the level was chosen, worked out once, on first use.
struct Choice {
    Level supported;  // the highest level this processor and its operating system support
    Level chosen;     // `supported`, capped by the environment variable TARNWICK_CPU
    // A non-empty TARNWICK_CPU that names no level (`baseline`, `avx2`, `avx512`): it caps
    // nothing, and the module warns the user about it.
    std::string ignored_cap;
};
const Choice& choice();

// The level the kernels run at: choice().chosen.
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
