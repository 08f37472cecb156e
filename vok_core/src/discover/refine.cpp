// The fitted search's refinement of a level: shapes over its best results,
// fitted on a sample of the rows, polished, and pruned of constants that do
// not earn their token.
#include "discover/refine.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

namespace vok::discover {

namespace {

// The rows i * rows / count (i < count) of a data set, copied; the data set
// itself when it has at most count rows.
struct RowSample {
    std::vector<std::vector<double>> cols;
    std::vector<double> targets;
    std::vector<const double*> ptrs;
    FitData data;
    bool sampled = false;

    RowSample(const FitData& all, std::size_t count) : data(all) {
        const std::size_t rows = all.rows();
        if (rows <= count) return;
        sampled = true;
        cols.assign(all.view.count, std::vector<double>(count));
        targets.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = i * rows / count;
            for (std::size_t j = 0; j < all.view.count; ++j) cols[j][i] = all.view.cols[j][r];
            targets[i] = all.targets[r];
        }
        for (const auto& c : cols) ptrs.push_back(c.data());
        data = FitData{ColumnView{ptrs.data(), ptrs.size(), count}, targets};
    }
};

// Sums of squares below this are the targets' rounding: a relative rmse of
// 1e-12.
double rounding_sse(const FitData& data) {
    const std::size_t n = data.rows();
    double mean = 0.0, syy = 0.0;
    for (std::size_t r = 0; r < n; ++r) mean += data.targets[r];
    mean /= static_cast<double>(n);
    for (std::size_t r = 0; r < n; ++r) syy += (data.targets[r] - mean) * (data.targets[r] - mean);
    return 1e-24 * syy;
}

// The tokens of f without Param token p and the operator that takes it,
// when p is a neutral operand there: c in x + c, c + x, x - c (neutral 0),
// x * c, c * x, x / c (neutral 1). Empty otherwise.
std::optional<Expr> without_param(const Expr& f, std::size_t p) {
    // The operator that consumes each token's value, found with a stack of
    // subtree roots; also whether the token is that operator's right operand.
    std::vector<std::size_t> roots;
    std::size_t parent = f.tokens.size();
    bool right = false;
    for (std::size_t k = 0; k < f.tokens.size(); ++k) {
        const Token& t = f.tokens[k];
        if (t.kind == TokenKind::Op) {
            const std::size_t args = arity(t.op);
            if (roots.size() < args) return std::nullopt;
            for (std::size_t i = 0; i < args; ++i)
                if (roots[roots.size() - 1 - i] == p) {
                    parent = k;
                    right = args == 2 && i == 0;
                }
            roots.resize(roots.size() - args);
        }
        roots.push_back(k);
    }
    if (parent == f.tokens.size()) return std::nullopt;
    const OpCode op = f.tokens[parent].op;
    if (!(op == OpCode::Add || op == OpCode::Mul || ((op == OpCode::Sub || op == OpCode::Div) && right)))
        return std::nullopt;
    Expr out;
    for (std::size_t k = 0; k < f.tokens.size(); ++k)
        if (k != p && k != parent) out.tokens.push_back(f.tokens[k]);
    number_params(out);
    return out;
}

// f with each constant that does not earn its token removed (see
// refine_shapes), in token order. sse is f's sum of squares on data.
Expr prune_params(Expr f, double sse, const FitData& data, const ShapeOptions& options, FitScratch& scratch) {
    const double n = static_cast<double>(data.rows());
    const double allowed = (sse * std::exp(std::log(n) / n)) + rounding_sse(data);
    LmOptions evaluate_only = options.lm;
    evaluate_only.max_iterations = 0;
    for (std::size_t k = 0; k < f.tokens.size(); ++k) {
        if (f.tokens[k].kind != TokenKind::Param) continue;
        std::optional<Expr> reduced = without_param(f, k);
        if (!reduced) continue;
        Expr plain = *reduced;
        const std::vector<std::vector<double>> start = {number_params(plain)};
        const auto fit = fit_scaled(plain, data, start, evaluate_only, scratch);
        if (fit && fit->sse <= allowed) {
            f = std::move(plain);
            k = static_cast<std::size_t>(-1);  // look again from the start
        }
    }
    return f;
}

}  // namespace

