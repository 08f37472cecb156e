#include "py_convert.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// ---- float sequences held in a buffer
//
// A one-dimensional buffer of native doubles (format 'd') or floats ('f') is
// read directly instead of item by item. Only exact numpy.ndarray,
// array.array and memoryview qualify: their items are, by construction, the
// buffer's values turned into Python floats (floats widened by the same
// conversion to double), so the result is the one the items would give, NaN
// payloads included. A subclass, or any other exporter, may serve items that
// differ from its buffer and is read item by item.

// NumPy is recognised by name without importing it. A class written in
// Python can take any name, but it is always a heap type without a defining
// module; ndarray is a static type and array.array a heap type of its module.
bool is_plain_exporter(PyTypeObject* t) {
    if (t == &PyMemoryView_Type) return true;
    if (std::strcmp(t->tp_name, "numpy.ndarray") == 0) return !PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE);
    if (std::strcmp(t->tp_name, "array.array") != 0) return false;
    if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE) || PyType_GetModule(t)) return true;
    PyErr_Clear();
    return false;
}

// Fills `out` from the buffer of `seq` and returns true, or returns false
// (with no exception set) when `seq` is to be read item by item.
template <class Vec>
bool read_buffer(PyObject* seq, Vec& out) {
    if (!is_plain_exporter(Py_TYPE(seq))) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(seq, &view, PyBUF_RECORDS_RO) < 0) {
        // A released memoryview refuses its buffer with the ValueError that
        // iterating it would raise; iterating it is not safe on every 3.13
        // release (it formats its message from the freed format string).
        if (Py_IS_TYPE(seq, &PyMemoryView_Type)) throw Error{};
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.ndim != 1 || !view.format || view.suboffsets) return false;
    // Native byte order: no prefix, '@' or '=' (NumPy's mark of an unaligned array).
    const char* format = view.format[0] == '@' || view.format[0] == '=' ? view.format + 1 : view.format;
    const bool f64 = std::strcmp(format, "d") == 0 && view.itemsize == sizeof(double);
    const bool f32 = std::strcmp(format, "f") == 0 && view.itemsize == sizeof(float);
    if (!f64 && !f32) return false;
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const char* p = static_cast<const char*>(view.buf);
    const Py_ssize_t step = view.strides[0];
    if (f64 && step == sizeof(double) && reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0) {
        const auto* first = reinterpret_cast<const double*>(p);
        out.assign(first, first + n);
        return true;
    }
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i, p += step) {  // copies: the items need not be aligned
        if (f64) {
            std::memcpy(&out[i], p, sizeof(double));
        } else {
            float f;
            std::memcpy(&f, p, sizeof(float));
            out[i] = static_cast<double>(f);
        }
    }
    return true;
}

template <class Vec>
Vec read_floats(PyObject* seq) {
    Vec out;
    if (read_buffer(seq, out)) return out;
    return read_sequence<double, Vec>(seq, to_float);
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

Buffer<double> float_seq(PyObject* o) { return read_floats<Buffer<double>>(o); }

Buffer<Point2> point_seq(PyObject* o) { return read_sequence<Point2, Buffer<Point2>>(o, read_point); }

Buffer<Octet> octet_seq(PyObject* o) { return read_sequence<Octet, Buffer<Octet>>(o, read_octet); }

std::vector<std::vector<double>> nested_seq(PyObject* o) {
    return read_sequence<std::vector<double>>(o, read_floats<std::vector<double>>);
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
