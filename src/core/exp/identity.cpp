#include "core/exp/identity.hpp"

#include <math.h>

#include "core/platform/library_symbols.hpp"

namespace tarnwick::core::exact_exp {

namespace {

// glibc's table-driven exp arrived in 2.28 (expf in 2.27), which is where the range starts:
// the release wheels are built against 2.28 and Debian 11 runs 2.31. The kernels were checked
// bit for bit against the library (tools/verify_exp, every variant) on 2.36 (Debian 12) and
// 2.43 (Debian unstable), the last version accepted: a newer glibc gets the library calls
// until it has been checked too. The guard's value check still runs on every accepted version.
constexpr platform::LibraryVersion kFirstVerified{2, 28};
constexpr platform::LibraryVersion kLastVerified{2, 43};

// The symbol versions a build may bind: today's (exp@GLIBC_2.29, expf@GLIBC_2.27), and the
// base versions that a build against an older glibc binds (x86-64 2.2.5, aarch64 2.17), which
// are compatibility wrappers around the same code.
constexpr auto kExpVersions = {"GLIBC_2.29", "GLIBC_2.2.5", "GLIBC_2.17"};
constexpr auto kExpfVersions = {"GLIBC_2.27", "GLIBC_2.2.5", "GLIBC_2.17"};

}  // namespace

bool library_is_verified_glibc() {
    const auto version = platform::glibc_version();
    if (!version || *version < kFirstVerified || *version > kLastVerified) return false;
    // The addresses this module's own references resolve to: a preloaded exp shows here.
    const auto exp_double = static_cast<double (*)(double)>(::exp);
    const auto exp_float = static_cast<float (*)(float)>(::expf);
    return platform::is_glibc_libm_symbol(reinterpret_cast<const void*>(exp_double), "exp",
                                          kExpVersions) &&
           platform::is_glibc_libm_symbol(reinterpret_cast<const void*>(exp_float), "expf",
                                          kExpfVersions);
}

}  // namespace tarnwick::core::exact_exp
