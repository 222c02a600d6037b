#include "core/dispatch/cpu.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tarnwick::core::cpu {

namespace {

Level detect() {
#if TARNWICK_X86_VARIANTS
    // The compiler's own start-up code may not have run yet when a kernel is first picked.
    __builtin_cpu_init();
    // These checks include the operating system's support for the wider registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("fma")) {
        return Level::avx512;
    }
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Level::avx2;
#endif
    return Level::baseline;
}

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
