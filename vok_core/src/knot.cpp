// VOKKnot: the Python face of the knot kernels, and simulate_pulses_n.

#include <cstdio>
#include <string>

#include "knot.hpp"
#include "machine.hpp"
#include "numfmt.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "py_type.hpp"
#include "registry.hpp"
#include "value_objects.hpp"

namespace py = vok::py;

namespace {

using KnotObject = py::Boxed<vok::KnotState>;

const vok::KnotState& state_of(PyObject* self) { return py::unbox<vok::KnotState>(self); }

PyObject* new_knot(PyTypeObject* type, const vok::KnotState& s) { return py::box(type, s); }

using py::Kind;

constexpr py::Callable kNew{Kind::constructor, "VOKKnot", "__new__", {"point", {"n", "0"}, {"theta", "0.0"}}};
constexpr py::Callable kMirrorPulse{Kind::method, "VOKKnot", "mirror_pulse", {}};
constexpr py::Callable kPulse{Kind::method, "VOKKnot", "pulse", {}, "Alias for mirror_pulse()."};
constexpr py::Callable kThreeOneFlip{Kind::method, "VOKKnot", "three_one_flip", {}};
constexpr py::Callable kFlip{Kind::method, "VOKKnot", "flip", {}, "Alias for three_one_flip()."};
constexpr py::Callable kTreadYield{Kind::method, "VOKKnot", "tread_yield", {}};
constexpr py::Callable kSimulatePulsesN{Kind::function,
                                        nullptr,
                                        "simulate_pulses_n",
                                        {"x0", "y0", "n_pulses"},
                                        "Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."};

PyObject* knot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::call_new(kNew, args, kwargs, [type](py::Args& a) -> PyObject* {
        PyObject* point = a.instance(0, vok::face::point_type(), "VOKPoint");
        const std::int64_t n = a.given(1) ? a.integer(1) : 0;
        const double theta = a.given(2) ? a.to_float(2) : 0.0;
        return new_knot(type, {vok::face::point_value(point), n, vok::reduce_phase(theta)});
    });
}

// "VOKKnot(n=0, rho=1.000000, theta=0.0000, point=VOKPoint { x: 0.0, y: 1.0 })"
PyObject* knot_repr(PyObject* self) {
    return py::guarded([self]() -> PyObject* {
        const vok::KnotState& k = state_of(self);
        std::string s = "VOKKnot(n=" + std::to_string(k.count) + ", rho=";
        vok::append_fixed(s, vok::knot_rho(k.point), 6);
        s += ", theta=";
        vok::append_fixed(s, k.phase, 4);
        s += ", point=VOKPoint { x: " + vok::format_shortest(k.point.x) + ", y: " + vok::format_shortest(k.point.y) +
             " })";
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

PyObject* get_point(PyObject* self, void*) {
    return py::guarded([self] { return vok::face::new_point(state_of(self).point); });
}
PyObject* get_flip_count(PyObject* self, void*) { return PyLong_FromLongLong(state_of(self).count); }
PyObject* get_phase(PyObject* self, void*) { return PyFloat_FromDouble(state_of(self).phase); }
PyObject* get_rho(PyObject* self, void*) { return PyFloat_FromDouble(vok::knot_rho(state_of(self).point)); }

PyObject* mirror_pulse(PyObject* self, PyObject*) {
    return py::guarded([self] { return new_knot(Py_TYPE(self), vok::knot_pulse(state_of(self))); });
}

PyObject* three_one_flip(PyObject* self, PyObject*) {
    return py::guarded([self] { return new_knot(Py_TYPE(self), vok::knot_flip(state_of(self))); });
}

PyObject* tread_yield(PyObject* self, PyObject*) { return PyLong_FromLongLong(vok::tread_yield(state_of(self).count)); }

PyMethodDef knot_methods[] = {
    py::method_def<kMirrorPulse>(mirror_pulse),    py::method_def<kPulse>(mirror_pulse),
    py::method_def<kThreeOneFlip>(three_one_flip), py::method_def<kFlip>(three_one_flip),
    py::method_def<kTreadYield>(tread_yield),      {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef knot_getset[] = {
    {"rho", get_rho, nullptr, nullptr, nullptr},
    {"point", get_point, nullptr, nullptr, nullptr},
    {"flip_count", get_flip_count, nullptr, nullptr, nullptr},
    {"phase", get_phase, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot knot_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::doc_text<kNew>.data())},
    {Py_tp_new, reinterpret_cast<void*>(knot_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(knot_repr)},
    {Py_tp_str, reinterpret_cast<void*>(knot_repr)},
    {Py_tp_methods, knot_methods},
    {Py_tp_getset, knot_getset},
    {0, nullptr},
};

PyType_Spec knot_spec = py::class_spec<KnotObject>("vok_core.VOKKnot", knot_slots);

// Records the memory available to the process could hold as a result list:
// a list slot, a 3-tuple and three floats take about 144 bytes a record on
// top of the 24-byte native record. Refusing larger counts up front matters
// on overcommitting kernels, where the native reservation alone may succeed
// and the process would be killed while it builds the list.
std::uint64_t affordable_records() { return vok::affordable_count(144 + sizeof(vok::PulseRecord)); }

// simulate_pulses_n(x0, y0, n_pulses): the trajectory as (x, y, tension)
// tuples, computed on the calling thread. An unaddressable count raises the
// internal failure "capacity overflow"; a count memory cannot hold, MemoryError.
PyObject* simulate_pulses_n(PyObject*, py::Args& a) {
    const double x0 = a.to_float(0);
    const double y0 = a.to_float(1);
    const std::uint64_t n = a.count(2);
    // Asking the system about memory costs more than a short trajectory:
    // only counts that could come near the limit (a million records take
    // about 168 MB) consult it.
    constexpr std::uint64_t kSurelyAffordable = std::uint64_t{1} << 20;
    const auto budget = n < kSurelyAffordable ? vok::kMaxPulseRecords : affordable_records();
    const auto records = vok::simulate_pulses(x0, y0, n, budget);
    return py::tuple_list<3>(std::span<const vok::PulseRecord>(records));
}

}  // namespace

namespace vok::face {

PyTypeObject* knot_type() { return py::cached_type<knot_spec>(); }

PyMethodDef simulate_pulses_n_def = py::method_def<kSimulatePulsesN, simulate_pulses_n>();

}  // namespace vok::face
