// Conversions between Python objects and the engine's data for the engine
// part of vok_math._ext (engine.cpp, engine_fit.cpp): float64 buffers and
// columns, token sequences checked as one expression, parameters.
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "discover/columns.hpp"
#include "discover/expr.hpp"
#include "engine.hpp"

namespace vok::ext {

namespace d = vok::discover;

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

// ---- Conversion --------------------------------------------------------

bool is_float64_format(const char* f) {
    return f && (!std::strcmp(f, "d") || !std::strcmp(f, "<d") || !std::strcmp(f, "=d") || !std::strcmp(f, "@d"));
}

// The values of a float64 buffer: a C-contiguous one of any shape, in
// order, or a one-dimensional one of any stride (a column of a table stored
// row by row), gathered here so that the caller need not copy it first.
std::vector<double> read_doubles(PyObject* obj) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) throw PyErrorSet{};
    std::vector<double> out;
    const bool contiguous = PyBuffer_IsContiguous(&view, 'C');
    const bool ok = view.itemsize == sizeof(double) && is_float64_format(view.format) && (contiguous || view.ndim == 1);
    if (ok && contiguous) {
        const auto* p = static_cast<const double*>(view.buf);
        out.assign(p, p + view.len / static_cast<Py_ssize_t>(sizeof(double)));
    } else if (ok) {
        out.resize(static_cast<std::size_t>(view.shape[0]));
        const char* p = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < out.size(); ++i, p += view.strides[0]) std::memcpy(&out[i], p, sizeof(double));
    }
    PyBuffer_Release(&view);
    if (!ok) raise(PyExc_TypeError, "expected a float64 buffer, contiguous or one-dimensional");
    return out;
}

std::vector<std::vector<double>> read_columns(PyObject* seq) {
    Ref items(check(PySequence_Tuple(seq)));
    std::vector<std::vector<double>> columns;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j)
        columns.push_back(read_doubles(PyTuple_GET_ITEM(items.get(), j)));
    if (const auto fault = d::column_shape_fault(columns))
        raise(PyExc_ValueError, d::column_shape_message(*fault, "X").c_str());
    return columns;
}

// A token's integer field; ValueError when it is negative or past `limit`.
std::size_t read_field(PyObject* obj, std::size_t limit, std::size_t token, const char* what) {
    Ref number(check(PyNumber_Index(obj)));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (overflow || v < 0 || static_cast<unsigned long long>(v) > limit) {
        PyErr_Format(PyExc_ValueError, "token %zu: %s %R is out of range", token, what, number.get());
        throw PyErrorSet{};
    }
    return static_cast<std::size_t>(v);
}

// A sequence of (kind, operator, index, value) sequences (tuples, or lists
// after a JSON round trip) as an expression over n_vars variables; ValueError
// unless it is one well-formed expression (d::expr_fault).
d::Expr read_tokens(PyObject* seq, std::size_t n_vars) {
    Ref items(check(PySequence_Tuple(seq)));
    d::Expr expr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        const auto at = static_cast<std::size_t>(i);
        Ref fields(check(PySequence_Tuple(PyTuple_GET_ITEM(items.get(), i))));
        if (PyTuple_GET_SIZE(fields.get()) != 4) {
            PyErr_Format(PyExc_ValueError, "token %zu: a token is (kind, operator, index, value)", at);
            throw PyErrorSet{};
        }
        auto field = [&](Py_ssize_t k) { return PyTuple_GET_ITEM(fields.get(), k); };
        const std::size_t kind = read_field(field(0), std::size(d::kTokenKindNames) - 1, at, "kind");
        const std::size_t op = read_field(field(1), d::kOpCount - 1, at, "operator code");
        const std::size_t index = read_field(field(2), PY_SSIZE_T_MAX, at, "index");
        const double value = PyFloat_AsDouble(field(3));
        if (value == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
        expr.tokens.push_back(d::Token{static_cast<d::TokenKind>(kind), static_cast<d::OpCode>(op), index, value});
    }
    if (const auto fault = d::expr_fault(expr.tokens, n_vars)) raise(PyExc_ValueError, fault->c_str());
    return expr;
}

PyObject* tokens_to_py(const d::Expr& expr) {
    Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(expr.tokens.size()))));
    for (std::size_t i = 0; i < expr.tokens.size(); ++i) {
        const d::Token& t = expr.tokens[i];
        PyObject* item = check(Py_BuildValue("(iind)", static_cast<int>(t.kind), static_cast<int>(t.op),
                                             static_cast<Py_ssize_t>(t.index), t.value));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

std::vector<double> read_params(PyObject* seq) {
    Ref items(check(PySequence_Tuple(seq)));
    std::vector<double> params;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        const double v = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
        if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
        params.push_back(v);
    }
    return params;
}

PyObject* doubles_to_tuple(std::span<const double> values) {
    Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(values[i])));
    return out.release();
}

}  // namespace vok::ext
