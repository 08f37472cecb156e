// The engine's declaration tables as module attributes, so that vok_math
// reads them instead of keeping copies (read-only mappings):
//   DEFAULTS     {setting: default} of a search (kSearchDefaults)
//   FIT_DEFAULTS {setting: default} of the fitted search's fit dict (kFitDefaults)
//   TOKEN_KINDS  {kind name: code}
//   OPERATORS    ((code, name, arity), ...) in code order
#include <cstddef>
#include <iterator>
#include <span>
#include <string_view>

#include "discover/defaults.hpp"
#include "discover/expr.hpp"
#include "engine.hpp"

namespace {

namespace d = vok::discover;
using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::Ref;

// A default's Python value, read from its literal text.
PyObject* literal_object(std::string_view text) {
    switch (d::literal_kind(text)) {
        case d::LiteralKind::Flag:
            return Py_NewRef(text == "True" ? Py_True : Py_False);
        case d::LiteralKind::Whole:
            return PyLong_FromString(text.data(), nullptr, 10);
        case d::LiteralKind::Real:
            break;
    }
    return PyFloat_FromDouble(d::literal_value(text));
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref held(check(value));
    if (PyDict_SetItemString(dict, key, held.get()) < 0) throw PyErrorSet{};
}

PyObject* settings(std::span<const d::SettingDefault> table) {
    Ref out(check(PyDict_New()));
    for (const d::SettingDefault& s : table) set_item(out.get(), s.name, literal_object(s.text));
    return check(PyDictProxy_New(out.get()));
}

PyObject* defaults() { return settings(d::kSearchDefaults); }

PyObject* fit_defaults() { return settings(d::kFitDefaults); }

PyObject* token_kinds() {
    Ref out(check(PyDict_New()));
    for (std::size_t k = 0; k < std::size(d::kTokenKindNames); ++k)
        set_item(out.get(), d::kTokenKindNames[k], PyLong_FromSize_t(k));
    return check(PyDictProxy_New(out.get()));
}

PyObject* operators() {
    Ref out(check(PyTuple_New(d::kOpCount)));
    for (std::size_t code = 0; code < d::kOpCount; ++code)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(code),
                         check(Py_BuildValue("(nsI)", static_cast<Py_ssize_t>(code), d::kOperatorNames[code],
                                             d::arity(static_cast<d::OpCode>(code)))));
    return out.release();
}

}  // namespace

namespace vok::ext {

int add_engine_tables(PyObject* module) {
    static constexpr struct {
        const char* name;
        PyObject* (*make)();
    } kTables[] = {
        {"DEFAULTS", defaults}, {"FIT_DEFAULTS", fit_defaults}, {"TOKEN_KINDS", token_kinds}, {"OPERATORS", operators}};
    Ref done(guarded([module]() -> PyObject* {
        for (const auto& t : kTables)
            if (PyModule_Add(module, t.name, t.make()) < 0) throw PyErrorSet{};
        Py_RETURN_NONE;
    }));
    return done ? 0 : -1;
}

}  // namespace vok::ext
