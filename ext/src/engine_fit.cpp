// Engine access for vok_math.discover: refitting a found formula's constants
// (for instance after some were rounded to simple values), by the engine's
// Levenberg-Marquardt from the given values, with the interpreter lock
// released.
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "discover/lm.hpp"
#include "discover/scoring.hpp"
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

PyMethodDef methods[] = {
    {"fit", fit, METH_VARARGS,
     "fit(tokens, params, columns, targets, free=None)\n--\n\n"
     "Least-squares refit of the constants marked free (all when None) from the\n"
     "given values; returns (params, rmse), rmse as the search reports it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine_fit(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vok::ext
