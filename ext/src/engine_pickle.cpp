// Rebuilding a vok_core.PySearchResult from its fields, for pickling and
// copying. The class has no constructor (its instances come from
// find_formula), so vok_math's reducer names this function instead; the
// instance is made by vok_core's own code (search_result.cpp), which lives in
// the same shared runtime library.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "discover/render.hpp"
#include "engine.hpp"
#include "py_search_result.hpp"

namespace {

using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::Ref;

using ResultFields = vok::py::SearchResultFields;

[[noreturn]] void raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PyErrorSet{};
}

// What find_formula could have given: a formula text the engine renders.
// Refuses anything else (NUL bytes or code put where a formula goes) before
// an object is made, so that to_python() never writes it.
void check_fields(std::string_view formula, Py_ssize_t complexity) {
    if (complexity < 0) raise_value_error("complexity must not be negative");
    if (!vok::discover::is_formula_text(formula)) raise_value_error("formula is not a formula text of the engine");
}

// search_result(formula, error, complexity, params): a new PySearchResult.
PyObject* search_result(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        const char* formula = nullptr;
        Py_ssize_t length = 0;
        double error = 0;
        Py_ssize_t complexity = 0;
        PyObject* params = nullptr;
        if (!PyArg_ParseTuple(args, "s#dnO!:search_result", &formula, &length, &error, &complexity, &PyList_Type,
                              &params))
            return nullptr;
        check_fields(std::string_view(formula, static_cast<std::size_t>(length)), complexity);
        ResultFields fields{
            std::string(formula, static_cast<std::size_t>(length)), error, static_cast<std::size_t>(complexity), {}};
        // A tuple copy: an item's __float__ cannot change what is iterated.
        Ref items(check(PySequence_Tuple(params)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
            if (v == -1.0 && PyErr_Occurred()) return nullptr;
            fields.params.push_back(v);
        }
        return vok::face::new_search_result(std::move(fields));
    });
}

PyMethodDef methods[] = {
    {"search_result", search_result, METH_VARARGS,
     "search_result(formula, error, complexity, params)\n--\n\n"
     "A vok_core.PySearchResult with these fields (used to unpickle one)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine_pickle(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vok::ext
