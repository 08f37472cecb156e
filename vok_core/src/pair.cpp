// VOKPair: the Python face of the complex kernels, plus rotate_phase_n and
// schrodinger_step_n (sequential loops on the calling thread).
#include <algorithm>
#include <string>
#include <vector>

#include "numfmt.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "py_type.hpp"
#include "registry.hpp"
#include "value_objects.hpp"

namespace py = vok::py;

namespace {

using PairObject = py::Boxed<vok::Complex>;

vok::Complex value_of(PyObject* self) { return py::unbox<vok::Complex>(self); }

bool is_pair(PyObject* o) { return PyObject_TypeCheck(o, vok::face::pair_type()); }

using py::Kind;

constexpr py::Callable kNew{Kind::constructor, "VOKPair", "__new__", {"real", "imag"}};
constexpr py::Callable kFromValues{Kind::static_method, "VOKPair", "from_values", {"real", "imag"}};
constexpr py::Callable kFromPolar{Kind::static_method, "VOKPair", "from_polar", {"r", "theta"}};
constexpr py::Callable kUnitI{Kind::static_method, "VOKPair", "unit_i", {}};
constexpr py::Callable kOne{Kind::static_method, "VOKPair", "one", {}};
constexpr py::Callable kZero{Kind::static_method, "VOKPair", "zero", {}};
constexpr py::Callable kRotatePhase{Kind::method, "VOKPair", "rotate_phase", {"angle"}};
constexpr py::Callable kConjugate{Kind::method, "VOKPair", "conjugate", {}};
constexpr py::Callable kRotatePhaseN{
    Kind::function, nullptr, "rotate_phase_n", {"pairs", "angles"}, "Batch rotate_phase for a list of VOKPairs."};
constexpr py::Callable kSchrodingerStepN{
    Kind::function,
    nullptr,
    "schrodinger_step_n",
    {"psi", "v", "dt", "hbar"},
    "Batch Schr\u00f6dinger potential-phase step: \u03c8_n \u2192 e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n for all n.\n"
    "Returns list of (real, imag) tuples."};

// "VOKPair(1.000000 - 2.000000i)": the sign is "-" for a negative or NaN
// imaginary part (-0.0 is not negative), followed by |imag|.
PyObject* pair_repr(PyObject* self) {
    return py::guarded([self]() -> PyObject* {
        const vok::Complex c = value_of(self);
        std::string s = "VOKPair(";
        vok::append_fixed(s, c.re, 6);
        s += (c.im < 0.0 || std::isnan(c.im)) ? " - " : " + ";
        vok::append_fixed(s, std::fabs(c.im), 6);
        s += "i)";
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

// Binary operators take pairs on both sides; anything else is left to the
// other operand's type (and then to the interpreter's TypeError).
// Like every slot, they run under the guard: even the type test may throw.
template <vok::Complex (*Op)(vok::Complex, vok::Complex)>
PyObject* binary(PyObject* a, PyObject* b) {
    return py::guarded([a, b] {
        if (!is_pair(a) || !is_pair(b)) return Py_NewRef(Py_NotImplemented);
        return vok::face::new_pair(Op(value_of(a), value_of(b)));
    });
}

PyObject* pair_abs(PyObject* self) { return PyFloat_FromDouble(vok::complex_modulus(value_of(self))); }

// == is the tolerance equality (NotImplemented for non-pairs, so the
// interpreter falls back to identity); != negates the interpreter's own ==;
// the orderings are not defined.
PyObject* pair_richcompare(PyObject* a, PyObject* b, int op) {
    return py::guarded([a, b, op] {
        if (op == Py_EQ) {
            if (!is_pair(a) || !is_pair(b)) return Py_NewRef(Py_NotImplemented);
            return PyBool_FromLong(vok::complex_close(value_of(a), value_of(b)));
        }
        if (op == Py_NE) {
            py::Ref eq(py::check(PyObject_RichCompare(a, b, Py_EQ)));
            const int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) throw py::Error{};
            return PyBool_FromLong(!truth);
        }
        return Py_NewRef(Py_NotImplemented);
    });
}

PyObject* get_real(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).re); }
PyObject* get_imag(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).im); }
PyObject* get_modulus(PyObject* self, void*) { return PyFloat_FromDouble(vok::complex_modulus(value_of(self))); }
PyObject* get_argument(PyObject* self, void*) { return PyFloat_FromDouble(vok::complex_argument(value_of(self))); }

