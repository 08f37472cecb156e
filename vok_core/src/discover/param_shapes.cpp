// Shapes with inner constants: their tokens, their start values and their
// fits.
#include "discover/param_shapes.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <numeric>

#include "interrupt.hpp"

namespace vok::discover {

namespace {

constexpr Token P() { return Token::param(0, 0.0); }
constexpr Token O(OpCode op) { return Token::op_token(op); }

bool has_params(const Expr& e) {
    return std::any_of(e.tokens.begin(), e.tokens.end(), [](const Token& t) { return t.kind == TokenKind::Param; });
}

// The values of m on every row, or empty when a row fails.
std::vector<double> values_of(const Expr& m, const ColumnView& view) {
    std::vector<double> out(view.rows);
    BlockEvaluator ev(true);
    for (std::size_t first = 0; first < view.rows; first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, view.rows - first);
        const double* v = ev.eval(m.tokens, view, {}, first, n);
        if (!v) return {};
        std::copy_n(v, n, out.data() + first);
    }
    return out;
}

struct Range {
    double lo = 0.0, hi = 0.0;
    double spread() const { return hi - lo; }
};

Range range_of(std::span<const double> v) {
    Range r{v.empty() ? 0.0 : v[0], v.empty() ? 0.0 : v[0]};
    for (double x : v) {
        r.lo = std::min(r.lo, x);
        r.hi = std::max(r.hi, x);
    }
    return r;
}

// Up to `count` (frequency, phase) pairs for sin(c*m + d): on a grid of
// 0.25 to 12 cycles over the range of m, the least-squares fit of y on 1,
// sin(w m) and cos(w m) (centred sums), taking the grid's local best fits,
// best first. The phase comes from the two coefficients. The grid's sines
// and cosines of (j + 1) w m come from those of w m by the angle-addition
// formulas, a few ulps from libm's over the grid: they only pick starts.
std::vector<std::array<double, 2>> sine_starts(std::span<const double> m, const double* factor, const FitData& data,
                                               double spread, std::size_t count) {
    constexpr std::size_t kGrid = 48;
    const std::size_t n = data.rows();
    const double* y = data.targets.data();
    double y_mean = 0.0;
    for (std::size_t r = 0; r < n; ++r) y_mean += y[r];
    y_mean /= static_cast<double>(n);
    std::vector<double> s(n), c(n), s1(n), c1(n), sj(n), cj(n);
    std::array<double, kGrid> gain{}, omega{}, phase{};
    for (std::size_t j = 0; j < kGrid; ++j) {
        omega[j] = 2.0 * std::numbers::pi * (0.25 * static_cast<double>(j + 1)) / spread;
        double s_mean = 0.0, c_mean = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
            if (j == 0) {
                s1[r] = sj[r] = std::sin(omega[0] * m[r]);
                c1[r] = cj[r] = std::cos(omega[0] * m[r]);
            } else {
                const double next = (sj[r] * c1[r]) + (cj[r] * s1[r]);
                cj[r] = (cj[r] * c1[r]) - (sj[r] * s1[r]);
                sj[r] = next;
            }
            const double k = factor ? factor[r] : 1.0;
            s[r] = k * sj[r];
            c[r] = k * cj[r];
            s_mean += s[r];
            c_mean += c[r];
        }
        s_mean /= static_cast<double>(n);
        c_mean /= static_cast<double>(n);
        double ss = 0.0, cc = 0.0, sc = 0.0, sy = 0.0, cy = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
            const double u = s[r] - s_mean, v = c[r] - c_mean, w = y[r] - y_mean;
            ss += u * u;
            cc += v * v;
            sc += u * v;
            sy += u * w;
            cy += v * w;
        }
        const double det = (ss * cc) - (sc * sc);
        gain[j] = -1.0;
        if (factor) {  // no phase: y on 1 and factor * sin(w m) alone
            if (ss > 0.0) gain[j] = (sy * sy) / ss;
        } else if (det > 1e-9 * (ss * cc)) {
            const double bs = ((sy * cc) - (cy * sc)) / det, bc = ((cy * ss) - (sy * sc)) / det;
            gain[j] = (bs * sy) + (bc * cy);  // the decrease of the sum of squares
            phase[j] = std::atan2(bc, bs);
        }
        interruption_point(8 * n);
    }
    std::vector<std::size_t> peaks;
    for (std::size_t j = 0; j < kGrid; ++j)
        if (gain[j] > 0.0 && (j == 0 || gain[j] >= gain[j - 1]) && (j + 1 == kGrid || gain[j] >= gain[j + 1]))
            peaks.push_back(j);
    std::stable_sort(peaks.begin(), peaks.end(), [&](std::size_t a, std::size_t b) { return gain[a] > gain[b]; });
    std::vector<std::array<double, 2>> out;
    for (std::size_t j : peaks) {
        if (out.size() == count) break;
        out.push_back({omega[j], phase[j]});
    }
    return out;
}

