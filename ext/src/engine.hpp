// Engine access for vok_math.discover: shared pieces of the engine part's
// files (engine.cpp: search and evaluation; engine_pickle.cpp: rebuilding
// vok_core's search results).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_error.hpp"

namespace vok::ext {

// A Python exception is set; unwinds to the entry point, which returns null.
// The reference handle and the null check are vok_core's own.
using PyErrorSet = vok::py::Error;
using vok::py::check;
using vok::py::Ref;

// vok_core's boundary: C++ failures become the same Python exceptions
// (std::bad_alloc -> MemoryError with a limit's reason, ...), and a signal
// handler that raises stops the call.
using vok::py::guarded;

// Adds the result-rebuilding function of engine_pickle.cpp.
int add_engine_pickle(PyObject* module);

// Adds the engine's declaration tables of engine_tables.cpp.
int add_engine_tables(PyObject* module);

}  // namespace vok::ext
