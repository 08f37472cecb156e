#include "frame.hpp"

#include <algorithm>
#include <limits>

namespace vok::py {

// ---------------------------------------------------------------- errors

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
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
    if (PyObject* type = internal_error_type())
        PyErr_SetString(type, text);
    // else: creating the type failed and its exception is already set
}

namespace {

// "'{qualname}' object cannot be converted to '{target}'", formatted from the
// qualname's str object (it may hold NULs or lone surrogates).
[[noreturn]] void raise_cannot_convert(PyObject* o, const char* target) {
    Ref name(check(PyType_GetQualName(Py_TYPE(o))));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    throw Error{};
}

// ---------------------------------------------------------------- binding

const char* plural(std::size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

[[noreturn]] void raise_too_many(const Callable& sig, std::size_t given) {
    const std::size_t n = sig.size(), r = sig.required();
    std::string msg = sig.display() + " takes ";
    msg += r == n ? std::to_string(n) : "from " + std::to_string(r) + " to " + std::to_string(n);
    msg += " positional arguments but " + std::to_string(given) + plural(given, " was", " were") + " given";
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void raise_missing(const Callable& sig, const std::vector<std::size_t>& missing) {
    std::string msg = sig.display() + " missing " + std::to_string(missing.size()) + " required positional " +
                      plural(missing.size(), "argument", "arguments") + ": ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) msg += missing.size() > 2 ? ", " : " ";
        if (k > 0 && k + 1 == missing.size()) msg += "and ";
        msg += "'" + std::string(sig.param(missing[k])) + "'";
    }
    raise(PyExc_TypeError, msg);
}

}  // namespace

Args::Args(const Callable& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    bind_positional(args, nargs);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    check_required();
}

Args::Args(const Callable& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    bind_positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
    // Each value is referenced as soon as it is read: the dict may be the
    // caller's own, and converting an earlier value may empty it.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (kwargs)
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(key, value);
    check_required();
}

void Args::bind_positional(PyObject* const* args, Py_ssize_t nargs) {
    const std::size_t n = sig_.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > n) raise_too_many(sig_, given);
    slots_.resize(n);
    for (std::size_t i = 0; i < given; ++i) slots_[i] = Ref::borrow(args[i]);
}

void Args::bind_keyword(PyObject* key, PyObject* value) {
    const std::size_t n = sig_.size();
    std::size_t i = 0;
    for (; i < n; ++i) {
        const char* name = sig_.param(i);
        if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name))))
            break;
    }
    if (i == n) {
        // Formatted from the str object itself: a keyword may hold NULs or
        // lone surrogates, which a C string cannot carry.
        Ref held = Ref::borrow(key);
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig_.display().c_str(),
                     held.get());
        throw Error{};
    }
    if (slots_[i])
        raise(PyExc_TypeError, sig_.display() + " got multiple values for argument '" + sig_.param(i) + "'");
    slots_[i] = Ref::borrow(value);
}

void Args::check_required() const {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < sig_.required(); ++i)
        if (!slots_[i]) missing.push_back(i);
    if (!missing.empty()) raise_missing(sig_, missing);
}

// Runs a conversion; a TypeError (exactly) comes back as
// "argument '{name}': {message}" keeping the original's __cause__.
template <class F>
auto Args::named(std::size_t i, F&& convert) const {
    try {
        return convert(slots_[i].get());
    } catch (const Error&) {
        if (PyErr_Occurred() != PyExc_TypeError) throw;  // only an exact TypeError is renamed
        Ref original(PyErr_GetRaisedException());
        Ref text(check(PyObject_Str(original.get())));
        Ref renamed(check(PyUnicode_FromFormat("argument '%s': %U", sig_.param(i), text.get())));
        Ref replacement(check(PyObject_CallOneArg(PyExc_TypeError, renamed.get())));
        PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
        PyErr_SetRaisedException(replacement.release());
        throw;
    }
}

// ---------------------------------------------------------------- items

double as_float(PyObject* o) {
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
    return {as_float(a.get()), as_float(b.get())};
}

