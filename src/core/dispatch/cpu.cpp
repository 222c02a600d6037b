#include "core/dispatch/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tarnwick::core::cpu {

namespace {

#if TARNWICK_X86_VARIANTS
// Asked of the processor directly rather than through __builtin_cpu_supports: that builtin reads
// a table the compiler's runtime fills in (__cpu_model), which zig's runtime lacks, and whose
// layout clang and GCC's libgcc (the pair that builds the release wheels) need not agree on.
struct Registers {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

Registers cpuid(unsigned leaf, unsigned subleaf = 0) {
    Registers r;
    __asm__("cpuid" : "=a"(r.a), "=b"(r.b), "=c"(r.c), "=d"(r.d) : "a"(leaf), "c"(subleaf));
    return r;
}

bool bit(unsigned word, int index) { return ((word >> index) & 1u) != 0; }

Level detect() {
    const unsigned highest_leaf = cpuid(0).a;
    if (highest_leaf < 7) return Level::baseline;
    const Registers basic = cpuid(1);
    // The operating system must save the wider registers on a context switch (OSXSAVE, then
    // XCR0: SSE and AVX state for AVX2, also the mask and upper-register state for AVX-512).
    if (!bit(basic.c, 27)) return Level::baseline;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    const bool avx_state = (xcr0 & 0x6u) == 0x6u;
    const bool avx512_state = (xcr0 & 0xe6u) == 0xe6u;
    const bool avx_fma = bit(basic.c, 28) && bit(basic.c, 12);
    const Registers extended = cpuid(7);
    const bool avx2 = bit(extended.b, 5);
    const bool avx512 = bit(extended.b, 16) && bit(extended.b, 17) && bit(extended.b, 30) &&
                        bit(extended.b, 31);  // F, DQ, BW, VL
    if (avx512_state && avx_fma && avx2 && avx512) return Level::avx512;
    if (avx_state && avx_fma && avx2) return Level::avx2;
    return Level::baseline;
}
#else
Level detect() { return Level::baseline; }
#endif

Choice choose_level() {
    Choice made{detect(), Level::baseline, {}};
    made.chosen = made.supported;
    const char* cap = std::getenv("TARNWICK_CPU");
    if (cap == nullptr || *cap == '\0') return made;  // unset and empty both cap nothing
    for (Level l : {Level::baseline, Level::avx2, Level::avx512}) {
        if (std::strcmp(cap, name(l)) == 0) {
            if (l < made.chosen) made.chosen = l;
            return made;
        }
    }
    made.ignored_cap = cap;
    return made;
}

}  // namespace

const Choice& choice() {
    static const Choice made = choose_level();
    return made;
}

Level level() { return choice().chosen; }

const char* name(Level l) {
    switch (l) {
        case Level::avx2:
            return "avx2";
        case Level::avx512:
            return "avx512";
        case Level::baseline:
            break;
    }
    return "baseline";
}

}  // namespace tarnwick::core::cpu
