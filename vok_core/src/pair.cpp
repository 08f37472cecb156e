// VOKPair: the Python face of the complex kernels, plus rotate_phase_n and
// schrodinger_step_n (sequential loops on the calling thread).
#include <algorithm>
#include <string>
#include <vector>

#include "faces.hpp"
#include "numfmt.hpp"
#include "values.hpp"

namespace py = vok::py;

namespace {

struct PairObject {
    PyObject_HEAD
    vok::Complex value;
};

vok::Complex value_of(PyObject* self) { return reinterpret_cast<PairObject*>(self)->value; }

bool is_pair(PyObject* o) { return PyObject_TypeCheck(o, vok::face::pair_type()); }

PyObject* pair_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"real", "imag"};
    static const py::Signature sig{"VOKPair.__new__()", names};
    return py::call_new(sig, args, kwargs, [type](py::Args& a) -> PyObject* {
        const double re = a.to_float(0);
        const double im = a.to_float(1);
        PairObject* p = py::alloc_instance<PairObject>(type);
        p->value = {re, im};
        return reinterpret_cast<PyObject*>(p);
    });
}

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
template <vok::Complex (*Op)(vok::Complex, vok::Complex)>
PyObject* binary(PyObject* a, PyObject* b) {
    if (!is_pair(a) || !is_pair(b)) Py_RETURN_NOTIMPLEMENTED;
    return py::guarded([a, b] { return vok::face::new_pair(Op(value_of(a), value_of(b))); });
}

PyObject* pair_abs(PyObject* self) { return PyFloat_FromDouble(vok::complex_modulus(value_of(self))); }

// == is the tolerance equality (NotImplemented for non-pairs, so the
// interpreter falls back to identity); != negates the interpreter's own ==;
// the orderings are not defined.
PyObject* pair_richcompare(PyObject* a, PyObject* b, int op) {
    if (op == Py_EQ) {
        if (!is_pair(a) || !is_pair(b)) Py_RETURN_NOTIMPLEMENTED;
        return PyBool_FromLong(vok::complex_close(value_of(a), value_of(b)));
    }
    if (op == Py_NE) {
        py::Ref eq(PyObject_RichCompare(a, b, Py_EQ));
        if (!eq) return nullptr;
        const int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) return nullptr;
        return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

PyObject* get_real(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).re); }
PyObject* get_imag(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).im); }
PyObject* get_modulus(PyObject* self, void*) { return PyFloat_FromDouble(vok::complex_modulus(value_of(self))); }
PyObject* get_argument(PyObject* self, void*) { return PyFloat_FromDouble(vok::complex_argument(value_of(self))); }

// Static constructors (no receiver).
PyObject* from_values(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"real", "imag"};
    static const py::Signature sig{"VOKPair.from_values()", names};
    return py::call(sig, args, nargs, kwnames, [](py::Args& a) -> PyObject* {
        const double re = a.to_float(0);
        const double im = a.to_float(1);
        return vok::face::new_pair({re, im});
    });
}

PyObject* from_polar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"r", "theta"};
    static const py::Signature sig{"VOKPair.from_polar()", names};
    return py::call(sig, args, nargs, kwnames, [](py::Args& a) -> PyObject* {
        const double r = a.to_float(0);
        const double theta = a.to_float(1);
        return vok::face::new_pair(vok::complex_from_polar(r, theta));
    });
}

template <double Re, double Im>
PyObject* constant(PyObject*, PyObject*) {
    return py::guarded([] { return vok::face::new_pair({Re, Im}); });
}

PyObject* rotate_phase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"angle"};
    static const py::Signature sig{"VOKPair.rotate_phase()", names};
    return py::call(sig, args, nargs, kwnames, [self](py::Args& a) -> PyObject* {
        const double angle = a.to_float(0);
        return vok::face::new_pair(vok::rotate_phase(value_of(self), angle));
    });
}

