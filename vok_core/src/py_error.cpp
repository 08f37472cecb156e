#include "py_error.hpp"

namespace vok::py {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw Error{};
}

// Formatted from the qualname's str object: it may hold NULs or lone surrogates.
void raise_cannot_convert(PyObject* o, const char* target) {
    Ref name(check(PyType_GetQualName(Py_TYPE(o))));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    throw Error{};
}

PyObject* internal_error_type() {
    // Process-wide, like the classes; deliberately not among the module's names.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "vok_core.InternalError", "An internal failure of vok_core (never produced by valid input).",
        PyExc_RuntimeError, nullptr);
    return type;
}

void set_internal_error(const char* text) {
    if (PyObject* type = internal_error_type()) PyErr_SetString(type, text);
    // else: creating the type failed and its exception is already set
}

}  // namespace vok::py
