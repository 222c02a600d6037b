// The one place that pulls in the interpreter's headers, so every file sees the same settings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