// Static constructors (no receiver).
PyObject* from_values(PyObject*, py::Args& a) {
    const double re = a.to_float(0);
    const double im = a.to_float(1);
    return vok::face::new_pair({re, im});
}

PyObject* from_polar(PyObject*, py::Args& a) {
    const double r = a.to_float(0);
    const double theta = a.to_float(1);
    return vok::face::new_pair(vok::complex_from_polar(r, theta));
}

template <double Re, double Im>
PyObject* constant(PyObject*, PyObject*) {
    return py::guarded([] { return vok::face::new_pair({Re, Im}); });
}

PyObject* rotate_phase(PyObject* self, py::Args& a) {
    const double angle = a.to_float(0);
    return vok::face::new_pair(vok::rotate_phase(value_of(self), angle));
}

PyObject* conjugate(PyObject* self, PyObject*) {
    return py::guarded([self] { return vok::face::new_pair(vok::complex_conjugate(value_of(self))); });
}

PyMethodDef pair_methods[] = {
    py::method_def<kFromValues, from_values>(), py::method_def<kFromPolar, from_polar>(),
    py::method_def<kUnitI>(constant<0.0, 1.0>), py::method_def<kOne>(constant<1.0, 0.0>),
    py::method_def<kZero>(constant<0.0, 0.0>),  py::method_def<kRotatePhase, rotate_phase>(),
    py::method_def<kConjugate>(conjugate),      {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pair_getset[] = {
    {"real_tension", get_real, nullptr, nullptr, nullptr}, {"imag_tension", get_imag, nullptr, nullptr, nullptr},
    {"modulus", get_modulus, nullptr, nullptr, nullptr},   {"argument", get_argument, nullptr, nullptr, nullptr},
    {"real", get_real, nullptr, nullptr, nullptr},         {"imag", get_imag, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pair_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::doc_text<kNew>.data())},
    {Py_tp_new, reinterpret_cast<void*>(vok::face::new_from_two_floats<vok::Complex, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(pair_repr)},
    {Py_tp_str, reinterpret_cast<void*>(pair_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(pair_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_add, reinterpret_cast<void*>(binary<vok::complex_add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(binary<vok::complex_sub>)},
    {Py_nb_multiply, reinterpret_cast<void*>(binary<vok::complex_mul>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(binary<vok::complex_div>)},
    {Py_nb_absolute, reinterpret_cast<void*>(pair_abs)},
    {Py_tp_methods, pair_methods},
    {Py_tp_getset, pair_getset},
    {0, nullptr},
};

PyType_Spec pair_spec = py::class_spec<PairObject>("vok_core.VOKPair", pair_slots);

// Applies step(pair, x_i) over the zipped inputs, in order, on this thread.
template <class Step>
PyObject* zipped_pairs(std::span<const py::Point2> pairs, std::span<const double> xs, Step step) {
    const std::size_t n = std::min(pairs.size(), xs.size());
    vok::Buffer<py::Point2> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const vok::Complex r = step(vok::Complex{pairs[i][0], pairs[i][1]}, xs[i]);
        out[i] = {r.re, r.im};
    }
    return py::tuple_list<2>(std::span<const py::Point2>(out));
}

PyObject* rotate_phase_n(PyObject*, py::Args& a) {
    const auto pairs = a.point_seq(0);
    const auto angles = a.float_seq(1);
    return zipped_pairs(pairs, angles, [](vok::Complex p, double angle) { return vok::rotate_phase(p, angle); });
}

PyObject* schrodinger_step_n(PyObject*, py::Args& a) {
    const auto psi = a.point_seq(0);
    const auto v = a.float_seq(1);
    const double dt = a.to_float(2);
    const double hbar = a.to_float(3);
    return zipped_pairs(psi, v,
                        [dt, hbar](vok::Complex p, double vi) { return vok::schrodinger_step(p, vi, dt, hbar); });
}

}  // namespace

namespace vok::face {

PyTypeObject* pair_type() { return py::cached_type<pair_spec>(); }

PyObject* new_pair(Complex c) { return py::box(pair_type(), c); }

PyMethodDef rotate_phase_n_def = py::method_def<kRotatePhaseN, rotate_phase_n>();
PyMethodDef schrodinger_step_n_def = py::method_def<kSchrodingerStepN, schrodinger_step_n>();

}  // namespace vok::face
