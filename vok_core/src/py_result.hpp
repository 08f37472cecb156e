// Results: native values turned into new Python objects, lists filled in
// index order. Every builder throws py::Error (or std::bad_alloc).
#pragma once

#include <array>
#include <span>

#include "py_error.hpp"

namespace vok::py {

PyObject* new_float(double v);
PyObject* float_list(std::span<const double> values);
// A list of N-tuples of floats.
template <std::size_t N>
PyObject* tuple_list(std::span<const std::array<double, N>> rows);
// A list of float lists. Row: std::array<double, K> or std::vector<double>.
template <class Row>
PyObject* nested_list(std::span<const Row> rows);

}  // namespace vok::py
