// Engine access for vok_math.discover: refitting a found formula's constants
// (for instance after some were rounded to simple values, or on every row
// after a search on a subsample), by the engine's Levenberg-Marquardt from
// the given values, with the interpreter lock released.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "discover/lm.hpp"
#include "discover/param_shapes.hpp"
#include "discover/scoring.hpp"
#include "discover/search_internals.hpp"
#include "engine.hpp"
#include "py_unlocked.hpp"

namespace {

namespace d = vok::discover;
using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::Ref;

// Fits with more free constants than this are refused: the normal
// equations grow with their square, the Jacobian with rows times their count.
constexpr std::size_t kMaxFree = 32;

using vok::ext::raise;

// fit(tokens, params, columns, targets, free=None) -> (params, rmse)
PyObject* fit(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_params, *py_columns, *py_targets, *py_free = Py_None;
        if (!PyArg_ParseTuple(args, "OOOO|O:fit", &py_tokens, &py_params, &py_columns, &py_targets, &py_free))
            return nullptr;
        const auto columns = vok::ext::read_columns(py_columns);
        const d::Expr expr = vok::ext::read_tokens(py_tokens, columns.size());
        std::vector<double> params = vok::ext::read_params(py_params);
        const auto targets = vok::ext::read_doubles(py_targets);
        const std::size_t m = params.size();
        std::unique_ptr<bool[]> free(new bool[m]);
        std::size_t n_free = m;
        if (py_free != Py_None) {
            Ref items(check(PySequence_Tuple(py_free)));
            if (static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())) != m)
                raise(PyExc_ValueError, "free must have one entry per parameter");
            n_free = 0;
            for (std::size_t i = 0; i < m; ++i) {
                const int t = PyObject_IsTrue(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)));
                if (t < 0) throw PyErrorSet{};
                free[i] = t != 0;
                n_free += free[i];
            }
        } else {
            std::fill_n(free.get(), m, true);
        }
        if (n_free > kMaxFree) raise(PyExc_ValueError, "at most 32 constants can be fitted at once");
        const vok::discover::ColumnPointers cols(columns, "fit");
        std::optional<d::DirectFit> result;
        double rmse = 0.0;
        vok::py::unlocked([&] {
            d::FitScratch scratch;
            result = d::fit_direct(expr, d::FitData{cols.view(), targets}, params, {free.get(), m}, {}, scratch);
            if (result) rmse = d::rmse(expr, columns, targets, result->params);
        });
        if (!result) raise(PyExc_ValueError, "the formula cannot be evaluated on every row at the given constants");
        Ref out(vok::ext::doubles_to_tuple(result->params));
        return check(Py_BuildValue("(Od)", out.get(), rmse));
    });
}

// fit_each(formulas, columns, targets, iterations) -> list: for each
// (tokens, params) of formulas, all its constants refitted on every row from
// the given values by at most `iterations` steps (0: the rmse at the given
// values), (params, rmse), or None when some row fails (at the given values,
// or at the fitted ones).
// One copy of the data serves every formula; the fits run on the worker
// pool, each a sequential fit like fit()'s, so the results do not depend on
// the pool's size.
PyObject* fit_each(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_formulas, *py_columns, *py_targets;
        Py_ssize_t iterations;
        if (!PyArg_ParseTuple(args, "OOOn:fit_each", &py_formulas, &py_columns, &py_targets, &iterations))
            return nullptr;
        if (iterations < 0) raise(PyExc_ValueError, "iterations must not be negative");
        d::LmOptions lm;
        lm.max_iterations = static_cast<std::size_t>(iterations);
        const auto columns = vok::ext::read_columns(py_columns);
        const auto targets = vok::ext::read_doubles(py_targets);
        Ref items(check(PySequence_Tuple(py_formulas)));
        const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
        std::vector<d::Expr> exprs(n);
        std::vector<std::vector<double>> params(n);
        for (std::size_t i = 0; i < n; ++i) {
            Ref pair(check(PySequence_Tuple(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)))));
            if (PyTuple_GET_SIZE(pair.get()) != 2) raise(PyExc_ValueError, "each formula is (tokens, params)");
            exprs[i] = vok::ext::read_tokens(PyTuple_GET_ITEM(pair.get(), 0), columns.size());
            params[i] = vok::ext::read_params(PyTuple_GET_ITEM(pair.get(), 1));
            if (params[i].size() > kMaxFree) raise(PyExc_ValueError, "at most 32 constants can be fitted at once");
        }
        std::vector<double> rmse(n);
        std::vector<unsigned char> ok(n, 0);
        vok::py::unlocked([&] {
            const vok::discover::ColumnPointers cols(columns, "fit");
            d::for_each_index(d::pool_executor, n, [&](std::size_t i, d::FitScratch& scratch) {
                if (lm.max_iterations > 0 && !params[i].empty()) {
                    auto fit = d::fit_direct(exprs[i], d::FitData{cols.view(), targets}, params[i], {}, lm, scratch);
                    if (!fit) return;
                    params[i] = std::move(fit->params);
                }
                rmse[i] = d::rmse(exprs[i], columns, targets, params[i]);
                ok[i] = !std::isnan(rmse[i]);
            });
        });
        Ref out(check(PyList_New(static_cast<Py_ssize_t>(n))));
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* item = Py_None;
            if (ok[i]) {
                Ref fitted(vok::ext::doubles_to_tuple(params[i]));
                item = check(Py_BuildValue("(Od)", fitted.get(), rmse[i]));
            } else {
                Py_INCREF(item);
            }
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
        }
        return out.release();
    });
}

PyMethodDef methods[] = {
    {"fit", fit, METH_VARARGS,
     "fit(tokens, params, columns, targets, free=None)\n--\n\n"
     "Least-squares refit of the constants marked free (all when None) from the\n"
     "given values; returns (params, rmse), rmse as the search reports it."},
    {"fit_each", fit_each, METH_VARARGS,
     "fit_each(formulas, columns, targets, iterations)\n--\n\n"
     "fit() of every constant of each (tokens, params) of formulas by at most\n"
     "iterations steps (0: none), on the worker pool; a list of (params, rmse),\n"
     "None where some row fails."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine_fit(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vok::ext