// b sin(c m + d) written with c > 0, b > 0 and d in [-pi, pi]: the same
// function up to rounding, with c and d the last two constants.
void canonical_phase(std::vector<double>& params, double& scale) {
    constexpr double pi = std::numbers::pi;
    double& c = params[params.size() - 2];
    double& d = params[params.size() - 1];
    if (c < 0.0) {  // sin(-x + d) = sin(x + pi - d)
        c = -c;
        d = pi - d;
    }
    if (scale < 0.0) {  // -sin(x + d) = sin(x + d + pi)
        scale = -scale;
        d += pi;
    }
    d = std::remainder(d, 2.0 * pi);
}

}  // namespace

Expr shape_expr(const Expr& m, ShapeKind kind, std::size_t var) {
    Expr e = m;
    auto add = [&](std::initializer_list<Token> ts) { e.tokens.insert(e.tokens.end(), ts); };
    const Token v = Token::var(var);
    switch (kind) {
        case ShapeKind::Refit:
            break;
        case ShapeKind::Exp:
            add({P(), O(OpCode::Mul), O(OpCode::Exp)});
            break;
        case ShapeKind::Boltzmann:  // exp(c / m): the constant's token first
            e.tokens.insert(e.tokens.begin(), P());
            add({O(OpCode::Div), O(OpCode::Exp)});
            break;
        case ShapeKind::Power:
            add({O(OpCode::Ln), P(), O(OpCode::Mul), O(OpCode::Exp)});
            break;
        case ShapeKind::Log:
            add({P(), O(OpCode::Add), O(OpCode::Ln)});
            break;
        case ShapeKind::Sqrt:
            add({P(), O(OpCode::Add), O(OpCode::Sqrt)});
            break;
        case ShapeKind::Pole:
            add({P(), O(OpCode::Add), O(OpCode::Recip)});
            break;
        case ShapeKind::Sine:
            add({P(), O(OpCode::Mul), P(), O(OpCode::Add), O(OpCode::Sin)});
            break;
        case ShapeKind::Ratio:
            add({P(), v, O(OpCode::Add), O(OpCode::Div)});
            break;
        case ShapeKind::ShiftProduct:
            add({P(), O(OpCode::Add), v, O(OpCode::Mul)});
            break;
        case ShapeKind::Envelope:
            add({v, P(), O(OpCode::Mul), O(OpCode::Exp), O(OpCode::Mul)});
            break;
        case ShapeKind::Wave:
            add({v, P(), O(OpCode::Mul), O(OpCode::Sin), O(OpCode::Mul)});
            break;
    }
    number_params(e);
    return e;
}

std::vector<ShapeTask> shape_tasks(std::span<const Expr> bases, std::size_t n_vars, const ShapeOptions& options) {
    std::vector<ShapeTask> tasks;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        const auto base = static_cast<std::uint32_t>(i);
        for (ShapeKind kind : {ShapeKind::Refit, ShapeKind::Exp, ShapeKind::Boltzmann, ShapeKind::Power, ShapeKind::Log,
                               ShapeKind::Sqrt, ShapeKind::Pole, ShapeKind::Sine, ShapeKind::Ratio,
                               ShapeKind::ShiftProduct, ShapeKind::Envelope, ShapeKind::Wave}) {
            if (shape_expr(bases[i], kind, 0).complexity() > options.max_complexity) continue;
            if (kind == ShapeKind::Refit && !has_params(bases[i])) continue;
            if ((kind == ShapeKind::Sine || kind == ShapeKind::Wave) && !options.use_trig) continue;
            const bool per_var = kind == ShapeKind::Ratio || kind == ShapeKind::ShiftProduct ||
                                 kind == ShapeKind::Envelope || kind == ShapeKind::Wave;
            for (std::size_t v = 0; v < (per_var ? n_vars : 1); ++v)
                tasks.push_back(ShapeTask{base, kind, static_cast<std::uint32_t>(v)});
        }
    }
    return tasks;
}

