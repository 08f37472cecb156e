// vok_math._ext: the package's second extension module. It serves the array
// and discovery layers of vok_math from the same kernels, engine and pool as
// vok_core (both live in the shared runtime library), so no formula exists
// twice.
//
// Each part of the module adds its names in its own file; the table below
// lists them in the order they are added.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ext.hpp"
#include "runtime_entry.hpp"

namespace {

// One entry per part: adds its functions/objects to the module, returns -1
// with an exception set on failure.
using AddPart = int (*)(PyObject* module);
constexpr AddPart kParts[] = {
    nullptr,  // keeps the table non-empty; parts are appended after it
    vok::ext::add_ufunc_part,
    vok::ext::add_engine,
};

int exec_module(PyObject* module) {
    for (AddPart add : kParts)
        if (add && add(module) < 0) return -1;
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vok_math._ext",
    "Array and discovery support for vok_math (internal).",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyObject* vok_runtime_init_ext() { return PyModuleDef_Init(&g_module_def); }
