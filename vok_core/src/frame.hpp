// The Python boundary, written once and used by every function and class.
//
// An entry point declares its callable once (py::Callable: name, parameters,
// docstring), from which its method-table row and its messages derive; it
// binds the call with `call` (or `call_new` for a type's __new__), converts
// each argument with one of the kind converters of `Args`, runs its kernel on
// plain native arrays and turns the native result into new Python objects.
//
// Errors: a converter or helper that fails sets the Python exception and
// throws `py::Error`; `guarded` turns every C++ exception into a Python one
// at the one place where an entry returns to the interpreter
// (std::bad_alloc -> MemoryError, other exceptions -> the module's
// internal-failure exception, py::Error -> the exception already set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "buffer.hpp"

namespace vok::py {

using Point2 = std::array<double, 2>;
using Octet = std::array<double, 8>;

// Thrown once a Python exception has been set.
struct Error {};

// Owns one reference; every exit path releases it.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Returns p, or throws Error when it is null (an exception is then set).
inline PyObject* check(PyObject* p) {
    if (!p) throw Error{};
    return p;
}

// Sets `type` with `message` and throws Error.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The module's internal-failure exception (a RuntimeError subclass that is
// not among the module's public names).
PyObject* internal_error_type();
void set_internal_error(const char* text);

// Runs an entry body and maps C++ exceptions to Python exceptions.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc& e) {
        if (typeid(e) == typeid(std::bad_alloc)) return PyErr_NoMemory();
        PyErr_SetString(PyExc_MemoryError, e.what());  // a limit of our own, with its reason
        return nullptr;
    } catch (const std::exception& e) {
        set_internal_error(e.what());
        return nullptr;
    } catch (...) {
        set_internal_error("unknown internal failure");
        return nullptr;
    }
}

// A parameter: its name and, for an optional one, its default value as the
// text signature shows it (the body supplies the value itself).
struct Param {
    const char* name;
    const char* fallback = nullptr;
    constexpr Param(const char* n, const char* f = nullptr) : name(n), fallback(f) {}
};

enum class Kind { function, method, static_method, constructor };

// A Python-visible callable, declared once, e.g.
//   constexpr py::Callable kBoost{py::Kind::method, "VOKPoint", "boost", {"phi", "c"}, "Lorentz boost..."};
// The declaration gives the names arguments bind to, the name messages show
// ("boost_n()", "VOKPoint.boost()", "VOKPoint.__new__()") and the docstring
// with its signature line (doc_text<kBoost>: "boost($self, phi, c)\n--\n\n...").
struct Callable {
    Kind kind;
    const char* owner;  // the class; nullptr for a module function
    const char* name;   // "__new__" for a constructor
    std::initializer_list<Param> params;
    const char* text = "";  // the docstring after the signature line

    std::size_t size() const { return params.size(); }
    const char* param(std::size_t i) const { return params.begin()[i].name; }
    // Parameters up to the first with a default are required.
    std::size_t required() const {
        std::size_t r = 0;
        while (r < size() && !params.begin()[r].fallback) ++r;
        return r;
    }
    std::string display() const { return (owner ? std::string(owner) + "." : std::string()) + name + "()"; }
};

namespace detail {

// Writes the docstring of `c` at out (when not null); returns its length.
constexpr std::size_t write_doc(const Callable& c, char* out) {
    std::size_t at = 0;
    auto put = [&](std::string_view s) {
        for (char ch : s) {
            if (out) out[at] = ch;
            ++at;
        }
    };
    put(c.kind == Kind::constructor ? c.owner : c.name);
    put("(");
    const char* sep = "";
    if (c.kind == Kind::method) {
        put("$self");
        sep = ", ";
    }
    for (const Param& p : c.params) {
        put(sep);
        sep = ", ";
        put(p.name);
        if (p.fallback) {
            put("=");
            put(p.fallback);
        }
    }
    put(")\n--\n\n");
    put(c.text);
    return at;
}

}  // namespace detail

// The docstring of C, assembled at compile time.
template <const Callable& C>
inline constexpr auto doc_text = [] {
    std::array<char, detail::write_doc(C, nullptr) + 1> out{};
    detail::write_doc(C, out.data());
    return out;
}();

