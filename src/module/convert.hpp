// Conversions between Python objects and the native values the kernels take and give.
#pragma once

#include <vector>

#include "module/ref.hpp"

namespace tarnwick::py {

// Argument conversions. A failure is raised as the argument error naming `param`.
double to_double(PyObject* obj, const char* param);
float to_float32(PyObject* obj, const char* param);  // rounded to nearest, ties to even
std::vector<double> to_vector(PyObject* obj, const char* param);
std::vector<std::vector<double>> to_matrix(PyObject* obj, const char* param);

// Result conversions.
Ref from_double(double value);
Ref from_vector(const std::vector<double>& values);
Ref from_matrix(const std::vector<std::vector<double>>& rows);

}  // namespace tarnwick::py
