// Kernels on vectors converted from plain Python lists.
#pragma once

#include <span>
#include <vector>

namespace tarnwick::core {

using Matrix = std::vector<std::vector<double>>;

// Σ x² summed left to right from -0.0; EmptyInput or Overflow as KernelError.
double sum_of_squares(std::span<const double> numbers);

// data[i] * factor for every element, on the worker pool; EmptyInput as KernelError.
std::vector<double> parallel_transform(std::span<const double> data, double factor);

// The product of two row-major matrices, each entry summed left to right from -0.0.
Matrix matrix_multiply(const Matrix& a, const Matrix& b);

}  // namespace tarnwick::core
