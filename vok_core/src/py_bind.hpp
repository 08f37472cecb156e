// Binding a call: each Python-visible callable is declared once as a
// py::Callable; its method-table row, its docstring (with the signature line)
// and the names its messages show derive from that declaration. An entry
// binds its call with `call` (or `call_new` for a type's __new__) and reads
// each argument through one of the kind converters of `Args`.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "py_convert.hpp"

namespace vok::py {

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
    Args(const Callable& callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // Tuple/dict convention (a type's __new__).
    Args(const Callable& callable, PyObject* args, PyObject* kwargs);

    bool given(std::size_t i) const { return static_cast<bool>(slots_[i]); }

    double to_float(std::size_t i) const { return named(i, convert::to_float); }
    Buffer<double> float_seq(std::size_t i) const { return named(i, convert::float_seq); }
    Buffer<Point2> point_seq(std::size_t i) const { return named(i, convert::point_seq); }
    Buffer<Octet> octet_seq(std::size_t i) const { return named(i, convert::octet_seq); }
    std::vector<std::vector<double>> nested_seq(std::size_t i) const { return named(i, convert::nested_seq); }
    std::vector<std::int8_t> small_int_seq(std::size_t i) const { return named(i, convert::small_int_seq); }
    std::uint64_t count(std::size_t i) const { return named(i, convert::count); }
    std::int64_t integer(std::size_t i) const { return named(i, convert::integer); }
    bool flag(std::size_t i) const { return named(i, convert::flag); }
    // The argument as an instance of `type` (exact type or subtype), held for
    // the call; refuses anything else with "'{type name}' object cannot be
    // converted to '{label}'".
    PyObject* instance(std::size_t i, PyTypeObject* type, const char* label) const {
        return named(i, [&](PyObject* o) {
            if (!PyObject_TypeCheck(o, type)) raise_cannot_convert(o, label);
            return o;
        });
    }

private:
    // Runs a conversion of argument i; a TypeError (exactly) comes back as
    // "argument '{name}': {message}" keeping the original's __cause__.
    template <class F>
    std::invoke_result_t<F&, PyObject*> named(std::size_t i, F&& convert) const {
        try {
            return convert(slots_[i].get());
        } catch (const Error&) {
            rename_type_error(i);
            throw;
        }
    }
    void rename_type_error(std::size_t i) const;
    void bind_positional(PyObject* const* args, Py_ssize_t nargs);
    void bind_keyword(PyObject* key, PyObject* value);
    void check_required() const;

    const Callable& callable_;
    // A reference to every bound value, whatever the calling convention:
    // converting one argument may run code that drops the caller's last
    // reference to another (a keyword dict emptied by __float__, say).
    std::vector<Ref> slots_;
};

// Binds and runs body(Args&) -> PyObject* for a fast-call entry.
template <class F>
PyObject* call(const Callable& callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Args a(callable, args, nargs, kwnames);
        return body(a);
    });
}

// Binds and runs body(Args&) -> PyObject* for a tp_new entry.
template <class F>
PyObject* call_new(const Callable& callable, PyObject* args, PyObject* kwargs, F&& body) noexcept {
    return guarded([&]() -> PyObject* {
        Args a(callable, args, kwargs);
        return body(a);
    });
}

// Calling convention of every function and method that takes parameters.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// The body of a callable with parameters: self is the instance for a
// method, the module for a function, null for a static method.
using Body = PyObject* (*)(PyObject* self, Args& a);

// The fast-call entry of C: binds the call, then runs Body.
template <const Callable& C, Body B>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call(C, args, nargs, kwnames, [self](Args& a) { return B(self, a); });
}

// The method-table row of C: its fast-call entry running B...
template <const Callable& C, Body B>
PyMethodDef method_def() {
    const int flags = kFastCall | (C.kind == Kind::static_method ? METH_STATIC : 0);
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) = fast_entry<C, B>;
    return {C.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)), flags, doc_text<C>.data()};
}
// ...or, for a callable without parameters, its no-argument entry.
template <const Callable& C>
PyMethodDef method_def(PyCFunction fn) {
    static_assert(C.params.size() == 0, "a callable with parameters takes the fast-call convention");
    return {C.name, fn, METH_NOARGS | (C.kind == Kind::static_method ? METH_STATIC : 0), doc_text<C>.data()};
}

}  // namespace vok::py
