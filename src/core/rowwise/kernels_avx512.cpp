// The row-wise loops in AVX-512's eight double lanes.
#include "core/rowwise/vector_kernels.hpp"
#include "core/simd/avx512.hpp"

namespace tarnwick::core::rowwise {

constinit const RowLoops avx512::table = level_kernels<simd::avx512::Target>();

}  // namespace tarnwick::core::rowwise
