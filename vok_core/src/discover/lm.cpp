// Levenberg-Marquardt on the normal equations of a handful of constants,
// for the scaled (variable projection) and the direct least-squares problem.
#include "discover/lm.hpp"

#include <algorithm>
#include <cmath>

namespace vok::discover {

namespace {

// The problem linearised at one point: the sum of squares, A = J'J (m by m,
// row-major) and g = J'r, J the Jacobian of the residuals r.
struct Linearisation {
    double sse = 0.0;
    std::vector<double> A, g;
    double scale = 0.0, offset = 0.0;  // the scaled problem's line b and a at the point
    void resize(std::size_t m) {
        A.assign(m * m, 0.0);
        g.assign(m, 0.0);
    }
};

double mean(const double* v, std::size_t n) {
    double s = 0.0;
    for (std::size_t r = 0; r < n; ++r) s += v[r];
    return s / static_cast<double>(n);
}

// Solves (A + mu D) delta = -g by Cholesky after scaling rows and columns
// by 1/sqrt of the diagonal. False when the matrix is not numerically
// positive definite.
bool damped_step(const Linearisation& lin, const std::vector<double>& D, double mu, std::vector<double>& delta) {
    const std::size_t m = lin.g.size();
    std::vector<double> L(m * m), s(m), z(m);
    for (std::size_t i = 0; i < m; ++i) s[i] = 1.0 / std::sqrt(lin.A[i * m + i] + (mu * D[i]));
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double v = (j == i ? lin.A[i * m + i] + (mu * D[i]) : lin.A[i * m + j]) * s[i] * s[j];
            for (std::size_t k = 0; k < j; ++k) v -= L[i * m + k] * L[j * m + k];
            if (j == i) {
                if (!(v > 1e-14)) return false;
                L[i * m + i] = std::sqrt(v);
            } else {
                L[i * m + j] = v / L[j * m + j];
            }
        }
    }
    for (std::size_t i = 0; i < m; ++i) {  // L z = -s g
        double v = -(lin.g[i] * s[i]);
        for (std::size_t k = 0; k < i; ++k) v -= L[i * m + k] * z[k];
        z[i] = v / L[i * m + i];
    }
    delta.resize(m);
    for (std::size_t i = m; i-- > 0;) {  // L' w = z, delta = s w
        double v = z[i];
        for (std::size_t k = i + 1; k < m; ++k) v -= L[k * m + i] * z[k];
        z[i] = v / L[i * m + i];
        delta[i] = z[i] * s[i];
    }
    return true;
}

// One Levenberg-Marquardt run from p (where cur is the linearisation) over
// the entries free[0..m) of p. linearise(p, out) evaluates a point. Leaves
// the best point in p and its linearisation in cur.
template <class Linearise>
void run(std::vector<double>& p, std::span<const std::size_t> free, Linearisation& cur, Linearise&& linearise,
         const LmOptions& options, double exact) {
    const std::size_t m = free.size();
    double mu = 1e-3, nu = 2.0;
    std::vector<double> D(m), delta, trial;
    Linearisation next;
    next.resize(m);
    for (std::size_t it = 0; it < options.max_iterations && cur.sse > exact; ++it) {
        double top = 0.0;
        for (std::size_t i = 0; i < m; ++i) top = std::max(top, cur.A[i * m + i]);
        if (!(top > 0.0)) return;  // no parameter moves the residuals
        for (std::size_t i = 0; i < m; ++i) D[i] = std::max(cur.A[i * m + i], 1e-12 * top);
        if (damped_step(cur, D, mu, delta)) {
            trial = p;
            bool moved = false;
            for (std::size_t i = 0; i < m; ++i) {
                trial[free[i]] = p[free[i]] + delta[i];
                moved = moved || trial[free[i]] != p[free[i]];
            }
            if (!moved) return;
            // The decrease the linear model predicts for half the sum of squares.
            double predicted = 0.0;
            for (std::size_t i = 0; i < m; ++i) predicted += delta[i] * ((mu * D[i] * delta[i]) - cur.g[i]);
            predicted *= 0.5;
            if (linearise(trial, next) && next.sse < cur.sse) {
                const double gain = (0.5 * (cur.sse - next.sse)) / predicted;
                const double improvement = (cur.sse - next.sse) / cur.sse;
                p.swap(trial);
                std::swap(cur, next);
                const double t = (2.0 * gain) - 1.0;
                mu *= std::max(1.0 / 3.0, 1.0 - (t * t * t));
                nu = 2.0;
                if (improvement < options.tolerance) return;
                continue;
            }
        }
        mu *= nu;
        nu *= 2.0;
        if (nu > 1e12) return;  // no step downhill at any damping
    }
}

