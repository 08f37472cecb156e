// Module entry, the registration table and the element-wise batch functions.
#include <atomic>
#include <cstdint>
#include <span>

#include "elementwise.hpp"
#include "machine.hpp"
#include "pool.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "registry.hpp"
#include "runtime_entry.hpp"

namespace py = vok::py;

namespace vok::face {
namespace {

// ------------------------------------------------------------ element-wise

// Below this many elements a call is computed on the calling thread: the
// work is cheaper than handing it to the workers (the values are the same).
constexpr std::size_t kInlineBelow = inline_below(kElementwiseCost);

// Runs body(i) for every index, each result written over its own input slot
// (the converted arrays belong to the call, so no second array is needed).
template <class Body>
void map_in_place(std::size_t n, Body body) {
    if (n < kInlineBelow) {
        pool_size();  // the call still brings the pool up, as a parallel one would
        for (std::size_t i = 0; i < n; ++i) body(i);
        return;
    }
    parallel_for(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(i);
    });
}

template <double (*F)(double)>
PyObject* unary(PyObject*, py::Args& a) {
    Buffer<double> xs = a.float_seq(0);
    double* v = xs.data();
    map_in_place(xs.size(), [v](std::size_t i) { v[i] = F(v[i]); });
    return py::float_list(xs);
}

// Zipped to the shorter input.
template <double (*F)(double, double)>
PyObject* binary(PyObject*, py::Args& a) {
    Buffer<double> as = a.float_seq(0);
    const Buffer<double> bs = a.float_seq(1);
    as.resize(std::min(as.size(), bs.size()));
    double* l = as.data();
    const double* r = bs.data();
    map_in_place(as.size(), [l, r](std::size_t i) { l[i] = F(l[i], r[i]); });
    return py::float_list(as);
}

using py::Kind;

constexpr py::Callable kExp{
    Kind::function, nullptr, "exp_n", {"xs"}, "Batch exp: [exp(x) for x in xs] \u2014 Rayon parallel."};
constexpr py::Callable kLn{Kind::function,
                           nullptr,
                           "ln_n",
                           {"ys"},
                           "Batch ln: [ln(y) for y in ys] \u2014 Rayon parallel, frame-shift guard applied."};
constexpr py::Callable kAdd{Kind::function,
                            nullptr,
                            "add_n",
                            {"as_", "bs"},
                            "Batch add: [a + b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr py::Callable kSub{Kind::function,
                            nullptr,
                            "sub_n",
                            {"as_", "bs"},
                            "Batch sub: [a - b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr py::Callable kMul{Kind::function,
                            nullptr,
                            "mul_n",
                            {"as_", "bs"},
                            "Batch mul: [a * b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."};
constexpr py::Callable kDiv{Kind::function,
                            nullptr,
                            "div_n",
                            {"as_", "bs"},
                            "Batch div: [a / b] \u2014 NaN for |b| < 1e-300 \u2014 Rayon parallel."};
constexpr py::Callable kSqrt{
    Kind::function, nullptr, "sqrt_n", {"xs"}, "Batch sqrt: [sqrt(|x|) for x in xs] \u2014 Rayon parallel."};
constexpr py::Callable kSin{
    Kind::function, nullptr, "sin_n", {"xs"}, "Batch sin: [sin(x) for x in xs] \u2014 Rayon parallel."};
constexpr py::Callable kCos{
    Kind::function, nullptr, "cos_n", {"xs"}, "Batch cos: [cos(x) for x in xs] \u2014 Rayon parallel."};
constexpr py::Callable kTension{Kind::function,
                                nullptr,
                                "tension_n",
                                {"xs", "ys"},
                                "Batch vok_tension: [vok(x, y) for (x, y) in zip(xs, ys)] \u2014 Rayon parallel."};
constexpr py::Callable kPow{Kind::function,
                            nullptr,
                            "pow_n",
                            {"bases", "exps"},
                            "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] \u2014 Rayon parallel."};

}  // namespace

