// Python objects of the value classes, for the class files that create or
// read each other's instances (VOKPoint.pair() makes a VOKPair, a VOKKnot
// reads and hands out VOKPoints).
#pragma once

#include "py_bind.hpp"
#include "py_type.hpp"
#include "pair.hpp"
#include "point.hpp"

namespace vok::face {

// A new VOKPoint holding p (point.cpp). Throws py::Error.
PyObject* new_point(PointXY p);
// The coordinates of an object known to be a VOKPoint (point.cpp).
PointXY point_value(PyObject* point);
// A new VOKPair holding c (pair.cpp). Throws py::Error.
PyObject* new_pair(Complex c);

// tp_new of a class holding a T made of two float arguments, converted in
// order (VOKPoint from x and y, VOKPair from real and imag).
template <class T, const py::Callable& C>
PyObject* new_from_two_floats(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::call_new(C, args, kwargs, [type](py::Args& a) -> PyObject* {
        const double first = a.to_float(0);
        const double second = a.to_float(1);
        return py::box(type, T{first, second});
    });
}

}  // namespace vok::face
