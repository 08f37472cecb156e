// The parts of vok_math._ext, each defined in its own file and listed in
// module.cpp's table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vok::ext {

// The array layer (ufunc*.cpp): the function ufuncs().
int add_ufunc_part(PyObject* module);

// Engine access for vok_math.discover (engine*.cpp).
int add_engine(PyObject* module);
}  // namespace vok::ext
