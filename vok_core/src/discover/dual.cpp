// Forward-mode column evaluation: values through apply_op_column, and the
// chain rule applied per operator to the derivative columns of its operands.
#include "discover/dual.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "guards.hpp"
#include "interrupt.hpp"

namespace vok::discover {

namespace {

// d op(a) = op'(a) da, for one derivative column. v holds op(a); fac holds
// cos(a) for sin, sin(a) for cos (computed with the value).
void unary_derivative(OpCode op, const double* a, const double* v, const double* fac, const double* da, double* out,
                      std::size_t n) {
    switch (op) {
        case OpCode::Neg:
            for (std::size_t r = 0; r < n; ++r) out[r] = -da[r];
            break;
        case OpCode::Recip:
            for (std::size_t r = 0; r < n; ++r) out[r] = -(da[r] * (v[r] * v[r]));
            break;
        case OpCode::Exp:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] * v[r];
            break;
        case OpCode::Ln:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] / a[r];
            break;
        case OpCode::Sqrt:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] / (2.0 * v[r]);
            break;
        case OpCode::Sin:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] * fac[r];
            break;
        case OpCode::Cos:
            for (std::size_t r = 0; r < n; ++r) out[r] = -(da[r] * fac[r]);
            break;
        case OpCode::Abs:
            for (std::size_t r = 0; r < n; ++r) out[r] = a[r] < 0.0 ? -da[r] : da[r];
            break;
        // asin' = 1 / sqrt(1 - t^2) and acos' = -asin', infinite at t = +-1
        // (the block then fails its finiteness test); tanh' = 1 - tanh^2.
        case OpCode::Arcsin:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] / std::sqrt(1.0 - (a[r] * a[r]));
            break;
        case OpCode::Arccos:
            for (std::size_t r = 0; r < n; ++r) out[r] = -(da[r] / std::sqrt(1.0 - (a[r] * a[r])));
            break;
        case OpCode::Tanh:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] * (1.0 - (v[r] * v[r]));
            break;
        default:
            break;
    }
}

// The slopes of the tension's halves, computed once for all the derivative
// columns: exp(e(a)) has slope exp(a), or 1 where the exponent guard
// replaced a by ln(a), into fac[r]; ln(l(b)) has slope 1/b, or 0 where the
// log guard replaced b by the floor, into fac[kBlockRows + r].
void vok_slopes(const double* a, const double* b, double* fac, std::size_t n) {
    for (std::size_t r = 0; r < n; ++r) {
        fac[r] = a[r] > kExponentThreshold ? 1.0 : std::exp(a[r]);
        fac[kBlockRows + r] = (b[r] > 0.0 || b[r] <= -kLogFloor) ? 1.0 / b[r] : 0.0;
    }
}

// d op(a, b) = op_a da + op_b db, for one derivative column. v holds op(a, b);
// fac holds vok_slopes' columns for the tension.
void binary_derivative(OpCode op, const double* a, const double* b, const double* v, const double* fac,
                       const double* da, const double* db, double* out, std::size_t n) {
    switch (op) {
        case OpCode::Vok:
            for (std::size_t r = 0; r < n; ++r) out[r] = (fac[r] * da[r]) - (fac[kBlockRows + r] * db[r]);
            break;
        case OpCode::Add:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] + db[r];
            break;
        case OpCode::Sub:
            for (std::size_t r = 0; r < n; ++r) out[r] = da[r] - db[r];
            break;
        case OpCode::Mul:
            for (std::size_t r = 0; r < n; ++r) out[r] = (da[r] * b[r]) + (a[r] * db[r]);
            break;
        case OpCode::Div:
            for (std::size_t r = 0; r < n; ++r) out[r] = (da[r] - (v[r] * db[r])) / b[r];
            break;
        default:
            break;
    }
}

bool all_finite(const double* v, std::size_t n) {
    bool ok = true;
    for (std::size_t r = 0; r < n; ++r) ok &= std::fabs(v[r]) <= DBL_MAX;
    return ok;
}

}  // namespace