PyMethodDef exp_n_def = py::method_def<kExp, unary<elementwise::exp>>();
PyMethodDef ln_n_def = py::method_def<kLn, unary<elementwise::ln>>();
PyMethodDef add_n_def = py::method_def<kAdd, binary<elementwise::add>>();
PyMethodDef sub_n_def = py::method_def<kSub, binary<elementwise::sub>>();
PyMethodDef mul_n_def = py::method_def<kMul, binary<elementwise::mul>>();
PyMethodDef div_n_def = py::method_def<kDiv, binary<elementwise::div>>();
PyMethodDef sqrt_n_def = py::method_def<kSqrt, unary<elementwise::sqrt>>();
PyMethodDef sin_n_def = py::method_def<kSin, unary<elementwise::sin>>();
PyMethodDef cos_n_def = py::method_def<kCos, unary<elementwise::cos>>();
PyMethodDef tension_n_def = py::method_def<kTension, binary<elementwise::tension>>();
PyMethodDef pow_n_def = py::method_def<kPow, binary<elementwise::pow>>();

}  // namespace vok::face

// ------------------------------------------------------------ registration

namespace {

using namespace vok::face;

// One row per module name, in registration order: a class (its getter) or a
// function (its descriptor).
struct Row {
    PyTypeObject* (*type)();
    PyMethodDef* function;
};

const Row kRegistry[] = {
    {point_type, nullptr},
    {pair_type, nullptr},
    {knot_type, nullptr},
    {nullptr, &schrodinger_step_n_def},
    {nullptr, &rotate_phase_n_def},
    {nullptr, &simulate_pulses_n_def},
    {nullptr, &boost_n_def},
    {nullptr, &exp_n_def},
    {nullptr, &ln_n_def},
    {nullptr, &add_n_def},
    {nullptr, &sub_n_def},
    {nullptr, &mul_n_def},
    {nullptr, &div_n_def},
    {nullptr, &sqrt_n_def},
    {nullptr, &sin_n_def},
    {nullptr, &cos_n_def},
    {nullptr, &tension_n_def},
    {nullptr, &pow_n_def},
    {nullptr, &christoffel_batch_n_def},
    {nullptr, &octonion_mul_n_def},
    {nullptr, &geometric_product_n_def},
    {search_result_type, nullptr},
    {nullptr, &find_formula_def},
};

// Appends `name` to __all__ (creating it on first use) and sets the attribute.
void add_name(PyObject* module, PyObject* name, PyObject* value) {
    py::Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error{};
        PyErr_Clear();
        all = py::Ref(py::check(PyList_New(0)));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw py::Error{};
    }
    if (PyList_Append(all.get(), name) < 0) throw py::Error{};
    if (PyObject_SetAttr(module, name, value) < 0) throw py::Error{};
}

void register_all(PyObject* module) {
    py::Ref module_name(py::check(PyUnicode_FromString("vok_core")));
    for (const Row& row : kRegistry) {
        if (row.type) {
            PyObject* type = reinterpret_cast<PyObject*>(row.type());
            py::Ref name(py::check(PyType_GetName(reinterpret_cast<PyTypeObject*>(type))));
            add_name(module, name.get(), type);
        } else {
            py::Ref fn(py::check(PyCFunction_NewEx(row.function, module, module_name.get())));
            py::Ref name(py::check(PyObject_GetAttrString(fn.get(), "__name__")));
            add_name(module, name.get(), fn.get());
        }
    }
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "vok_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{-1};  // the interpreter that imported us first
PyObject* g_module = nullptr;                 // written once, under the interpreter lock

}  // namespace

PyObject* vok_runtime_init_vok_core() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vok_core does not support sub-interpreters: it is already loaded in another interpreter "
                        "of this process");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    return py::guarded([]() -> PyObject* {
        // Said once, when the module is first imported (an error where warnings are).
        if (const char* text = vok::machine::ignored_memory_limit())
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "VOK_MEMORY_LIMIT=%s is not a byte size (digits, optionally followed by K, M or "
                                 "G): it is ignored and the measured memory is used",
                                 text) < 0)
                throw py::Error{};
        py::Ref module(py::check(PyModule_Create2(&g_module_def, PYTHON_API_VERSION)));
        register_all(module.get());
        g_module = Py_NewRef(module.get());
        return module.release();
    });
}