Octet read_octet(PyObject* item) {
    if (!PySequence_Check(item)) raise_cannot_convert(item, "Sequence");
    const Py_ssize_t k = PySequence_Size(item);
    if (k < 0) throw Error{};
    if (k != 8) raise(PyExc_ValueError, "expected a sequence of length 8 (got " + std::to_string(k) + ")");
    Octet o;
    for (Py_ssize_t j = 0; j < 8; ++j) {
        Ref v(check(PySequence_GetItem(item, j)));
        o[static_cast<std::size_t>(j)] = as_float(v.get());
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

// ---------------------------------------------------------------- kinds

double Args::to_float(std::size_t i) const { return named(i, as_float); }

Buffer<double> Args::float_seq(std::size_t i) const {
    return named(i, [](PyObject* o) { return read_sequence<double, Buffer<double>>(o, as_float); });
}

Buffer<Point2> Args::point_seq(std::size_t i) const {
    return named(i, [](PyObject* o) { return read_sequence<Point2, Buffer<Point2>>(o, read_point); });
}

Buffer<Octet> Args::octet_seq(std::size_t i) const {
    return named(i, [](PyObject* o) { return read_sequence<Octet, Buffer<Octet>>(o, read_octet); });
}

std::vector<std::vector<double>> Args::nested_seq(std::size_t i) const {
    return named(i, [](PyObject* o) {
        return read_sequence<std::vector<double>>(
            o, [](PyObject* item) { return read_sequence<double>(item, as_float); });
    });
}

std::vector<std::int8_t> Args::small_int_seq(std::size_t i) const {
    return named(i, [](PyObject* o) { return read_sequence<std::int8_t>(o, read_small_int); });
}

std::uint64_t Args::count(std::size_t i) const {
    return named(i, [](PyObject* o) {
        Ref index(check(PyNumber_Index(o)));
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
        return static_cast<std::uint64_t>(v);
    });
}

std::int64_t Args::integer(std::size_t i) const {
    return named(i, [](PyObject* o) {
        const long v = PyLong_AsLong(o);
        if (v == -1 && PyErr_Occurred()) throw Error{};
        return static_cast<std::int64_t>(v);
    });
}

bool Args::flag(std::size_t i) const {
    return named(i, [](PyObject* o) {
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
    });
}

PyObject* Args::instance(std::size_t i, PyTypeObject* type, const char* label) const {
    return named(i, [&](PyObject* o) {
        if (!PyObject_TypeCheck(o, type)) raise_cannot_convert(o, label);
        return o;
    });
}

// ---------------------------------------------------------------- results

PyObject* new_float(double v) { return check(PyFloat_FromDouble(v)); }

namespace {

// A new list of `n` items made by make(i) -> new reference (or throws).
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(i));
    return list.release();
}

// Holds the cyclic garbage collector off while a list of containers is
// built. Every new tuple or list counts towards the next collection, so a
// million of them would trigger hundreds of collections, some of them full
// ones, all finding nothing: rows of floats cannot form cycles. The
// collector's state is restored afterwards and it runs at its next chance.
class GcPause {
public:
    explicit GcPause(std::size_t rows) : was_enabled_(rows >= kFrom && PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    static constexpr std::size_t kFrom = 4096;  // below this, a handful of collections at most
    bool was_enabled_;
};

template <class Row>
PyObject* float_tuple(const Row& row) {
    Ref t(check(PyTuple_New(static_cast<Py_ssize_t>(row.size()))));
    for (std::size_t k = 0; k < row.size(); ++k) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(k), new_float(row[k]));
    return t.release();
}

}  // namespace

PyObject* float_list(std::span<const double> values) {
    return build_list(values.size(), [&](std::size_t i) { return new_float(values[i]); });
}

template <std::size_t N>
PyObject* tuple_list(std::span<const std::array<double, N>> rows) {
    GcPause pause(rows.size());
    return build_list(rows.size(), [&](std::size_t i) { return float_tuple(rows[i]); });
}

template <class Row>
PyObject* nested_list(std::span<const Row> rows) {
    GcPause pause(rows.size());
    return build_list(rows.size(), [&](std::size_t i) { return float_list(rows[i]); });
}

template PyObject* tuple_list<2>(std::span<const std::array<double, 2>>);
template PyObject* tuple_list<3>(std::span<const std::array<double, 3>>);
template PyObject* nested_list<Octet>(std::span<const Octet>);
template PyObject* nested_list<std::vector<double>>(std::span<const std::vector<double>>);

// ---------------------------------------------------------------- types

void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap-type instances own a reference to their type
}

PyTypeObject* make_type(PyType_Spec* type_spec) {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(type_spec)));
}

}  // namespace vok::py
