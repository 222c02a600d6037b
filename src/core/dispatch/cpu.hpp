// The processor's vector level, found once, and the one place where kernel families pick the
// variant they run.
//
// A family builds its loops once per level: a portable variant that every target compiles, and
// on x86-64 variants in sources named `*_avx2.cpp` and `*_avx512.cpp`, which the build compiles
// with that level's instruction flags. Those sources keep everything in a namespace of their
// level and use no standard-library templates that might be emitted out of line: the linker
// keeps one copy of such a function, and the copy built for AVX-512 must never be the one that
// baseline code calls.
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

// The variant for level(): the given one of the highest level at or below it. A family with no
// variant at some level passes nullptr there.
template <class F>
F choose(F baseline, F avx2, F avx512) {
    const Level l = level();
    if (l >= Level::avx512 && avx512) return avx512;
    if (l >= Level::avx2 && avx2) return avx2;
    return baseline;
}

}  // namespace tarnwick::core::cpu

// Whether the `*_avx2.cpp` and `*_avx512.cpp` variants are built (x86-64 only); a family refers
// to their functions only under this.
#if defined(__x86_64__) || defined(_M_X64)
#define TARNWICK_X86_VARIANTS 1
#else
#define TARNWICK_X86_VARIANTS 0
#endif
