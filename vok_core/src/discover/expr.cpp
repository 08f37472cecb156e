// Evaluators of postfix expressions: one point at a time (eval) and one block
// of rows at a time (BlockEvaluator, eval_batch).
#include "discover/expr.hpp"

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "discover/columns.hpp"
#include "discover/exact_columns.hpp"
#include "guards.hpp"
#include "interrupt.hpp"

namespace vok::discover {

Expr Expr::unary(const Expr& c, OpCode op) {
    Expr e;
    e.tokens.reserve(c.tokens.size() + 1);
    e.tokens = c.tokens;
    e.tokens.push_back(Token::op_token(op));
    return e;
}

Expr Expr::binary(const Expr& a, const Expr& b, OpCode op) {
    Expr e;
    e.tokens.reserve(a.tokens.size() + b.tokens.size() + 1);
    e.tokens.insert(e.tokens.end(), a.tokens.begin(), a.tokens.end());
    e.tokens.insert(e.tokens.end(), b.tokens.begin(), b.tokens.end());
    e.tokens.push_back(Token::op_token(op));
    return e;
}

std::optional<std::string> expr_fault(std::span<const Token> tokens, std::size_t n_vars) {
    std::size_t depth = 0;  // values on the evaluation stack
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const Token& t = tokens[i];
        const std::string at = "token " + std::to_string(i) + ": ";
        const auto kind = static_cast<std::size_t>(t.kind), code = static_cast<std::size_t>(t.op);
        if (kind >= std::size(kTokenKindNames)) return at + "kind " + std::to_string(kind) + " is no token kind";
        if (code >= kOpCount) return at + "operator code " + std::to_string(code) + " is no operator";
        if (t.kind == TokenKind::Var && t.index >= n_vars)
            return at + "variable " + std::to_string(t.index) + " is out of range for " + std::to_string(n_vars) +
                   " variable(s)";
        if (t.kind != TokenKind::Op) {
            ++depth;
            continue;
        }
        const unsigned operands = arity(t.op);
        if (depth < operands)
            return at + kOperatorNames[code] + " takes " + std::to_string(operands) + " operand(s), " +
                   std::to_string(depth) + " available";
        depth -= operands - 1;
    }
    if (depth != 1) return "the tokens leave " + std::to_string(depth) + " values; an expression leaves one";
    return std::nullopt;
}

// |v| <= DBL_MAX is false for infinities and NaN alike.
bool is_finite_value(double v) { return std::fabs(v) <= DBL_MAX; }

std::optional<double> apply_op(OpCode op, double a, double b) {
    double r;
    switch (op) {
        case OpCode::Neg:
            r = -a;
            break;
        case OpCode::Recip:
            if (std::fabs(a) < kDivisorFloor) return std::nullopt;
            r = 1.0 / a;
            break;
        case OpCode::Exp:
            r = std::exp(a);
            break;
        case OpCode::Ln:
            if (a <= 0.0) return std::nullopt;
            r = std::log(a);
            break;
        case OpCode::Sqrt:
            if (a < 0.0) return std::nullopt;
            r = std::sqrt(a);
            break;
        case OpCode::Sin:
            r = std::sin(a);
            break;
        case OpCode::Cos:
            r = std::cos(a);
            break;
        case OpCode::Abs:
            r = std::fabs(a);
            break;
        case OpCode::Vok:
            r = vok::tension(a, b);
            break;
        case OpCode::Add:
            r = a + b;
            break;
        case OpCode::Sub:
            r = a - b;
            break;
        case OpCode::Mul:
            r = a * b;
            break;
        case OpCode::Div:
            if (std::fabs(b) < kDivisorFloor) return std::nullopt;
            r = a / b;
            break;
        case OpCode::Arcsin:
            r = std::asin(a);  // NaN outside [-1, 1]
            break;
        case OpCode::Arccos:
            r = std::acos(a);
            break;
        case OpCode::Tanh:
            r = std::tanh(a);
            break;
        default:
            return std::nullopt;
    }
    if (!is_finite_value(r)) return std::nullopt;
    return r;
}

