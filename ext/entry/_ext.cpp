// The extension module vok_math._ext: its entry only; the module itself is
// built by the shared runtime library (runtime_entry.hpp).
#include "runtime_entry.hpp"

PyMODINIT_FUNC PyInit__ext() { return vok_runtime_init_ext(); }
