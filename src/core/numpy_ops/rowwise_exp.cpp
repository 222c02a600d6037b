#include "core/numpy_ops/rowwise_exp.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__GLIBC__)
#include <dlfcn.h>
#endif

namespace tarnwick::core {

namespace {

double library_exp(double x) { return std::exp(x); }

// Same bits as exp over a spread of arguments, infinities and underflow included.
bool agrees_with_exp(ExpFunction candidate) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double probes[] = {0.0,    -0.0,  1.0,    -1.0,   0.5,   -2.75, 1e-300, -1e-17,
                             -700.5, 709.7, -745.2, -746.0, 710.0, -inf,  inf,    -0.1234567};
    for (double x : probes) {
        if (std::bit_cast<std::uint64_t>(candidate(x)) !=
            std::bit_cast<std::uint64_t>(std::exp(x))) {
            return false;
        }
    }
    return true;
}

ExpFunction find_exp() {
#if defined(__GLIBC__)
    // Only a C library that is already loaded is asked; nothing new is loaded.
    if (void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD)) {
        auto inner = reinterpret_cast<ExpFunction>(dlvsym(libm, "__exp_finite", "GLIBC_2.15"));
        dlclose(libm);  // still loaded: this module links against it
        if (inner && agrees_with_exp(inner)) return inner;
    }
#endif
    return library_exp;
}

}  // namespace

ExpFunction c_library_exp() {
    static const ExpFunction exp = find_exp();
    return exp;
}

}  // namespace tarnwick::core
