// VOKPoint: the Python face of the point kernels, and boost_n.
#include <algorithm>
#include <string>

#include "numfmt.hpp"
#include "pool.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "py_type.hpp"
#include "registry.hpp"
#include "value_objects.hpp"

namespace py = vok::py;

namespace {

using PointObject = py::Boxed<vok::PointXY>;

vok::PointXY value_of(PyObject* self) { return py::unbox<vok::PointXY>(self); }

using py::Kind;

constexpr py::Callable kNew{Kind::constructor, "VOKPoint", "__new__", {"x", "y"}};
constexpr py::Callable kTension{Kind::method, "VOKPoint", "tension", {}};
constexpr py::Callable kVok{
    Kind::method, "VOKPoint", "vok", {}, "Alias for tension() \u2014 vok(x, y) = exp(x) - ln(y)."};
constexpr py::Callable kMirrorPulse{Kind::method, "VOKPoint", "mirror_pulse", {}};
constexpr py::Callable kPulse{Kind::method, "VOKPoint", "pulse", {}, "Alias for mirror_pulse()."};
constexpr py::Callable kFrameShift{Kind::method, "VOKPoint", "frame_shift", {}};
constexpr py::Callable kIsSlipping{Kind::method, "VOKPoint", "is_slipping", {}};
constexpr py::Callable kConservesTension{Kind::method, "VOKPoint", "conserves_tension", {"next", "tol"}};
constexpr py::Callable kPair{Kind::method,
                             "VOKPoint",
                             "pair",
                             {},
                             "Returns (exp(x), ln(|y|)) as an VOKPair \u2014 canonical frame coordinates."};
constexpr py::Callable kEuclideanDelta{
    Kind::method, "VOKPoint", "euclidean_delta", {}, "Euclidean delta: sqrt(exp(2x) + (ln y)^2)."};
constexpr py::Callable kMinkowskiDelta{Kind::method,
                                       "VOKPoint",
                                       "minkowski_delta",
                                       {"plus_signature", "c"},
                                       "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
                                       "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."};
constexpr py::Callable kBoost{Kind::method,
                              "VOKPoint",
                              "boost",
                              {"phi", "c"},
                              "Lorentz boost by rapidity phi. Returns new VOKPoint with identical \u0394_M.\n"
                              "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
                              "where t = exp(x_coord), x = ln(y_coord)."};
constexpr py::Callable kBoostN{Kind::function,
                               nullptr,
                               "boost_n",
                               {"points", "phis", "c"},
                               "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
                               "Returns Vec of (x', y') tuples."};

// "VOKPoint(x=1.000000, y=-0.500000)"
PyObject* point_repr(PyObject* self) {
    return py::guarded([self]() -> PyObject* {
        const vok::PointXY p = value_of(self);
        std::string s = "VOKPoint(x=";
        vok::append_fixed(s, p.x, 6);
        s += ", y=";
        vok::append_fixed(s, p.y, 6);
        s += ')';
        return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    });
}

PyObject* get_x(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).x); }
PyObject* get_y(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).y); }

// Methods without parameters.
PyObject* tension(PyObject* self, PyObject*) {
    const vok::PointXY p = value_of(self);
    return PyFloat_FromDouble(vok::tension(p.x, p.y));
}

PyObject* mirror_pulse(PyObject* self, PyObject*) {
    return py::guarded([self] { return vok::face::new_point(vok::pulse_map(value_of(self))); });
}

PyObject* frame_shift(PyObject* self, PyObject*) {
    return py::guarded([self] { return vok::face::new_point(vok::frame_shift(value_of(self))); });
}

PyObject* is_slipping(PyObject* self, PyObject*) { return PyBool_FromLong(vok::is_slipping(value_of(self).x)); }

PyObject* pair(PyObject* self, PyObject*) {
    return py::guarded([self] {
        const vok::PointXY p = value_of(self);
        return vok::face::new_pair({vok::frame_time(p.x), vok::frame_space(p.y)});
    });
}

PyObject* euclidean_delta(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(vok::euclidean_delta(value_of(self)));
}

// Methods with parameters.
PyObject* conserves_tension(PyObject* self, py::Args& a) {
    PyObject* next = a.instance(0, vok::face::point_type(), "VOKPoint");
    const double tol = a.to_float(1);
    return PyBool_FromLong(vok::conserves_tension(value_of(self).x, value_of(next).y, tol));
}

PyObject* minkowski_delta(PyObject* self, py::Args& a) {
    const bool plus = a.flag(0);
    const double c = a.to_float(1);
    return py::new_float(vok::minkowski_delta(value_of(self), plus, c));
}

PyObject* boost(PyObject* self, py::Args& a) {
    const double phi = a.to_float(0);
    const double c = a.to_float(1);
    return vok::face::new_point(vok::boost(value_of(self), phi, c));
}

PyMethodDef point_methods[] = {
    py::method_def<kTension>(tension),
    py::method_def<kVok>(tension),
    py::method_def<kMirrorPulse>(mirror_pulse),
    py::method_def<kPulse>(mirror_pulse),
    py::method_def<kFrameShift>(frame_shift),
    py::method_def<kIsSlipping>(is_slipping),
    py::method_def<kConservesTension, conserves_tension>(),
    py::method_def<kPair>(pair),
    py::method_def<kEuclideanDelta>(euclidean_delta),
    py::method_def<kMinkowskiDelta, minkowski_delta>(),
    py::method_def<kBoost, boost>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef point_getset[] = {
    {"x", get_x, nullptr, nullptr, nullptr},
    {"y", get_y, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot point_slots[] = {
    {Py_tp_doc, const_cast<char*>(py::doc_text<kNew>.data())},
    {Py_tp_new, reinterpret_cast<void*>(vok::face::new_from_two_floats<vok::PointXY, kNew>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(point_repr)},
    {Py_tp_str, reinterpret_cast<void*>(point_repr)},
    {Py_tp_methods, point_methods},
    {Py_tp_getset, point_getset},
    {0, nullptr},
};

PyType_Spec point_spec = py::class_spec<PointObject>("vok_core.VOKPoint", point_slots);

// boost_n(points, phis, c): VOKPoint.boost element by element, on the pool.
PyObject* boost_n(PyObject*, py::Args& a) {
    const auto points = a.point_seq(0);
    const auto phis = a.float_seq(1);
    const double c = a.to_float(2);
    const auto out = vok::ordered_map<py::Point2>(
        std::min(points.size(), phis.size()),
        [&](std::size_t i) {
            const vok::PointXY b = vok::boost({points[i][0], points[i][1]}, phis[i], c);
            return py::Point2{b.x, b.y};
        },
        vok::inline_below(vok::kBoostCost));
    return py::tuple_list<2>(std::span<const py::Point2>(out));
}

}  // namespace

namespace vok::face {

PyTypeObject* point_type() { return py::cached_type<point_spec>(); }

PyObject* new_point(PointXY p) { return py::box(point_type(), p); }

PointXY point_value(PyObject* point) { return value_of(point); }

PyMethodDef boost_n_def = py::method_def<kBoostN, boost_n>();

}  // namespace vok::face