// The sums of normal_equations for m = M known at compile time: every sum
// is its own chain over the rows in row order, as in the general loop, but
// the chains of a row go side by side in one pass.
template <std::size_t M>
void normal_rows(const double* J, std::size_t rows, std::size_t n, const double* r, Linearisation& out) {
    double g[M] = {}, A[M][M] = {};
    for (std::size_t i = 0; i < n; ++i) {
        double j[M];
        for (std::size_t k = 0; k < M; ++k) j[k] = J[k * rows + i];
        for (std::size_t k = 0; k < M; ++k) {
            g[k] += j[k] * r[i];
            for (std::size_t l = 0; l <= k; ++l) A[k][l] += j[k] * j[l];
        }
    }
    for (std::size_t k = 0; k < M; ++k) {
        out.g[k] = g[k];
        for (std::size_t l = 0; l <= k; ++l) out.A[k * M + l] = out.A[l * M + k] = A[k][l];
    }
}

// Fills out's A = J'J and g = J'r from the m columns of the Jacobian J (column
// k at J + k * rows) and the residuals r over the first n rows.
void normal_equations(const double* J, std::size_t rows, std::size_t n, std::size_t m, const double* r,
                      Linearisation& out) {
    switch (m) {
        case 1:
            return normal_rows<1>(J, rows, n, r, out);
        case 2:
            return normal_rows<2>(J, rows, n, r, out);
        case 3:
            return normal_rows<3>(J, rows, n, r, out);
        case 4:
            return normal_rows<4>(J, rows, n, r, out);
        default:
            break;
    }
    for (std::size_t k = 0; k < m; ++k) {
        const double* jk = J + k * rows;
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += jk[i] * r[i];
        out.g[k] = s;
        for (std::size_t l = 0; l <= k; ++l) {
            const double* jl = J + l * rows;
            double t = 0.0;
            for (std::size_t i = 0; i < n; ++i) t += jk[i] * jl[i];
            out.A[k * m + l] = out.A[l * m + k] = t;
        }
    }
}

// The derivative column of each Param index: free ones numbered in order.
std::vector<std::size_t> columns_of(std::span<const std::size_t> free, std::size_t n_params) {
    std::vector<std::size_t> column(n_params, kFixed);
    for (std::size_t k = 0; k < free.size(); ++k) column[free[k]] = k;
    return column;
}

}  // namespace

