// The fitted search's part of the Search: results with their scale and
// offset, keys modulo scale and offset, and the refinement hook's shapes.
#include <algorithm>
#include <bit>
#include <cmath>

#include "discover/search_state.hpp"

namespace vok::discover {

// The shape's best line a + b * shape as a result. Its error is recomputed
// from the result's own tokens and parameters, as a caller evaluating them
// would: the rmse relative to the targets' spread, with the shape's penalty.
// (The score's one-pass sums lose digits on near-exact fits; this does not.)
SearchResult Search::fitted_result(Expr shape, double scored_error) const {
    const std::size_t c = shape.complexity();
    Scaled s = scale_shape(std::move(shape), data_.view(), data_.targets);
    const double rmse = discover::rmse(data_, s.expr, s.params);
    double error = rmse / fit_->spread * penalty_factor(c, opt_.complexity_penalty);
    if (std::isnan(error)) error = scored_error;  // the line itself overflows: keep the score
    std::string text = to_string(s.expr);
    return SearchResult{std::move(text), error, c, std::move(s.params), std::move(s.expr)};
}

std::array<double, kProbeCount> Search::key_of(const std::array<double, kProbeCount>& probe) const {
    if (!fit_) return probe;
    const ProbeBits bits = affine_key(probe);
    std::array<double, kProbeCount> key;
    for (std::size_t k = 0; k < kProbeCount; ++k) key[k] = std::bit_cast<double>(bits[k]);
    return key;
}

// The level's first `keep` scored candidates in the order of its stable sort
// (merged from the reducers' selections: every one of them is among the kept
// results of the reducer that saw it, see score_level).
std::vector<std::uint32_t> Search::level_order(std::size_t keep) const {
    std::vector<std::uint32_t> order;
    for (const ScoreOutcome& o : outcomes_) order.insert(order.end(), o.top.begin(), o.top.end());
    keep = std::min(keep, order.size());
    auto cut = [&](std::uint32_t x, std::uint32_t y) { return ranks_before(x, y); };
    if (keep < order.size()) {
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(), cut);
        order.resize(keep);
    }
    std::sort(order.begin(), order.end(), cut);
    return order;
}

// Hands the level's best results to the refinement hook and scores the
// shapes it returns, in its order, into best and the front as update_best
// would; those that evaluate at the probes with a key not seen yet are kept
// in joiners for the pool. True when best then meets the precision goal.
bool Search::refine_level(std::size_t level, std::span<const SearchResult> top, std::vector<Member>& joiners) {
    if (!fit_ || !opt_.fit.refine || top.empty()) return false;
    const std::vector<Expr> shapes = opt_.fit.refine(FitLevel{level, top});
    checkpoint(true);
    // The probe points as a data set of kProbeCount rows.
    std::vector<const double*> probe_cols;
    for (const auto& p : probe_points_) probe_cols.push_back(p.data());
    const ColumnView probes{probe_cols.data(), probe_cols.size(), kProbeCount};
    // The shapes' results (none for a shape that fails on a row), side by
    // side on the workers for a large table; then taken in order.
    std::vector<std::optional<SearchResult>> results(shapes.size());
    parallel(shapes.size(), shapes.size() * data_.rows() * 24, [&](std::size_t begin, std::size_t end) {
        BlockEvaluator ev(true);
        for (std::size_t q = begin; q < end; ++q) {
            const Expr& shape = shapes[q];
            if (shape.tokens.empty()) continue;
            const double factor = penalty_factor(shape.complexity(), opt_.complexity_penalty);
            std::uint8_t state;
            double err;
            score(
                1, &factor, nullptr,
                [&](std::size_t, std::size_t first, std::size_t n) {
                    return ev.eval(shape.tokens, data_.view(), {}, first, n);
                },
                &state, &err);
            if (state == kScored) results[q] = fitted_result(shape, err);
        }
    });
    BlockEvaluator ev(true);
    for (std::size_t q = 0; q < shapes.size(); ++q) {
        if (!results[q]) continue;
        const Expr& shape = shapes[q];
        SearchResult& r = *results[q];
        if (!best_ || best_->error > r.error) best_ = r;
        if (pareto_) {
            if (front_.size() <= r.complexity) front_.resize(r.complexity + 1);
            std::optional<SearchResult>& entry = front_[r.complexity];
            if (!entry || entry->error > r.error) entry = r;
        }
        const double* v = ev.eval(shape.tokens, probes, {}, 0, kProbeCount);
        if (!v) continue;
        Member m{shape, shape.complexity(), {}, {}, {}};
        bool finite = true;
        for (std::size_t k = 0; k < kProbeCount; ++k) finite = finite && is_finite_value(m.probe[k] = v[k]);
        if (!finite) continue;
        const std::array<double, kProbeCount> key = key_of(m.probe);
        ProbeBits bits;
        for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(key[k]);
        if (seen_.insert(bits, hash_probe_bits(bits))) continue;
        ++seen_count_;
        joiners.push_back(std::move(m));
    }
    return best_ && opt_.precision_goal >= best_->error;
}

}  // namespace vok::discover