Expr shape_of(const SearchResult& r) {
    Expr e = r.expr;
    store_params(e, r.params);
    const auto& t = e.tokens;
    const std::size_t n = t.size();
    if (n > 4 && t[n - 4].kind == TokenKind::Param && t[n - 3] == Token::op_token(OpCode::Mul) &&
        t[n - 2].kind == TokenKind::Param && t[n - 1] == Token::op_token(OpCode::Add))
        e.tokens.resize(n - 4);
    number_params(e);
    return e;
}

std::vector<Expr> refine_shapes(std::span<const SearchResult> best, std::span<const Expr> carried, const FitData& all,
                                std::size_t n_vars, const ShapeOptions& options, Executor exec) {
    const RowSample sample(all, kFitRows);
    const FitData& data = sample.data;
    std::vector<Expr> bases;
    for (const SearchResult& r : best) bases.push_back(shape_of(r));
    bases.insert(bases.end(), carried.begin(), carried.end());
    std::vector<ShapeTask> tasks = shape_tasks(bases, n_vars, options);
    std::erase_if(tasks, [&](const ShapeTask& t) { return t.kind == ShapeKind::Refit && t.base >= best.size(); });
    std::vector<FittedShape> fits = fit_shapes(bases, tasks, data, options, exec);
    // What each base already achieves with a scale and an offset alone.
    std::vector<double> base_sse(bases.size());
    FitScratch scratch;
    for (std::size_t i = 0; i < bases.size(); ++i) {
        Expr fixed = bases[i];
        for (Token& t : fixed.tokens)
            if (t.kind == TokenKind::Param) t = Token::constant(t.value);
        const auto line = fit_scaled(fixed, data, std::vector<std::vector<double>>{{}}, options.lm, scratch);
        base_sse[i] = line ? line->sse : HUGE_VAL;
    }
    const double rounding = rounding_sse(data);
    std::erase_if(fits, [&](const FittedShape& f) { return !(f.sse < base_sse[tasks[f.task].base] - rounding); });
    std::stable_sort(fits.begin(), fits.end(),
                     [](const FittedShape& a, const FittedShape& b) { return a.sse < b.sse; });
    fits.resize(std::min(fits.size(), options.keep));
    if (sample.sampled) {
        // Polish the kept shapes on every row, from their fitted constants.
        std::vector<unsigned char> ok(fits.size(), 0);
        for_each_index(exec, fits.size(), [&](std::size_t i, FitScratch& s) {
            Expr& f = fits[i].f;
            const std::vector<std::vector<double>> start = {number_params(f)};
            if (auto fit = fit_scaled(f, all, start, options.lm, s)) {
                store_params(f, fit->params);
                fits[i].sse = fit->sse;
                ok[i] = 1;
            }
        });
        std::size_t kept = 0;
        for (std::size_t i = 0; i < fits.size(); ++i)
            if (ok[i] && kept++ != i) fits[kept - 1] = std::move(fits[i]);
        fits.resize(kept);
    }
    // Constants that do not earn their token go; the shape left may be a
    // plain composite, which the search scores like any other.
    std::vector<Expr> out(fits.size());
    for_each_index(exec, fits.size(), [&](std::size_t i, FitScratch& s) {
        out[i] = prune_params(std::move(fits[i].f), fits[i].sse, all, options, s);
    });
    return out;
}

FitHook refine_hook(Columns columns, std::span<const double> targets, const SearchOptions& options, Executor exec) {
    ShapeOptions shapes;
    shapes.restarts = options.fit.restarts;
    shapes.keep = options.fit.top_k;
    shapes.max_complexity = options.max_complexity;
    shapes.use_trig = options.use_trig;
    auto cols = std::make_shared<const ColumnPointers>(columns, "fit");
    const std::size_t n_vars = columns.size();
    auto carried = std::make_shared<std::vector<Expr>>();
    return [cols, targets, n_vars, shapes, exec, carried](const FitLevel& level) {
        if (level.level <= 1) carried->clear();  // a new search
        *carried = refine_shapes(level.best, *carried, FitData{cols->view(), targets}, n_vars, shapes, exec);
        return *carried;
    };
}

}  // namespace vok::discover
