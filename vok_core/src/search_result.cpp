// The Python face of formula discovery: find_formula, which runs one beam
// search, and PySearchResult, the read-only record of the formula it found.
#include <memory>
#include <string>
#include <vector>

#include "discover/columns.hpp"
#include "discover/render.hpp"
#include "discover/search.hpp"
#include "numfmt.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "py_search_result.hpp"
#include "py_type.hpp"
#include "registry.hpp"

namespace py = vok::py;
namespace discover = vok::discover;

namespace {

using ResultFields = py::SearchResultFields;

// The fields live on the C++ heap so that the object stays a plain C layout;
// the class's deallocator deletes them.
struct ResultObject {
    PyObject_HEAD ResultFields* fields;
};

const ResultFields& fields_of(PyObject* self) { return *reinterpret_cast<ResultObject*>(self)->fields; }

PyObject* new_str(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

// Instances come from find_formula only.
PyObject* result_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for PySearchResult");
    return nullptr;
}

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ResultObject*>(self)->fields;
    type->tp_free(self);
    Py_DECREF(type);
}

// "SearchResult(formula='(x * x)', error=1.00e-3, complexity=3)": the formula
// is inserted as it is, without escaping.
PyObject* result_repr(PyObject* self) {
    return py::guarded([self]() -> PyObject* {
        const ResultFields& f = fields_of(self);
        std::string s = "SearchResult(formula='" + f.formula + "', error=" + vok::format_exp2(f.error) +
                        ", complexity=" + std::to_string(f.complexity) + ")";
        return new_str(s);
    });
}

PyObject* get_formula(PyObject* self, void*) { return new_str(fields_of(self).formula); }
PyObject* get_error(PyObject* self, void*) { return PyFloat_FromDouble(fields_of(self).error); }
PyObject* get_complexity(PyObject* self, void*) { return PyLong_FromSize_t(fields_of(self).complexity); }
PyObject* get_params(PyObject* self, void*) {
    return py::guarded([self] { return py::float_list(fields_of(self).params); });
}

PyObject* to_latex(PyObject* self, PyObject*) {
    return py::guarded([self] { return new_str(discover::to_latex(fields_of(self).formula)); });
}

PyObject* to_python(PyObject* self, PyObject*) {
    return py::guarded([self] { return new_str(discover::to_python(fields_of(self).formula)); });
}

constexpr py::Callable kToLatex{py::Kind::method, "PySearchResult", "to_latex", {}};
constexpr py::Callable kToPython{py::Kind::method, "PySearchResult", "to_python", {}};

PyMethodDef result_methods[] = {
    py::method_def<kToLatex>(to_latex),
    py::method_def<kToPython>(to_python),
    {nullptr, nullptr, 0, nullptr},
};

// Getters only: assigning any of them raises AttributeError.
PyGetSetDef result_getset[] = {
    {"formula", get_formula, nullptr, nullptr, nullptr},
    {"error", get_error, nullptr, nullptr, nullptr},
    {"complexity", get_complexity, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing formula discovery result.")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = py::class_spec<ResultObject>("vok_core.PySearchResult", result_slots);

// Refuses data the search could not read before any search work starts.
void check_columns(const std::vector<std::vector<double>>& columns) {
    if (const auto fault = discover::column_shape_fault(columns))
        py::raise(PyExc_ValueError, discover::column_shape_message(*fault, "x_data"));
}

// The defaults shown are the search's own (SearchOptions), which the body
// keeps for an argument not given.
constexpr py::Callable kFindFormula{
    py::Kind::function,
    nullptr,
    "find_formula",
    {"x_data",
     "y_data",
     {"max_complexity", discover::default_text("max_complexity")},
     {"beam_width", discover::default_text("beam_width")},
     {"precision_goal", discover::default_text("precision_goal")},
     {"use_trig", discover::default_text("use_trig")},
     {"use_vok", discover::default_text("use_vok")},
     {"complexity_penalty", discover::default_text("complexity_penalty")}},
    "Find a formula fitting x_data \u2192 y_data.\n"
    "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
    "y_data: target values (1D list)."};

PyObject* find_formula(PyObject*, py::Args& a) {
    const std::vector<std::vector<double>> columns = a.nested_seq(0);
    const auto targets = a.float_seq(1);
    discover::SearchOptions options;  // the defaults of kFindFormula's text signature
    if (a.given(2)) options.max_complexity = a.count(2);
    if (a.given(3)) options.beam_width = a.count(3);
    if (a.given(4)) options.precision_goal = a.to_float(4);
    if (a.given(5)) options.use_trig = a.flag(5);
    if (a.given(6)) options.use_vok = a.flag(6);
    if (a.given(7)) options.complexity_penalty = a.to_float(7);
    check_columns(columns);
    // A pending signal (Ctrl-C) ends the search with the handler's exception:
    // the search offers this checkpoint between levels and during the work
    // it does on this thread; parallel steps are covered by the pool's poll.
    options.checkpoint = [] {
        if (PyErr_CheckSignals() < 0) throw py::Error{};
    };

    std::optional<discover::SearchResult> best = discover::search(columns, targets, columns.size(), options);
    if (!best) Py_RETURN_NONE;
    return vok::face::new_search_result(
        ResultFields{std::move(best->formula), best->error, best->complexity, std::move(best->params)});
}

}  // namespace

namespace vok::face {

PyTypeObject* search_result_type() { return py::cached_type<result_spec>(); }

PyObject* new_search_result(py::SearchResultFields&& f) {
    auto fields = std::make_unique<ResultFields>(std::move(f));
    ResultObject* o = py::alloc_instance<ResultObject>(search_result_type());
    o->fields = fields.release();
    return reinterpret_cast<PyObject*>(o);
}

PyMethodDef find_formula_def = py::method_def<kFindFormula, find_formula>();

}  // namespace vok::face