std::vector<std::vector<double>> shape_starts(const Expr& m, std::span<const double> m_values, ShapeKind kind,
                                              std::size_t var, const FitData& data, std::size_t restarts) {
    // m's own constants start where they are; the shape's follow them (or,
    // for exp(c / m), precede them, as its token does).
    Expr own = m;
    const std::vector<double> base = number_params(own);
    std::vector<std::vector<double>> starts;
    auto add = [&](std::initializer_list<double> values) {
        if (starts.size() >= restarts) return;
        std::vector<double> s = base;
        s.insert(kind == ShapeKind::Boltzmann ? s.begin() : s.end(), values);
        starts.push_back(std::move(s));
    };
    const Range r = range_of(m_values);
    const double w = r.spread();
    if (kind == ShapeKind::Refit) {
        add({});
        return starts;
    }
    if (kind == ShapeKind::Ratio || kind == ShapeKind::ShiftProduct || kind == ShapeKind::Envelope ||
        kind == ShapeKind::Wave) {
        const Range rv = range_of({data.view.cols[var], data.rows()});
        const double wv = rv.spread();
        if (!(wv > 0.0) || !is_finite_value(wv)) return starts;
        if (kind == ShapeKind::Ratio) {
            // The pole of 1 / (c + v) below, above, then close below the range of v.
            for (double c : {wv - rv.lo, -rv.hi - wv, (0.1 * wv) - rv.lo}) add({c});
        } else if (kind == ShapeKind::Envelope) {
            for (double k : {-1.0, 1.0, -4.0}) add({k / wv});
        } else if (kind == ShapeKind::Wave) {
            const std::span<const double> v = {data.view.cols[var], data.rows()};
            for (const auto& [c, d] : sine_starts(v, m_values.data(), data, wv, restarts)) add({c});
        } else {
            for (double c : {w, -w, 0.0}) add({c});
        }
        return starts;
    }
    if (!(w > 0.0) || !is_finite_value(w)) return starts;
    switch (kind) {
        case ShapeKind::Exp:
            for (double k : {-1.0, 1.0, -4.0, 4.0}) add({k / w});
            break;
        case ShapeKind::Boltzmann: {
            // c / m changes by about c * spread(1/m) over the rows.
            if (r.lo <= 0.0 && r.hi >= 0.0) break;
            const double wr = std::fabs((1.0 / r.lo) - (1.0 / r.hi));
            if (wr > 0.0 && is_finite_value(1.0 / wr))
                for (double k : {-1.0, 1.0, -4.0}) add({k / wr});
            break;
        }
        case ShapeKind::Power:
            if (r.lo > 0.0)
                for (double c : {0.5, 2.0, -1.0}) add({c});
            break;
        case ShapeKind::Log:
        case ShapeKind::Sqrt:
            for (double k : {0.1, 1.0, 0.01}) add({(k * w) - r.lo});
            break;
        case ShapeKind::Pole:
            for (double k : {0.1, -0.1, 1.0, -1.0}) add({k > 0.0 ? (k * w) - r.lo : (k * w) - r.hi});
            break;
        case ShapeKind::Sine:
            for (const auto& [c, d] : sine_starts(m_values, nullptr, data, w, restarts)) add({c, d});
            break;
        default:
            break;
    }
    return starts;
}

namespace {
// A shape's usual cost relative to the others (microseconds per fit on a
// hundred rows): the trigonometric shapes take many starts.
unsigned relative_cost(ShapeKind kind) {
    switch (kind) {
        case ShapeKind::Sine:
        case ShapeKind::Wave:
            return 70;
        case ShapeKind::Log:
        case ShapeKind::Sqrt:
        case ShapeKind::Pole:
            return 40;
        case ShapeKind::Exp:
        case ShapeKind::Boltzmann:
        case ShapeKind::Envelope:
            return 30;
        case ShapeKind::Ratio:
        case ShapeKind::Power:
        case ShapeKind::ShiftProduct:
            return 20;
        default:
            return 10;
    }
}
}  // namespace

std::vector<FittedShape> fit_shapes(std::span<const Expr> bases, std::span<const ShapeTask> tasks, const FitData& data,
                                    const ShapeOptions& options, Executor exec) {
    std::vector<std::optional<FittedShape>> slots(tasks.size());
    // The costliest fits are handed out first, so that the workers finish
    // together; each result keeps its task's place.
    std::vector<std::uint32_t> by_cost(tasks.size());
    std::iota(by_cost.begin(), by_cost.end(), 0u);
    std::stable_sort(by_cost.begin(), by_cost.end(), [&](std::uint32_t x, std::uint32_t y) {
        return relative_cost(tasks[x].kind) > relative_cost(tasks[y].kind);
    });
    for_each_index(exec, tasks.size(), [&](std::size_t q, FitScratch& scratch) {
        const std::size_t i = by_cost[q];
        const ShapeTask& t = tasks[i];
        const Expr& m = bases[t.base];
        const std::vector<double> mv = values_of(m, data.view);
        if (mv.empty()) return;
        const auto starts = shape_starts(m, {mv.data(), data.rows()}, t.kind, t.var, data, options.restarts);
        if (starts.empty()) return;
        Expr f = shape_expr(m, t.kind, t.var);
        auto fit = fit_scaled(f, data, starts, options.lm, scratch);
        if (!fit) return;
        if (t.kind == ShapeKind::Sine) canonical_phase(fit->params, fit->scale);
        store_params(f, fit->params);
        slots[i] = FittedShape{std::move(f), fit->scale, fit->offset, fit->sse, i};
    });
    std::vector<FittedShape> out;
    for (auto& s : slots)
        if (s) out.push_back(std::move(*s));
    return out;
}

}  // namespace vok::discover
