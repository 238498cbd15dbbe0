// The one place that includes the interpreter's headers. The build defines
// Py_LIMITED_API, so only the stable ABI is visible to the module.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
