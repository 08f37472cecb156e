#include "py_type.hpp"

namespace vok::py {

PyTypeObject* make_type(PyType_Spec* type_spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(type_spec)));
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap-type instances own a reference to their type
}

}  // namespace vok::py