// The bound arguments of one call, and the argument-kind converters. Every
// converter re-raises a TypeError as "argument '{name}': {message}" (carrying
// the original's __cause__) and passes other exceptions through unchanged.
class Args {
public:
    // Fast-call convention (functions and methods).
    Args(const Callable& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Tuple/dict convention (a type's __new__).
    Args(const Callable& sig, PyObject* args, PyObject* kwargs);

    bool given(std::size_t i) const { return static_cast<bool>(slots_[i]); }
    PyObject* object(std::size_t i) const { return slots_[i].get(); }  // held for the call, may be null
    const char* name(std::size_t i) const { return sig_.param(i); }

    double to_float(std::size_t i) const;
    Buffer<double> float_seq(std::size_t i) const;
    Buffer<Point2> point_seq(std::size_t i) const;
    Buffer<Octet> octet_seq(std::size_t i) const;
    std::vector<std::vector<double>> nested_seq(std::size_t i) const;
    std::vector<std::int8_t> small_int_seq(std::size_t i) const;
    std::uint64_t count(std::size_t i) const;
    std::int64_t integer(std::size_t i) const;
    bool flag(std::size_t i) const;
    // The argument as an instance of `type` (exact type or subtype); refuses
    // anything else with "'{type name}' object cannot be converted to '{label}'".
    PyObject* instance(std::size_t i, PyTypeObject* type, const char* label) const;

private:
    template <class F>
    auto named(std::size_t i, F&& convert) const;
    void bind_positional(PyObject* const* args, Py_ssize_t nargs);
    void bind_keyword(PyObject* key, PyObject* value);
    void check_required() const;

    const Callable& sig_;
    // A reference to every bound value, whatever the calling convention:
    // converting one argument may run code that drops the caller's last
    // reference to another (a keyword dict emptied by __float__, say).
    std::vector<Ref> slots_;
};

// Binds and runs body(Args&) -> PyObject* for a fast-call entry.
template <class F>
PyObject* call(const Callable& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Args a(sig, args, nargs, kwnames);
        return body(a);
    });
}

// Binds and runs body(Args&) -> PyObject* for a tp_new entry.
template <class F>
PyObject* call_new(const Callable& sig, PyObject* args, PyObject* kwargs, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Args a(sig, args, kwargs);
        return body(a);
    });
}

// Conversion of single items, for converters of other shapes.
double as_float(PyObject* o);  // throws Error

// Result builders: a new list filled in index order.
PyObject* new_float(double v);
PyObject* float_list(std::span<const double> values);
template <std::size_t N>
PyObject* tuple_list(std::span<const std::array<double, N>> rows);
template <class Row>  // Row: std::array<double, K> or std::vector<double>
PyObject* nested_list(std::span<const Row> rows);

// Calling convention of every function and method that takes parameters.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table row of C: a fast-call entry for a callable with
// parameters, a no-argument entry (PyCFunction) for one without.
template <const Callable& C>
PyMethodDef method_def(FastEntry fn) {
    const int flags = kFastCall | (C.kind == Kind::static_method ? METH_STATIC : 0);
    return {C.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc_text<C>.data()};
}
template <const Callable& C>
PyMethodDef method_def(PyCFunction fn) {
    static_assert(C.params.size() == 0, "a callable with parameters takes the fast-call convention");
    return {C.name, fn, METH_NOARGS | (C.kind == Kind::static_method ? METH_STATIC : 0), doc_text<C>.data()};
}

// tp_dealloc of a heap type whose instances hold only plain values.
void plain_dealloc(PyObject* self);

// Creates a heap type from its PyType_Spec (throws Error on failure).
PyTypeObject* make_type(PyType_Spec* type_spec);

// Allocates an instance of `type` with the type's tp_alloc (throws Error).
template <class T>
T* alloc_instance(PyTypeObject* type) {
    PyObject* o = check(type->tp_alloc(type, 0));
    return reinterpret_cast<T*>(o);
}

}  // namespace vok::py
