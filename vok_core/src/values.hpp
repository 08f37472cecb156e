// Python objects of the value classes, for the class files that create or
// read each other's instances (VOKPoint.pair() makes a VOKPair, a VOKKnot
// reads and hands out VOKPoints).
#pragma once

#include "frame.hpp"
#include "pair.hpp"
#include "point.hpp"

namespace vok::face {

// A new VOKPoint holding p (point.cpp). Throws py::Error.
PyObject* new_point(PointXY p);
// The coordinates of an object known to be a VOKPoint (point.cpp).
PointXY point_value(PyObject* point);
// A new VOKPair holding c (pair.cpp). Throws py::Error.
PyObject* new_pair(Complex c);

}  // namespace vok::face