namespace {

// Room for the stack of short expressions without touching the heap.
constexpr std::size_t kInlineStack = 32;

std::optional<double> eval_on(const Token* tokens, std::size_t n, std::span<const double> vars,
                              std::span<const double> params, double* stack) {
    std::size_t depth = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const Token& t = tokens[k];
        switch (t.kind) {
            case TokenKind::Const:
                stack[depth++] = t.value;
                break;
            case TokenKind::Param:
                stack[depth++] = t.index < params.size() ? params[t.index] : t.value;
                break;
            case TokenKind::Var:
                if (t.index >= vars.size()) return std::nullopt;
                stack[depth++] = vars[t.index];
                break;
            case TokenKind::Op: {
                if (is_unary(t.op)) {
                    if (depth < 1) return std::nullopt;
                    auto r = apply_op(t.op, stack[depth - 1], 0.0);
                    if (!r) return std::nullopt;
                    stack[depth - 1] = *r;
                } else {
                    if (depth < 2) return std::nullopt;
                    auto r = apply_op(t.op, stack[depth - 2], stack[depth - 1]);
                    if (!r) return std::nullopt;
                    stack[--depth - 1] = *r;
                }
                break;
            }
            default:
                return std::nullopt;
        }
    }
    if (depth != 1) return std::nullopt;
    return stack[0];
}

// The column loops test rows with integer arithmetic on the bit patterns,
// which vectorises with baseline SSE2 (floating-point compares that may trap
// on NaN do not): each test leaves bit 63 set for a failing row, and the
// loop ORs them together.

// Bit 63 set iff v is infinite or NaN: its exponent field is all ones, and
// adding one exponent unit then carries into the sign position.
inline std::uint64_t nonfinite_bit(double v) {
    return (std::bit_cast<std::uint64_t>(v) & 0x7FF0000000000000ULL) + 0x0010000000000000ULL;
}

inline bool no_failure(std::uint64_t bad) { return (bad >> 63) == 0; }

template <class F>
bool map1(const double* a, double* out, std::size_t n, F f) {
    std::uint64_t bad = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const double v = f(a[r]);
        out[r] = v;
        bad |= nonfinite_bit(v);
    }
    return no_failure(bad);
}

template <class F>
bool map2(const double* a, const double* b, double* out, std::size_t n, F f) {
    std::uint64_t bad = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const double v = f(a[r], b[r]);
        out[r] = v;
        bad |= nonfinite_bit(v);
    }
    return no_failure(bad);
}

}  // namespace

bool apply_op_column(OpCode op, const double* a, const double* b, double* out, std::size_t n) {
    // The exact operators run on packed registers where the machine has them.
    if (bool ok; apply_exact_column(op, a, b, out, n, &ok)) return ok;
    // Ln and Sqrt need no domain pass: a logarithm of a non-positive value is
    // -inf or NaN and the square root of a negative one is NaN, so those rows
    // fail the finiteness test, while sqrt(-0.0) = -0.0 passes as it should.
    // (Recip and Div test their divisor against 1e-300 in exact_columns.)
    switch (op) {
        case OpCode::Exp:
            return map1(a, out, n, [](double t) { return std::exp(t); });
        case OpCode::Ln:
            return map1(a, out, n, [](double t) { return std::log(t); });
        case OpCode::Sin:
            return map1(a, out, n, [](double t) { return std::sin(t); });
        case OpCode::Cos:
            return map1(a, out, n, [](double t) { return std::cos(t); });
        case OpCode::Abs:
            return map1(a, out, n, [](double t) { return std::fabs(t); });
        case OpCode::Vok:
            return map2(a, b, out, n, [](double x, double y) { return vok::tension(x, y); });
        // Outside [-1, 1] (NaN included) asin and acos give NaN, which the
        // finiteness test fails.
        case OpCode::Arcsin:
            return map1(a, out, n, [](double t) { return std::asin(t); });
        case OpCode::Arccos:
            return map1(a, out, n, [](double t) { return std::acos(t); });
        case OpCode::Tanh:
            return map1(a, out, n, [](double t) { return std::tanh(t); });
        default:  // the exact operators, above
            break;
    }
    return false;
}

