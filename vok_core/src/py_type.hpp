// Creating the module's classes and their instances.
#pragma once

#include "py_error.hpp"

namespace vok::py {

// Creates a heap type from its PyType_Spec (throws Error on failure).
PyTypeObject* make_type(PyType_Spec* type_spec);

// The class made from TypeSpec: created on first use, kept for the process
// (the module may be imported again, the class stays the same object).
template <PyType_Spec& TypeSpec>
PyTypeObject* cached_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = make_type(&TypeSpec);
    return type;
}

// The PyType_Spec of a final (not subclassable), immutable class whose instances
// have the layout `Layout`.
template <class Layout>
PyType_Spec class_spec(const char* name, PyType_Slot* slots) {
    return {name, static_cast<int>(sizeof(Layout)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
}

// tp_dealloc of a heap type whose instances hold only plain values.
void plain_dealloc(PyObject* self);

// Allocates an instance of `type` with the type's tp_alloc (throws Error).
template <class T>
T* alloc_instance(PyTypeObject* type) {
    PyObject* o = check(type->tp_alloc(type, 0));
    return reinterpret_cast<T*>(o);
}

// The layout of an instance holding one plain value (freed by plain_dealloc).
template <class T>
struct Boxed {
    PyObject_HEAD T value;
};

template <class T>
const T& unbox(PyObject* o) {
    return reinterpret_cast<Boxed<T>*>(o)->value;
}

// A new instance of `type` (whose layout is Boxed<T>) holding v.
template <class T>
PyObject* box(PyTypeObject* type, const T& v) {
    Boxed<T>* o = alloc_instance<Boxed<T>>(type);
    o->value = v;
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace vok::py
