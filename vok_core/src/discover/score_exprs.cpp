// Scoring expressions outside a search's levels: the rmse of one expression,
// and a list of candidates scored as a level would score them.
#include <limits>

#include "discover/search_state.hpp"
#include "pool.hpp"

namespace vok::discover {

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

double rmse(const Data& data, const Expr& expr, std::span<const double> params) {
    const double factor = 1.0;
    std::uint8_t state = kFailed;
    double error = kNaN;
    BlockEvaluator ev;
    score_lanes(
        data, 1, &factor, nullptr,
        [&](std::size_t, std::size_t first, std::size_t n) {
            return ev.eval(expr.tokens, data.view(), params, first, n);
        },
        &state, &error);
    return state == kScored ? error : kNaN;
}

double rmse(const Expr& expr, Columns columns, std::span<const double> targets, std::span<const double> params) {
    return rmse(Data(columns, targets), expr, params);
}

std::vector<SearchResult> score_level(std::span<const Expr> candidates, Columns columns,
                                      std::span<const double> targets, const SearchOptions& options) {
    const Data data(columns, targets);
    return vok::ordered_filter_map<SearchResult>(candidates.size(), [&](std::size_t k) -> std::optional<SearchResult> {
        const Expr& e = candidates[k];
        BlockEvaluator ev;
        const double factor = penalty_factor(e.complexity(), options.complexity_penalty);
        std::uint8_t state;
        double error;
        score_lanes(
            data, 1, &factor, nullptr,
            [&](std::size_t, std::size_t first, std::size_t n) { return ev.eval(e.tokens, data.view(), {}, first, n); },
            &state, &error);
        if (state != kScored) return std::nullopt;
        return SearchResult{to_string(e), error, e.complexity(), {}, e};
    });
}

}  // namespace vok::discover