PyObject* conjugate(PyObject* self, PyObject*) {
    return py::guarded([self] { return vok::face::new_pair(vok::complex_conjugate(value_of(self))); });
}


PyMethodDef pair_methods[] = {
    {"from_values", vok::face::fast_entry(from_values), py::kFastCall | METH_STATIC, "from_values(real, imag)\n--\n\n"},
    {"from_polar", vok::face::fast_entry(from_polar), py::kFastCall | METH_STATIC, "from_polar(r, theta)\n--\n\n"},
    {"unit_i", constant<0.0, 1.0>, METH_NOARGS | METH_STATIC, "unit_i()\n--\n\n"},
    {"one", constant<1.0, 0.0>, METH_NOARGS | METH_STATIC, "one()\n--\n\n"},
    {"zero", constant<0.0, 0.0>, METH_NOARGS | METH_STATIC, "zero()\n--\n\n"},
    {"rotate_phase", vok::face::fast_entry(rotate_phase), py::kFastCall, "rotate_phase($self, angle)\n--\n\n"},
    {"conjugate", conjugate, METH_NOARGS, "conjugate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pair_getset[] = {
    {"real_tension", get_real, nullptr, nullptr, nullptr},
    {"imag_tension", get_imag, nullptr, nullptr, nullptr},
    {"modulus", get_modulus, nullptr, nullptr, nullptr},
    {"argument", get_argument, nullptr, nullptr, nullptr},
    {"real", get_real, nullptr, nullptr, nullptr},
    {"imag", get_imag, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pair_slots[] = {
    {Py_tp_doc, const_cast<char*>("VOKPair(real, imag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(pair_new)},
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

PyType_Spec pair_spec = {
    "vok_core.VOKPair",
    sizeof(PairObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    pair_slots,
};

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

PyObject* rotate_phase_n(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"pairs", "angles"};
    static const py::Signature sig{"rotate_phase_n()", names};
    return py::call(sig, args, nargs, kwnames, [](py::Args& a) -> PyObject* {
        const auto pairs = a.point_seq(0);
        const auto angles = a.float_seq(1);
        return zipped_pairs(pairs, angles, [](vok::Complex p, double angle) { return vok::rotate_phase(p, angle); });
    });
}

PyObject* schrodinger_step_n(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"psi", "v", "dt", "hbar"};
    static const py::Signature sig{"schrodinger_step_n()", names};
    return py::call(sig, args, nargs, kwnames, [](py::Args& a) -> PyObject* {
        const auto psi = a.point_seq(0);
        const auto v = a.float_seq(1);
        const double dt = a.to_float(2);
        const double hbar = a.to_float(3);
        return zipped_pairs(psi, v, [dt, hbar](vok::Complex p, double vi) {
            return vok::schrodinger_step(p, vi, dt, hbar);
        });
    });
}

}  // namespace

namespace vok::face {

PyTypeObject* pair_type() {
    static PyTypeObject* type = nullptr;
    if (!type) type = py::make_type(&pair_spec);
    return type;
}

PyObject* new_pair(Complex c) {
    PairObject* o = py::alloc_instance<PairObject>(pair_type());
    o->value = c;
    return reinterpret_cast<PyObject*>(o);
}

PyMethodDef rotate_phase_n_def = {"rotate_phase_n", fast_entry(rotate_phase_n), py::kFastCall,
                                  "rotate_phase_n(pairs, angles)\n--\n\n"
                                  "Batch rotate_phase for a list of VOKPairs."};

PyMethodDef schrodinger_step_n_def = {
    "schrodinger_step_n", fast_entry(schrodinger_step_n), py::kFastCall,
    "schrodinger_step_n(psi, v, dt, hbar)\n--\n\n"
    "Batch Schr\u00f6dinger potential-phase step: \u03c8_n \u2192 e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n for all n.\n"
    "Returns list of (real, imag) tuples."};

}  // namespace vok::face
