// Notes that tell a caller what to fix. A refused argument or a shape mismatch keeps its exact
// message; the note (PEP 678, shown under the message in a traceback) says what was expected
// and what was given.
#pragma once

#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "module/python.hpp"

namespace tarnwick::py {

// "expected a 2-D float64 array, got a 1-D float32 array of shape (5,)", with a way to convert
// where there is one. Empty if `given` cannot be described (its attributes raised).
std::string array_hint(const char* param, PyObject* given, const char* dtype, int ndim) noexcept;

// "input has shape (4, 8), weights (4, 8): input's columns must equal weights' rows".
std::string shape_hint(const core::ShapeError& error);

// Attaches `note` to the exception instance `exc`; a failure to do so leaves it without one.
void add_note(PyObject* exc, std::string_view note) noexcept;

}  // namespace tarnwick::py
