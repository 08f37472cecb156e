// The extension module vok_core: its entry only; the module itself is built
// by the shared runtime library (runtime_entry.hpp).
#include "runtime_entry.hpp"

PyMODINIT_FUNC PyInit_vok_core() { return vok_runtime_init_vok_core(); }
