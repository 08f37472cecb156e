#include "py_bind.hpp"

namespace vok::py {

namespace {

const char* plural(std::size_t n, const char* one, const char* many) { return n == 1 ? one : many; }

[[noreturn]] void raise_too_many(const Callable& callable, std::size_t given) {
    const std::size_t n = callable.size(), r = callable.required();
    std::string msg = callable.display() + " takes ";
    msg += r == n ? std::to_string(n) : "from " + std::to_string(r) + " to " + std::to_string(n);
    msg += " positional arguments but " + std::to_string(given) + plural(given, " was", " were") + " given";
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void raise_missing(const Callable& callable, const std::vector<std::size_t>& missing) {
    std::string msg = callable.display() + " missing " + std::to_string(missing.size()) + " required positional " +
                      plural(missing.size(), "argument", "arguments") + ": ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) msg += missing.size() > 2 ? ", " : " ";
        if (k > 0 && k + 1 == missing.size()) msg += "and ";
        msg += "'" + std::string(callable.param(missing[k])) + "'";
    }
    raise(PyExc_TypeError, msg);
}

}  // namespace

Args::Args(const Callable& callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : callable_(callable) {
    bind_positional(args, nargs);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    check_required();
}

Args::Args(const Callable& callable, PyObject* args, PyObject* kwargs) : callable_(callable) {
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
    const std::size_t n = callable_.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > n) raise_too_many(callable_, given);
    slots_.resize(n);
    for (std::size_t i = 0; i < given; ++i) slots_[i] = Ref::borrow(args[i]);
}

void Args::bind_keyword(PyObject* key, PyObject* value) {
    const std::size_t n = callable_.size();
    std::size_t i = 0;
    for (; i < n; ++i) {
        const char* name = callable_.param(i);
        if (PyUnicode_EqualToUTF8AndSize(key, name, static_cast<Py_ssize_t>(std::char_traits<char>::length(name))))
            break;
    }
    if (i == n) {
        // Formatted from the str object itself: a keyword may hold NULs or
        // lone surrogates, which a C string cannot carry.
        Ref held = Ref::borrow(key);
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", callable_.display().c_str(),
                     held.get());
        throw Error{};
    }
    if (slots_[i])
        raise(PyExc_TypeError, callable_.display() + " got multiple values for argument '" + callable_.param(i) + "'");
    slots_[i] = Ref::borrow(value);
}

void Args::check_required() const {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < callable_.required(); ++i)
        if (!slots_[i]) missing.push_back(i);
    if (!missing.empty()) raise_missing(callable_, missing);
}

void Args::rename_type_error(std::size_t i) const {
    if (PyErr_Occurred() != PyExc_TypeError) return;  // only an exact TypeError is renamed
    Ref original(PyErr_GetRaisedException());
    Ref text(check(PyObject_Str(original.get())));
    Ref renamed(check(PyUnicode_FromFormat("argument '%s': %U", callable_.param(i), text.get())));
    Ref replacement(check(PyObject_CallOneArg(PyExc_TypeError, renamed.get())));
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

}  // namespace vok::py
