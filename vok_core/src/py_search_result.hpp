// vok_core.PySearchResult's fields, and the one function that makes an
// instance: search_result.cpp's, which find_formula uses and the package's
// second extension module calls to rebuild results when they are unpickled
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

}  // namespace vok::py

namespace vok::face {

// A new vok_core.PySearchResult holding `fields` (throws py::Error).
PyObject* new_search_result(py::SearchResultFields&& fields);

}  // namespace vok::face
