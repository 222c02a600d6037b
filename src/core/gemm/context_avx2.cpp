// The AVX2 level's tiles in its 32-byte lanes.
#include "core/gemm/kernel.hpp"
#include "core/simd/avx2.hpp"

namespace tarnwick::core::gemm_impl {

constinit const Contexts avx2::contexts = make_contexts<simd::avx2::Target, kAvx2Tile>();

}  // namespace tarnwick::core::gemm_impl
