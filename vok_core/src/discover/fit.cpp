// The fitted search's numerics (see fit.hpp).
#include "discover/fit.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <limits>

namespace vok::discover {

double target_spread(double n, double m, double cyy) {
    const double s = std::sqrt(cyy / n);
    if (s > 1e-12 * std::fabs(m)) return s;
    if (std::isnan(s)) return s;
    return m != 0.0 ? std::fabs(m) : 1.0;
}

FitTargets::FitTargets(std::span<const double> y) : inv_n(y.size()), dy(y.size()), cyy(y.size()) {
    double m = 0.0, c = 0.0;
    for (std::size_t r = 0; r < y.size(); ++r) {
        inv_n[r] = 1.0 / static_cast<double>(r + 1);
        const double d = y[r] - m;
        m += d * inv_n[r];
        dy[r] = y[r] - m;
        c += d * dy[r];
        cyy[r] = c;
    }
    if (y.empty()) return;
    const auto n = static_cast<double>(y.size());
    mean = m;
    spread = target_spread(n, m, c);
    norm = n * spread * spread;
}

namespace {
// The mean of v, corrected once by the mean of its deviations.
double mean_of(std::span<const double> v) {
    double s = 0.0;
    for (double x : v) s += x;
    const double m = s / static_cast<double>(v.size());
    double d = 0.0;
    for (double x : v) d += x - m;
    return m + d / static_cast<double>(v.size());
}
}  // namespace

Line fit_line(std::span<const double> f, std::span<const double> y) {
    const std::size_t n = std::min(f.size(), y.size());
    if (n == 0) return {};
    // Shifted by f's first value, as FitSums is.
    std::vector<double> g(n);
    for (std::size_t r = 0; r < n; ++r) g[r] = f[r] - f[0];
    const double mg = mean_of(g), my = mean_of(y.first(n));
    double sff = 0.0, sfy = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        const double dg = g[r] - mg;
        sff += dg * dg;
        sfy += dg * (y[r] - my);
    }
    const FitSums flat_test{f[0], mg, sff, sfy};
    if (flat_test.flat(static_cast<double>(n))) return {my, 0.0};
    const double b = sfy / sff;
    return {my - b * flat_test.mean(), b};
}

ProbeBits affine_key(const std::array<double, kProbeCount>& probe) {
    ProbeBits key{};
    double magnitude = 0.0;
    for (double v : probe) magnitude = std::max(magnitude, std::fabs(v));
    if (!(magnitude > 0.0)) return key;
    // Scaled to at most 1 first, so that no sum or square overflows.
    std::array<double, kProbeCount> d;
    double sum = 0.0;
    for (std::size_t k = 0; k < kProbeCount; ++k) sum += d[k] = probe[k] / magnitude;
    const double mean = sum / static_cast<double>(kProbeCount);
    double norm2 = 0.0;
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        d[k] -= mean;
        norm2 += d[k] * d[k];
    }
    const double norm = std::sqrt(norm2);
    if (!(norm > 1e-10)) return key;  // constant at the probes
    std::array<std::int64_t, kProbeCount> q;
    for (std::size_t k = 0; k < kProbeCount; ++k)
        q[k] = static_cast<std::int64_t>(std::nearbyint(d[k] / norm * kKeyUnits));
    // nearbyint rounds -x to exactly -nearbyint(x): f and -f meet.
    const auto lead = std::find_if(q.begin(), q.end(), [](std::int64_t v) { return v != 0; });
    const bool flip = lead != q.end() && *lead < 0;
    for (std::size_t k = 0; k < kProbeCount; ++k) key[k] = static_cast<std::uint64_t>(flip ? -q[k] : q[k]);
    return key;
}

namespace {
// SplitMix64: a small, well-mixed generator with a 64-bit state.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
};
}  // namespace

std::vector<std::array<double, kProbeCount>> draw_probe_points(const ColumnView& data, std::uint64_t seed) {
    std::vector<std::array<double, kProbeCount>> points(data.count);
    for (std::size_t i = 0; i < data.count; ++i) {
        double lo = DBL_MAX, hi = -DBL_MAX;
        for (std::size_t r = 0; r < data.rows; ++r) {
            const double v = data.cols[i][r];
            if (!is_finite_value(v)) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        // Each variable its own stream, so that adding a column changes no
        // other column's points.
        SplitMix rng{seed ^ (0xD1B54A32D192ED03ULL * (i + 1))};
        for (std::size_t k = 0; k < kProbeCount; ++k) {
            const double u = rng.uniform();
            // No finite value: the contract's probe values.
            points[i][k] = lo > hi ? static_cast<double>(i + 1) * kProbes[k] : lo * (1.0 - u) + hi * u;
        }
    }
    return points;
}

std::vector<double> number_params(Expr& expr) {
    std::vector<double> values;
    for (Token& t : expr.tokens)
        if (t.kind == TokenKind::Param) {
            t.index = values.size();
            values.push_back(t.value);
        }
    return values;
}

namespace {
// The expression's values on every row, or empty when a row fails.
std::vector<double> values_on(const Expr& expr, const ColumnView& data, std::span<const double> params) {
    std::vector<double> out(data.rows);
    BlockEvaluator ev;
    for (std::size_t first = 0; first < data.rows; first += kBlockRows) {
        const std::size_t n = std::min(kBlockRows, data.rows - first);
        const double* v = ev.eval(expr.tokens, data, params, first, n);
        if (!v) return {};
        std::copy_n(v, n, out.data() + first);
    }
    return out;
}
}  // namespace

Scaled scale_shape(Expr shape, const ColumnView& data, std::span<const double> targets) {
    Scaled s{std::move(shape), {}};
    s.params = number_params(s.expr);
    const std::vector<double> f = values_on(s.expr, data, s.params);
    const Line line = f.empty() && data.rows > 0 ? Line{} : fit_line(f, targets);
    const std::size_t p = s.params.size();
    s.expr.tokens.push_back(Token::param(p, line.scale));
    s.expr.tokens.push_back(Token::op_token(OpCode::Mul));
    s.expr.tokens.push_back(Token::param(p + 1, line.offset));
    s.expr.tokens.push_back(Token::op_token(OpCode::Add));
    s.params.push_back(line.scale);
    s.params.push_back(line.offset);
    return s;
}

}  // namespace vok::discover
