// The level every processor of the target runs: NEON's own on aarch64, the portable vectors
// elsewhere. Sources of the baseline level include this and name `simd::baseline::Target`.
#pragma once

#if defined(__aarch64__)
#include "core/simd/neon.hpp"
namespace tarnwick::core::simd {
namespace baseline = neon;
}
#else
#include "core/simd/portable.hpp"
namespace tarnwick::core::simd {
namespace baseline = portable;
}
#endif
