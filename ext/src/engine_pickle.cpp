// Rebuilding a vok_core.PySearchResult from its fields, for pickling and
// copying. The class has no constructor (its instances come from
// find_formula), so vok_math's reducer names this function instead.
//
// The instance layout is vok_core's own (py_search_result.hpp): the object
// header, then a pointer to the fields on the C++ heap, which the class's
// deallocator deletes. Both modules are built by the same compiler against
// the same standard library, so the fields record is the same type in both.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "discover/render.hpp"
#include "engine.hpp"
#include "py_search_result.hpp"

namespace {

using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::Ref;

using ResultFields = vok::py::SearchResultFields;
using ResultObject = vok::py::SearchResultObject;

[[noreturn]] void raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw PyErrorSet{};
}

// The class object, looked up at run time (vok_core owns it).
PyTypeObject* result_type() {
    Ref module(check(PyImport_ImportModule("vok_math.vok_core")));
    Ref type(check(PyObject_GetAttrString(module.get(), "PySearchResult")));
    if (!PyType_Check(type.get()) ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(ResultObject))) {
        PyErr_SetString(PyExc_TypeError, "vok_core.PySearchResult has an unexpected layout");
        throw PyErrorSet{};
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
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
        auto fields = std::make_unique<ResultFields>(ResultFields{
            std::string(formula, static_cast<std::size_t>(length)), error, static_cast<std::size_t>(complexity), {}});
        // A tuple copy: an item's __float__ cannot change what is iterated.
        Ref items(check(PySequence_Tuple(params)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
            if (v == -1.0 && PyErr_Occurred()) return nullptr;
            fields->params.push_back(v);
        }
        Ref type(reinterpret_cast<PyObject*>(result_type()));
        auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
        PyObject* obj = tp->tp_alloc(tp, 0);
        if (!obj) return nullptr;
        reinterpret_cast<ResultObject*>(obj)->fields = fields.release();
        return obj;
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
