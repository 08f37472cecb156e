// Text forms of floats, shared by the value classes and the formula renderer.
// All are correctly rounded from the exact binary value (ties to even) and
// write NaN as "NaN", infinities as "inf" / "-inf".
#pragma once

#include <string>

namespace vok {

// Fixed notation with exactly `decimals` digits after the point, never an
// exponent; negatives keep their sign even when they round to zero
// ("-0.000000"). Used with 6 decimals by the class reprs, 4 for the knot's
// phase and the formula constants.
std::string format_fixed(double v, int decimals);
void append_fixed(std::string& out, double v, int decimals);

// Shortest round-trip form: scientific ("1e-5", "1.5e-7", "1e16") when the
// magnitude is non-zero and below 1e-4 or at least 1e16, else positional with
// at least one decimal ("1.0", "0.0001", "1000000000000000.0").
std::string format_shortest(double v);

// Exponent form with two decimals: "1.23e-3", "0.00e0", "1.00e-10".
std::string format_exp2(double v);

}  // namespace vok
