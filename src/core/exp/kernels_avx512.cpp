// The exact exponentials in eight double lanes (sixteen float lanes) of AVX-512 F and DQ.
#include "core/exp/algorithm.hpp"
#include "core/simd/avx512.hpp"

namespace tarnwick::core::exact_exp {

constinit const Kernels avx512::vector = Algorithm<simd::avx512::Target>::kernels("avx512");

}  // namespace tarnwick::core::exact_exp
