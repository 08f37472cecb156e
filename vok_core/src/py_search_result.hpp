// The instance layout of vok_core.PySearchResult, shared with the package's
// second extension module, which rebuilds results when they are unpickled
// (the class has no constructor of its own).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vok::py {

// What a result keeps of the search: the formula as text (the expression
// itself is dropped), its penalised error, its token count and its fitted
// parameters (always none).
struct SearchResultFields {
    std::string formula;
    double error;
    std::size_t complexity;
    std::vector<double> params;
};

// The fields live on the C++ heap so that the object stays a plain C layout;
// the class's deallocator deletes them.
struct SearchResultObject {
    PyObject_HEAD SearchResultFields* fields;
};

}  // namespace vok::py
