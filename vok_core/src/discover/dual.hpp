// Forward-mode evaluation of an expression: its values over a block of rows
// and, with them, the partial derivatives with respect to some of its Param
// tokens (dual numbers, one derivative column per chosen parameter).
//
// The values are computed by the column evaluator's own operator loops
// (apply_op_column, or apply_op_column_strict), so they are bit-identical to
// BlockEvaluator's, and a row fails exactly where it fails there. In addition a block fails when a
// derivative comes out infinite or NaN (sqrt at 0, ln near 0, overflow):
// a fit cannot take a step from such a point.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "discover/expr.hpp"

namespace vok::discover {

// The derivative column of a Param token that is held fixed.
inline constexpr std::size_t kFixed = static_cast<std::size_t>(-1);

// Which derivatives to carry: Param i (i < column.size()) contributes to
// derivative column column[i] unless that is kFixed; Param tokens with a
// larger index are fixed. Several Param tokens may share a column.
struct Directions {
    std::span<const std::size_t> column;
    std::size_t count = 0;  // derivative columns, each below count
};

// Scratch of one forward-mode evaluator. Not thread-safe: one per worker.
class DualEvaluator {
public:
    DualEvaluator() = default;
    // strict_tension: values as BlockEvaluator(true) gives them (Vok fails
    // where one of the tension's guards would act).
    explicit DualEvaluator(bool strict_tension) : strict_(strict_tension) {}

    // Values and derivatives of tokens over rows [first, first + n),
    // n <= kBlockRows. False when any row fails (see above).
    bool eval(std::span<const Token> tokens, const ColumnView& data, std::span<const double> params,
              const Directions& dirs, std::size_t first, std::size_t n);

    // After a successful eval: the n values, and derivative column k (zeros
    // when the expression does not depend on that parameter).
    const double* values() const { return top_value_; }
    const double* derivative(std::size_t k) const { return top_deriv_[k]; }

private:
    double* value_slot(std::size_t d) { return slots_.data() + d * (width_ + 1) * kBlockRows; }
    double* deriv_slot(std::size_t d, std::size_t k) { return value_slot(d) + (k + 1) * kBlockRows; }

    bool strict_ = false;
    std::size_t width_ = 0;                // derivative columns per slot
    std::vector<double> slots_;            // per stack slot: a value block, then width_ derivative blocks
    std::vector<const double*> value_;     // the values of each stack slot
    std::vector<unsigned char> active_;    // does the slot depend on a carried parameter?
    std::vector<double> zeros_, operand_;  // a block of zeros; a copy of a left operand
    std::vector<double> factor_;           // an operator's slopes, shared by its derivative columns
    const double* top_value_ = nullptr;
    std::vector<const double*> top_deriv_;  // of the result
};

// Values (rows) and derivatives (dirs.count columns of rows, column-major)
// of expr on every row of data. False when any row fails.
bool eval_dual_rows(const Expr& expr, const ColumnView& data, std::span<const double> params, const Directions& dirs,
                    DualEvaluator& ev, std::vector<double>& values, std::vector<double>& derivs);

}  // namespace vok::discover