void sin_cos_column(const double* a, double* sin_out, double* cos_out, std::size_t n, bool* sin_ok, bool* cos_ok) {
    std::uint64_t bad_sin = 0, bad_cos = 0;
    for (std::size_t r = 0; r < n; ++r) {
        // One argument for both: the compiler makes the pair one sincos
        // call where the C library has it.
        const double t = a[r];
        const double s = std::sin(t), c = std::cos(t);
        sin_out[r] = s;
        cos_out[r] = c;
        bad_sin |= nonfinite_bit(s);
        bad_cos |= nonfinite_bit(c);
    }
    *sin_ok = no_failure(bad_sin);
    *cos_ok = no_failure(bad_cos);
}

bool apply_op_column_strict(OpCode op, const double* a, const double* b, double* out, std::size_t n) {
    if (op != OpCode::Vok) return apply_op_column(op, a, b, out, n);
    return map2(a, b, out, n,
                [](double x, double y) { return vok::strict_frame_time(x) - vok::strict_frame_space(y); });
}

std::optional<double> eval(const Expr& expr, std::span<const double> vars, std::span<const double> params) {
    const std::size_t n = expr.tokens.size();
    if (n == 0) return std::nullopt;
    if (n <= kInlineStack) {
        double stack[kInlineStack];
        return eval_on(expr.tokens.data(), n, vars, params, stack);
    }
    std::vector<double> stack(n);
    return eval_on(expr.tokens.data(), n, vars, params, stack.data());
}

const double* BlockEvaluator::eval(std::span<const Token> tokens, const ColumnView& data,
                                   std::span<const double> params, std::size_t first, std::size_t n) {
    if (tokens.empty()) return nullptr;
    if (stack_.size() < tokens.size()) {
        stack_.resize(tokens.size());
        slots_.resize(tokens.size() * kBlockRows);
    }
    std::size_t depth = 0;
    auto apply = [this](OpCode op, const double* a, const double* b, double* out, std::size_t n) {
        return strict_ ? apply_op_column_strict(op, a, b, out, n) : apply_op_column(op, a, b, out, n);
    };
    auto slot = [&](std::size_t d) { return slots_.data() + d * kBlockRows; };
    auto fill = [&](double v) {
        double* s = slot(depth);
        for (std::size_t r = 0; r < n; ++r) s[r] = v;
        stack_[depth++] = s;
    };
    for (const Token& t : tokens) {
        switch (t.kind) {
            case TokenKind::Const:
                fill(t.value);
                break;
            case TokenKind::Param:
                fill(t.index < params.size() ? params[t.index] : t.value);
                break;
            case TokenKind::Var:
                if (t.index >= data.count) return nullptr;
                stack_[depth++] = data.cols[t.index] + first;
                break;
            case TokenKind::Op:
                if (is_unary(t.op)) {
                    if (depth < 1) return nullptr;
                    double* out = slot(depth - 1);
                    if (!apply(t.op, stack_[depth - 1], nullptr, out, n)) return nullptr;
                    stack_[depth - 1] = out;
                } else {
                    if (depth < 2) return nullptr;
                    double* out = slot(depth - 2);
                    if (!apply(t.op, stack_[depth - 2], stack_[depth - 1], out, n)) return nullptr;
                    stack_[--depth - 1] = out;
                }
                break;
            default:
                return nullptr;
        }
    }
    return depth == 1 ? stack_[0] : nullptr;
}

std::optional<std::vector<double>> eval_batch(const Expr& expr, std::span<const std::vector<double>> columns,
                                              std::span<const double> params) {
    const ColumnPointers cols(columns, "eval_batch");
    const ColumnView& data = cols.view();
    const std::size_t rows = data.rows;
    std::vector<double> out(rows);
    BlockEvaluator ev;
    for (std::size_t first = 0; first < rows; first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, rows - first);
        const double* v = ev.eval(expr.tokens, data, params, first, n);
        if (!v) return std::nullopt;
        std::memcpy(out.data() + first, v, n * sizeof(double));
        interruption_point(n * expr.tokens.size());
    }
    return out;
}

}  // namespace vok::discover
