// The element-wise loops in AVX2's 32-byte vectors.
#include "core/elementwise/vector_loops.hpp"
#include "core/simd/avx2.hpp"

namespace tarnwick::core::elementwise {

constinit const ElementLoops avx2::table = level_loops<simd::avx2::Target>();

}  // namespace tarnwick::core::elementwise
