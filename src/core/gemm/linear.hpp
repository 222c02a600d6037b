// The matrix product and the fused dense layer (product, bias, optional ReLU) on strided views.
#pragma once

#include "core/memory/buffer.hpp"
#include "core/views.hpp"

namespace tarnwick::core {

// a·b as a new row-major (m, n) matrix. A mismatch of the inner sizes is a ShapeError naming
// both shapes; a result too large to count in bytes is a Fault, raised before allocating.
Strided<double, 2> matmul(const View2<double>& a, const View2<double>& b);
// The same; its mismatch message carries no shapes.
Strided<float, 2> matmul(const View2<float>& a, const View2<float>& b);

enum class Activation { None, Relu };

// input·weights + bias on every row, then the activation, as a new (m, n) matrix. Column-major
// when input and weights both have a row step of exactly 1, else row-major. ShapeError when
// the inner sizes differ, then when the bias length is not n.
template <class T>
Strided<T, 2> linear(const View2<T>& input, const View2<T>& weights, const View1<T>& bias,
                     Activation activation);

// The same result laid out row after row, as one vector of m·n values.
template <class T>
Buffer<T> linear_flat(const View2<T>& input, const View2<T>& weights, const View1<T>& bias,
                      Activation activation);

}  // namespace tarnwick::core
