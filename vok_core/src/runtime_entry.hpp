// The entry points of the package's shared runtime library (vok_runtime).
//
// Both extension modules, vok_core and vok_math._ext, are thin: each is its
// PyInit_ function calling one of these. Everything else (kernels, pool,
// engine, the Python boundary and the bodies of both modules) lives once in
// libvok_runtime.so, so a process has one pool, one atfork handler, one
// `guarded`, and no C++ exception ever crosses from one shared object into
// another (the wheels link the C++ runtime statically into each shared
// object, and a catch clause there only recognises its own copy's types).
// These two functions are all the library exports (runtime.map).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define VOK_RUNTIME_EXPORT __attribute__((visibility("default")))

extern "C" {
// The module object of vok_core (lib.cpp), as PyInit_vok_core returns it.
VOK_RUNTIME_EXPORT PyObject* vok_runtime_init_vok_core();
// The module definition of vok_math._ext (ext/src/module.cpp), as
// PyInit__ext returns it.
VOK_RUNTIME_EXPORT PyObject* vok_runtime_init_ext();
}
