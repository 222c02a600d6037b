// The strided product step: C <- A·B for operands laid out any way a NumPy view can be.
#pragma once

#include "core/views.hpp"

namespace tarnwick::core {

// C <- A·B with A (m×k), B (k×n), C (m×n); C's prior contents are never read. A and B may have
// any signed steps, zero included; C must not overlap itself or the operands. k = 0 sets C to
// +0.0; m = 0 or n = 0 writes nothing. Single-threaded, on the calling thread. Sizes must agree;
// that is the caller's check.
//
// Every element is the same chain of fused multiply-adds over k, ascending from -0.0, whatever
// the shapes, layouts and vector level: a row's result never depends on the rest of the batch.
void gemm(const View2<double>& a, const View2<double>& b, const Out2<double>& c);
void gemm(const View2<float>& a, const View2<float>& b, const Out2<float>& c);

namespace gemm_impl {

template <class T>
struct Tiles;

// The same with the given tiles instead of this processor's: tests run every level's geometry.
void gemm_with(const Tiles<double>& tiles, const View2<double>& a, const View2<double>& b,
               const Out2<double>& c);
void gemm_with(const Tiles<float>& tiles, const View2<float>& a, const View2<float>& b,
               const Out2<float>& c);

}  // namespace gemm_impl

}  // namespace tarnwick::core
