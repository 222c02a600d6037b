// The register tiles of every vector level, and the one the processor runs.
#pragma once

#include "core/dispatch/cpu.hpp"
#include "core/gemm/kernel.hpp"

namespace tarnwick::core::gemm_impl {

// The tiles for cpu::level(), picked once.
template <class T>
const Tiles<T>& tiles();

namespace portable {
extern const Tiles<double> kF64;
extern const Tiles<float> kF32;
}  // namespace portable

#if TARNWICK_X86_VARIANTS
namespace avx2 {
extern const Tiles<double> kF64;
extern const Tiles<float> kF32;
}  // namespace avx2

namespace avx512 {
extern const Tiles<double> kF64;
extern const Tiles<float> kF32;
}  // namespace avx512
#endif

}  // namespace tarnwick::core::gemm_impl