std::optional<ScaledFit> fit_scaled(const Expr& f, const FitData& data, std::span<const std::vector<double>> starts,
                                    const LmOptions& options, FitScratch& scratch) {
    const std::size_t n = data.rows();
    if (n == 0) return std::nullopt;
    const double* y = data.targets.data();
    const double y_mean = mean(y, n);
    double syy = 0.0;
    for (std::size_t r = 0; r < n; ++r) syy += (y[r] - y_mean) * (y[r] - y_mean);
    const double exact = 1e-28 * syy;

    std::optional<ScaledFit> best;
    for (const std::vector<double>& start : starts) {
        const std::size_t m = start.size();
        std::vector<std::size_t> free(m);
        for (std::size_t k = 0; k < m; ++k) free[k] = k;
        const std::vector<std::size_t> column = columns_of(free, m);
        const Directions dirs{column, m};
        // The line of y on f at c, the projected residuals and Kaufman's
        // Jacobian -b (I - P) G, all from centred columns.
        auto linearise = [&](const std::vector<double>& c, Linearisation& out) {
            std::vector<double>& v = scratch.values;
            std::vector<double>& G = scratch.derivs;
            ++scratch.evaluations;
            if (!eval_dual_rows(f, data.view, c, dirs, scratch.ev, v, G)) return false;
            const std::size_t rows = data.view.rows;
            const double f_mean = mean(v.data(), n);
            double sff = 0.0, sfy = 0.0, ff = 0.0;
            for (std::size_t r = 0; r < n; ++r) {
                const double fc = v[r] - f_mean;
                sff += fc * fc;
                sfy += fc * (y[r] - y_mean);
                ff += v[r] * v[r];
            }
            if (!(sff > 1e-24 * ff) || !is_finite_value(sff)) return false;  // f is constant: no shape
            const double b = sfy / sff;
            out.scale = b;
            out.offset = y_mean - (b * f_mean);
            std::vector<double>& res = scratch.residuals;
            res.resize(n);
            double sse = 0.0;
            for (std::size_t r = 0; r < n; ++r) {
                v[r] -= f_mean;
                res[r] = (y[r] - y_mean) - (b * v[r]);
                sse += res[r] * res[r];
            }
            if (!is_finite_value(sse)) return false;
            for (std::size_t k = 0; k < m; ++k) {
                double* g = G.data() + k * rows;
                const double g_mean = mean(g, n);
                double sgf = 0.0;
                for (std::size_t r = 0; r < n; ++r) {
                    g[r] -= g_mean;
                    sgf += g[r] * v[r];
                }
                const double t = sgf / sff;
                for (std::size_t r = 0; r < n; ++r) g[r] = -(b * (g[r] - (t * v[r])));
            }
            out.sse = sse;
            normal_equations(G.data(), rows, n, m, res.data(), out);
            return true;
        };
        std::vector<double> c = start;
        Linearisation cur;
        cur.resize(m);
        if (!linearise(c, cur)) continue;
        run(c, free, cur, linearise, options, exact);
        if (!best || cur.sse < best->sse) best = ScaledFit{c, cur.scale, cur.offset, cur.sse};
        if (best->sse <= exact) break;
    }
    return best;
}

std::optional<DirectFit> fit_direct(const Expr& g, const FitData& data, std::vector<double> p,
                                    std::span<const bool> free_mask, const LmOptions& options, FitScratch& scratch) {
    const std::size_t n = data.rows();
    std::vector<std::size_t> free;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (free_mask.empty() || (i < free_mask.size() && free_mask[i])) free.push_back(i);
    const std::size_t m = free.size();
    const std::vector<std::size_t> column = columns_of(free, p.size());
    const Directions dirs{column, m};
    const double* y = data.targets.data();
    auto linearise = [&](const std::vector<double>& q, Linearisation& out) {
        std::vector<double>& v = scratch.values;
        std::vector<double>& G = scratch.derivs;
        ++scratch.evaluations;
        if (!eval_dual_rows(g, data.view, q, dirs, scratch.ev, v, G)) return false;
        double sse = 0.0;
        for (std::size_t r = 0; r < n; ++r) {
            v[r] = v[r] - y[r];  // the residual, model minus target: its Jacobian is G
            sse += v[r] * v[r];
        }
        if (!is_finite_value(sse)) return false;
        out.sse = sse;
        normal_equations(G.data(), data.view.rows, n, m, v.data(), out);
        return true;
    };
    Linearisation cur;
    cur.resize(m);
    if (!linearise(p, cur)) return std::nullopt;
    if (m > 0) run(p, free, cur, linearise, options, 0.0);
    return DirectFit{std::move(p), cur.sse};
}

void store_params(Expr& expr, std::span<const double> params) {
    for (Token& t : expr.tokens)
        if (t.kind == TokenKind::Param && t.index < params.size()) t.value = params[t.index];
}

}  // namespace vok::discover
