// Found expressions on data: their values (Formula.predict), their rmse as
// the fitted search reports it, the engine's text of them, and the check of
// tokens coming from Python, all through engine.hpp's conversions.
#include <cmath>
#include <string>
#include <vector>

#include "discover/expr.hpp"
#include "discover/render.hpp"
#include "discover/scoring.hpp"
#include "engine.hpp"
#include "interrupt.hpp"
#include "py_unlocked.hpp"

namespace {

namespace d = vok::discover;
using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::raise;
using vok::ext::Ref;

using vok::ext::read_columns;
using vok::ext::read_doubles;
using vok::ext::read_params;
using vok::ext::read_tokens;
using vok::ext::tokens_to_py;

// evaluate(tokens, columns, params=()) -> bytes: the expression's value at
// every row as float64 (Param i reading params[i], else its token's value),
// NaN for a row where the engine's evaluator fails (a domain or finiteness
// failure of any operator).
PyObject* evaluate(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_columns, *py_params = nullptr;
        if (!PyArg_ParseTuple(args, "OO|O:evaluate", &py_tokens, &py_columns, &py_params)) return nullptr;
        const auto columns = read_columns(py_columns);
        const d::Expr expr = read_tokens(py_tokens, columns.size());
        const std::vector<double> params = py_params ? read_params(py_params) : std::vector<double>{};
        const std::size_t rows = columns[0].size();
        std::vector<double> values;
        vok::py::unlocked([&] {
            if (auto all = d::eval_batch(expr, columns, params)) {
                values = std::move(*all);
            } else {
                // Some row fails: evaluate row by row to keep the others.
                values.resize(rows);
                std::vector<double> point(columns.size());
                for (std::size_t r = 0; r < rows; ++r) {
                    for (std::size_t j = 0; j < columns.size(); ++j) point[j] = columns[j][r];
                    values[r] = d::eval(expr, point, params).value_or(std::nan(""));
                    vok::interruption_point(expr.tokens.size());
                }
            }
        });
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size() * sizeof(double)));
    });
}

// rmse(tokens, params, columns, targets) -> float: the root-mean-square
// error the fitted search reports for these tokens and parameters (NaN when
// a row fails).
PyObject* rmse(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_params, *py_columns, *py_targets;
        if (!PyArg_ParseTuple(args, "OOOO:rmse", &py_tokens, &py_params, &py_columns, &py_targets)) return nullptr;
        const auto columns = read_columns(py_columns);
        const d::Expr expr = read_tokens(py_tokens, columns.size());
        const std::vector<double> params = read_params(py_params);
        const auto targets = read_doubles(py_targets);
        double value = 0.0;
        vok::py::unlocked([&] { value = d::rmse(expr, columns, targets, params); });
        return PyFloat_FromDouble(value);
    });
}

// render(tokens, names) -> str: the engine's formula text with names[i]
// written for variable i.
PyObject* render(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_names;
        if (!PyArg_ParseTuple(args, "OO:render", &py_tokens, &py_names)) return nullptr;
        Ref items(check(PySequence_Tuple(py_names)));
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(items.get(), i), &size);
            if (!text) throw PyErrorSet{};
            names.emplace_back(text, static_cast<std::size_t>(size));
        }
        const d::Expr expr = read_tokens(py_tokens, names.size());
        const std::string text = d::to_string(expr, names);
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    });
}

// read_tokens(tokens, variables) -> tuple: the tokens as the engine reads
// them, ValueError unless they are one expression over that many variables.
PyObject* py_read_tokens(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject* py_tokens;
        Py_ssize_t n_vars;
        if (!PyArg_ParseTuple(args, "On:read_tokens", &py_tokens, &n_vars)) return nullptr;
        if (n_vars < 0) raise(PyExc_ValueError, "the variable count must not be negative");
        return tokens_to_py(read_tokens(py_tokens, static_cast<std::size_t>(n_vars)));
    });
}

PyMethodDef methods[] = {
    {"read_tokens", py_read_tokens, METH_VARARGS,
     "read_tokens(tokens, variables)\n--\n\n"
     "The tokens as (kind, operator, index, value) tuples; ValueError unless\n"
     "they are one well-formed expression over that many variables."},
    {"render", render, METH_VARARGS,
     "render(tokens, names)\n--\n\nThe engine's formula text with the variables' names."},
    {"evaluate", evaluate, METH_VARARGS,
     "evaluate(tokens, columns, params=())\n--\n\n"
     "The expression's float64 values at every row, as bytes (NaN where it fails)."},
    {"rmse", rmse, METH_VARARGS,
     "rmse(tokens, params, columns, targets)\n--\n\n"
     "The root-mean-square error the fitted search reports for tokens with params."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine_eval(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vok::ext
