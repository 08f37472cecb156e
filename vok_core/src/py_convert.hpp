// Argument kinds: converting one Python argument into a native value.
//
// Each converter throws py::Error with the Python exception set; it knows
// nothing of the parameter's name (Args::named adds that to a TypeError).
// Sequence kinds take any sequence but str; the items convert in order.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "buffer.hpp"
#include "py_error.hpp"

namespace vok::py {

using Point2 = std::array<double, 2>;
using Octet = std::array<double, 8>;

namespace convert {

double to_float(PyObject* o);                              // anything with __float__ or __index__
Buffer<double> float_seq(PyObject* o);                     // items as to_float
Buffer<Point2> point_seq(PyObject* o);                     // items: tuples (or subclasses) of 2 floats
Buffer<Octet> octet_seq(PyObject* o);                      // items: sequences of 8 floats
std::vector<std::vector<double>> nested_seq(PyObject* o);  // items: float sequences
std::vector<std::int8_t> small_int_seq(PyObject* o);       // items: ints in [-128, 127]
std::uint64_t count(PyObject* o);                          // __index__, unsigned 64-bit
std::int64_t integer(PyObject* o);                         // an int in C long range
bool flag(PyObject* o);                                    // True, False or a NumPy boolean

}  // namespace convert
}  // namespace vok::py
