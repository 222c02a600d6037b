// The row-wise loops in AVX2's four double lanes.
#include "core/rowwise/vector_kernels.hpp"
#include "core/simd/avx2.hpp"

namespace tarnwick::core::rowwise {

constinit const RowLoops avx2::table = level_kernels<simd::avx2::Target>();

}  // namespace tarnwick::core::rowwise