bool DualEvaluator::eval(std::span<const Token> tokens, const ColumnView& data, std::span<const double> params,
                         const Directions& dirs, std::size_t first, std::size_t n) {
    if (tokens.empty()) return false;
    width_ = dirs.count;
    const std::size_t slot_doubles = (width_ + 1) * kBlockRows;
    if (slots_.size() < tokens.size() * slot_doubles) slots_.resize(tokens.size() * slot_doubles);
    if (value_.size() < tokens.size()) {
        value_.resize(tokens.size());
        active_.resize(tokens.size());
    }
    if (zeros_.size() < kBlockRows) zeros_.assign(kBlockRows, 0.0);  // only ever read
    operand_.resize(kBlockRows);
    factor_.resize(2 * kBlockRows);
    std::size_t depth = 0;
    auto push_constant = [&](double v, std::size_t column) {
        double* s = value_slot(depth);
        std::fill_n(s, n, v);
        value_[depth] = s;
        active_[depth] = column < width_;
        if (column < width_)
            for (std::size_t k = 0; k < width_; ++k) std::fill_n(deriv_slot(depth, k), n, k == column ? 1.0 : 0.0);
        ++depth;
    };
    auto deriv = [&](std::size_t d, std::size_t k) -> const double* {
        return active_[d] ? deriv_slot(d, k) : zeros_.data();
    };
    for (const Token& t : tokens) {
        switch (t.kind) {
            case TokenKind::Const:
                push_constant(t.value, kFixed);
                break;
            case TokenKind::Param: {
                const double v = t.index < params.size() ? params[t.index] : t.value;
                push_constant(v, t.index < dirs.column.size() ? dirs.column[t.index] : kFixed);
                break;
            }
            case TokenKind::Var:
                if (t.index >= data.count) return false;
                value_[depth] = data.cols[t.index] + first;
                active_[depth++] = 0;
                break;
            case TokenKind::Op: {
                if (depth < arity(t.op)) return false;
                const std::size_t arg = depth - arity(t.op);
                const bool unary = is_unary(t.op);
                const bool active = active_[arg] || (!unary && active_[depth - 1]);
                // The operator overwrites its left operand's slot; the chain
                // rule still needs the operand.
                const double* a = value_[arg];
                if (active) a = std::copy_n(a, n, operand_.data()) - n;
                double* out = value_slot(arg);
                const double* b = unary ? nullptr : value_[depth - 1];
                double* fac = factor_.data();
                if (active && (t.op == OpCode::Sin || t.op == OpCode::Cos)) {
                    // The value and its slope in one pass.
                    bool ok, slope_ok;
                    if (t.op == OpCode::Sin)
                        sin_cos_column(a, out, fac, n, &ok, &slope_ok);
                    else
                        sin_cos_column(a, fac, out, n, &slope_ok, &ok);
                    if (!ok) return false;
                } else if (!(strict_ ? apply_op_column_strict(t.op, value_[arg], b, out, n)
                                     : apply_op_column(t.op, value_[arg], b, out, n))) {
                    return false;
                }
                if (active) {
                    if (t.op == OpCode::Vok) vok_slopes(a, b, fac, n);
                    for (std::size_t k = 0; k < width_; ++k) {
                        if (unary)
                            unary_derivative(t.op, a, out, fac, deriv(arg, k), deriv_slot(arg, k), n);
                        else
                            binary_derivative(t.op, a, b, out, fac, deriv(arg, k), deriv(depth - 1, k),
                                              deriv_slot(arg, k), n);
                    }
                }
                value_[arg] = out;
                active_[arg] = active;
                depth = arg + 1;
                break;
            }
            default:
                return false;
        }
    }
    if (depth != 1) return false;
    top_value_ = value_[0];
    top_deriv_.resize(width_);
    for (std::size_t k = 0; k < width_; ++k) {
        top_deriv_[k] = deriv(0, k);
        if (!all_finite(top_deriv_[k], n)) return false;
    }
    return true;
}

bool eval_dual_rows(const Expr& expr, const ColumnView& data, std::span<const double> params, const Directions& dirs,
                    DualEvaluator& ev, std::vector<double>& values, std::vector<double>& derivs) {
    const std::size_t rows = data.rows;
    values.resize(rows);
    derivs.resize(rows * dirs.count);
    for (std::size_t first = 0; first < rows; first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, rows - first);
        if (!ev.eval(expr.tokens, data, params, dirs, first, n)) return false;
        std::copy_n(ev.values(), n, values.data() + first);
        for (std::size_t k = 0; k < dirs.count; ++k) std::copy_n(ev.derivative(k), n, derivs.data() + k * rows + first);
        interruption_point(n * expr.tokens.size() * (dirs.count + 1));
    }
    return true;
}

}  // namespace vok::discover
