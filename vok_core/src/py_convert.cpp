#include "py_convert.hpp"

#include <algorithm>
#include <string>
#include <type_traits>

namespace vok::py::convert {

double to_float(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw Error{};
    return v;
}

namespace {

// Reads any sequence kind: refuses str and non-sequences, then iterates,
// calling read(item) for each item as it arrives. The reported length only
// pre-sizes `out` (bounded, so a lying __len__ cannot exhaust memory); the
// iteration decides how many items there are.
template <class T, class Vec = std::vector<T>, class Read>
Vec read_sequence(PyObject* seq, Read&& read) {
    if (PyUnicode_Check(seq)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(seq)) raise_cannot_convert(seq, "Sequence");
    Vec out;
    // Exact lists and tuples are read by index, which is what their iterators
    // do; the size is re-read every step because converting an item may run
    // code that shrinks the list, and each item is held while it converts.
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const bool is_list = PyList_CheckExact(seq);
        out.reserve(static_cast<std::size_t>(Py_SIZE(seq)));
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
            if (PyFloat_CheckExact(item)) {  // nothing can run: no reference needed
                if constexpr (std::is_same_v<T, double>) {
                    out.push_back(PyFloat_AS_DOUBLE(item));
                    continue;
                }
            }
            Ref held = Ref::borrow(item);
            out.push_back(read(held.get()));
        }
        return out;
    }
    Py_ssize_t hint = PySequence_Size(seq);
    if (hint < 0) PyErr_Clear();
    constexpr Py_ssize_t kMaxPresize = Py_ssize_t{1} << 20;
    if (hint > 0) out.reserve(static_cast<std::size_t>(std::min(hint, kMaxPresize)));
    Ref it(check(PyObject_GetIter(seq)));
    while (Ref item{PyIter_Next(it.get())}) out.push_back(read(item.get()));
    if (PyErr_Occurred()) throw Error{};
    return out;
}

Point2 read_point(PyObject* item) {
    if (!PyTuple_Check(item)) raise_cannot_convert(item, "PyTuple");
    if (PyTuple_GET_SIZE(item) != 2)
        raise(PyExc_ValueError,
              "expected tuple of length 2, but got tuple of length " + std::to_string(PyTuple_GET_SIZE(item)));
    // A tuple cannot change while its items convert, but hold them anyway:
    // __float__ may drop the last other reference to the tuple's owner.
    Ref a = Ref::borrow(PyTuple_GET_ITEM(item, 0)), b = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return {to_float(a.get()), to_float(b.get())};
}

Octet read_octet(PyObject* item) {
    if (!PySequence_Check(item)) raise_cannot_convert(item, "Sequence");
    const Py_ssize_t k = PySequence_Size(item);
    if (k < 0) throw Error{};
    if (k != 8) raise(PyExc_ValueError, "expected a sequence of length 8 (got " + std::to_string(k) + ")");
    Octet o;
    for (Py_ssize_t j = 0; j < 8; ++j) {
        Ref v(check(PySequence_GetItem(item, j)));
        o[static_cast<std::size_t>(j)] = to_float(v.get());
    }
    return o;
}

// NumPy's boolean scalar types: named "bool_" or "bool", in module "numpy".
// A type whose name or module cannot be read is simply not one of them.
bool is_numpy_bool_type(PyTypeObject* t) {
    Ref module(PyType_GetModuleName(t));
    Ref name(module ? PyType_GetName(t) : nullptr);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy") &&
           (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

std::int8_t read_small_int(PyObject* item) {
    const long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    if (v < -128 || v > 127) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<std::int8_t>(v);
}

}  // namespace

Buffer<double> float_seq(PyObject* o) { return read_sequence<double, Buffer<double>>(o, to_float); }

Buffer<Point2> point_seq(PyObject* o) { return read_sequence<Point2, Buffer<Point2>>(o, read_point); }

Buffer<Octet> octet_seq(PyObject* o) { return read_sequence<Octet, Buffer<Octet>>(o, read_octet); }

std::vector<std::vector<double>> nested_seq(PyObject* o) {
    return read_sequence<std::vector<double>>(o, [](PyObject* item) { return read_sequence<double>(item, to_float); });
}

std::vector<std::int8_t> small_int_seq(PyObject* o) { return read_sequence<std::int8_t>(o, read_small_int); }

std::uint64_t count(PyObject* o) {
    Ref index(check(PyNumber_Index(o)));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
    return static_cast<std::uint64_t>(v);
}

std::int64_t integer(PyObject* o) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    return static_cast<std::int64_t>(v);
}

bool flag(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    // NumPy's boolean scalars convert through their truth-value slot.
    PyTypeObject* t = Py_TYPE(o);
    if (!is_numpy_bool_type(t)) raise_cannot_convert(o, "PyBool");
    if (!t->tp_as_number || !t->tp_as_number->nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", t);
        throw Error{};
    }
    const int truth = t->tp_as_number->nb_bool(o);
    if (truth < 0) throw Error{};
    return truth == 1;
}

}  // namespace vok::py::convert
