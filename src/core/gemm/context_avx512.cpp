// The AVX-512 level's tiles in its 64-byte lanes.
#include "core/gemm/kernel.hpp"
#include "core/simd/avx512.hpp"

namespace tarnwick::core::gemm_impl {

constinit const Contexts avx512::contexts =
    make_contexts<simd::avx512::Target, kAvx512Tile, kAvx512Blocking>();

}  // namespace tarnwick::core::gemm_impl
