// The exact exponentials in four double lanes (eight float lanes) of AVX2 with FMA.
#include "core/exp/algorithm.hpp"
#include "core/simd/avx2.hpp"

namespace tarnwick::core::exact_exp {

constinit const Kernels avx2::vector = Algorithm<simd::avx2::Target>::kernels("avx2");

}  // namespace tarnwick::core::exact_exp
