// Engine access for vok_math.discover: shared pieces of the engine part's
// files (engine.cpp: search and evaluation; engine_pickle.cpp: rebuilding
// vok_core's search results).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include "py_error.hpp"

namespace vok::ext {

// A Python exception is set; unwinds to the entry point, which returns null.
// The reference handle and the null check are vok_core's own.
using PyErrorSet = vok::py::Error;
using vok::py::check;
using vok::py::Ref;

// Runs body and turns C++ failures into Python exceptions at the boundary.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "vok_math._ext: unknown internal failure");
    }
    return nullptr;
}

// Adds the result-rebuilding function of engine_pickle.cpp.
int add_engine_pickle(PyObject* module);

// Adds the engine's declaration tables of engine_tables.cpp.
int add_engine_tables(PyObject* module);

}  // namespace vok::ext
