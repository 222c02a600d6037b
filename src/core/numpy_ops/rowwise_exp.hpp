// The C library's exp, reached without its errno wrapper where that is possible.
#pragma once

namespace tarnwick::core {

using ExpFunction = double (*)(double);

// glibc's exp is a wrapper that calls the library's own exponential and then sets errno on
// overflow and underflow; that wrapper roughly doubles the cost of a call inside a loop.
// glibc also exports the inner function itself as __exp_finite, so where the loaded C library
// has it (and it agrees with exp on a few probes) it is returned; anywhere else, exp. Either
// way every value is exactly the one exp gives; only errno is left alone.
ExpFunction c_library_exp();

}  // namespace tarnwick::core
