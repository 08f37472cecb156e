// What each Python-face file contributes to the module's registration table
// (lib.cpp). Type getters create their class once per process and return a
// borrowed pointer; they throw py::Error on failure.
#pragma once

#include "py_error.hpp"

namespace vok::face {

PyTypeObject* point_type();          // point.cpp
PyTypeObject* pair_type();           // pair.cpp
PyTypeObject* knot_type();           // knot.cpp
PyTypeObject* search_result_type();  // search_result.cpp

extern PyMethodDef schrodinger_step_n_def;   // pair.cpp
extern PyMethodDef rotate_phase_n_def;       // pair.cpp
extern PyMethodDef simulate_pulses_n_def;    // knot.cpp
extern PyMethodDef boost_n_def;              // point.cpp
extern PyMethodDef christoffel_batch_n_def;  // metric.cpp
extern PyMethodDef octonion_mul_n_def;       // octonion.cpp
extern PyMethodDef geometric_product_n_def;  // multivector.cpp
extern PyMethodDef find_formula_def;         // search_result.cpp

// Element-wise functions (lib.cpp).
extern PyMethodDef exp_n_def, ln_n_def, add_n_def, sub_n_def, mul_n_def, div_n_def, sqrt_n_def, sin_n_def, cos_n_def,
    tension_n_def, pow_n_def;

}  // namespace vok::face
