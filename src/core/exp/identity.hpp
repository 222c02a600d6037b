// The first line of the exponential's guard: the vector kernels follow glibc's exp and expf
// (2.28 and later), so they may run only where the process's calls reach exactly that code.
// Comparing values on sample arguments cannot prove it (an exp that differs in one narrow range
// passes any sample); this checks the identity of the functions themselves.
#pragma once

namespace tarnwick::core::exact_exp {

// Whether the exp and expf that this module's calls bind to are glibc's own, from the libm of
// a glibc version the vector kernels are verified against (see identity.cpp).
bool library_is_verified_glibc();

}  // namespace tarnwick::core::exact_exp
