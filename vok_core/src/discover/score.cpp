// Scoring a level: the candidates' errors by groups of lanes, the early stop
// of hopeless candidates, and the reduction of the results to what best, the
// Pareto front and the pool need.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>

#include "discover/search_state.hpp"
#include "pool.hpp"

namespace vok::discover {

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
// No cutoff: a NaN, which no error compares above.
const double kNoCutoff = kNaN;
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

// The order of the level's sort: ascending error, equal errors in candidate
// order (a stable sort), NaN errors after all others in candidate order.
// A strict total order, so the first beam_width / 4 can be selected piece by
// piece and merged. Only for scored candidates.
bool Search::ranks_before(std::uint32_t x, std::uint32_t y) const {
    const double ex = err_[x], ey = err_[y];
    const bool nx = std::isnan(ex), ny = std::isnan(ey);
    if (nx != ny) return ny;
    if (!nx && ex != ey) return ex < ey;
    return x < y;
}

// The leaves score as members, one at a time and in order, into best.
// Returns the fitted search's first top_k of them, in the order of a stable
// sort by error, for its refinement hook (else nothing).
std::vector<SearchResult> Search::score_leaves() {
    std::vector<std::uint8_t> state(pool_.size());
    std::vector<double> err(pool_.size());
    const double factor = penalty_factor(1, opt_.complexity_penalty);
    parallel(pool_.size(), pool_.size() * data_.rows(), [&](std::size_t begin, std::size_t end) {
        BlockEvaluator ev(fit_.has_value());
        for (std::size_t k = begin; k < end; ++k)
            score(
                1, &factor, nullptr,
                [&](std::size_t, std::size_t first, std::size_t n) { return member_block(pool_[k], first, n, ev); },
                &state[k], &err[k]);
    });
    std::size_t n_scored = 0;
    for (std::size_t k = 0; k < pool_.size(); ++k) {
        if (state[k] != kScored) continue;
        ++n_scored;
        if (!best_ || best_->error > err[k])
            best_ = fit_ ? fitted_result(pool_[k].expr, err[k])
                         : SearchResult{to_string(pool_[k].expr), err[k], 1, {}, pool_[k].expr};
    }
    if (trace_) trace_->scored += n_scored;
    std::vector<SearchResult> top;
    if (!fit_ || !opt_.fit.refine) return top;
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < pool_.size(); ++k)
        if (state[k] == kScored && !std::isnan(err[k])) order.push_back(k);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return err[x] < err[y]; });
    for (std::size_t q = 0; q < std::min(order.size(), opt_.fit.top_k); ++q)
        top.push_back(fitted_result(pool_[order[q]].expr, err[order[q]]));
    return top;
}

// Scores candidates ks[0..lanes) into state[l] and err[l] (err only for
// kScored), on their first `rows` rows when that is below the data's.
void Search::score_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff,
                         std::uint8_t* state, double* err, std::size_t rows) {
    std::array<double, kLanes> factor;
    for (std::size_t l = 0; l < lanes; ++l) factor[l] = penalty_of(ks[l]);
    score(lanes, factor.data(), cutoff, lane_values(ks, lanes, s), state, err, rows);
}

// The candidates scored first at a level, so that early stopping has a
// cutoff from the start rather than after the first cap results: a sample
// of the accepted candidates spread over the level (at most 8 * cap of
// them) is scored on its first kScoreRows rows, and the 2 * cap best of it
// by that partial error are returned in index order. Empty when the level
// has too few candidates or rows for it to pay: the sample's first rows
// must cost little beside the level's (a sample of at most half the level,
// or data of more than 8 * kScoreRows rows), and on a table of at most
// 4 * kScoreRows rows the cutoff saves less than the sample costs (a few
// percent of the search, measured). Any choice gives the same
// results: a cutoff is always the largest of cap errors of candidates scored
// on every row.
std::vector<std::uint32_t> Search::pick_seeds(std::size_t n, std::size_t cap) {
    constexpr std::size_t kSampleFactor = 8, kSeedFactor = 2;
    const std::size_t accepted = static_cast<std::size_t>(std::count(state_.get(), state_.get() + n, kAccepted));
    const std::size_t seeds = kSeedFactor * cap, rows = data_.rows();
    const std::size_t samples = std::min(accepted, kSampleFactor * cap);
    const bool worth = rows > 8 * kScoreRows ? accepted > seeds : 2 * samples <= accepted;
    if (rows <= 4 * kScoreRows || samples == 0 || !worth) return {};
    // Every stride-th accepted candidate.
    const std::size_t stride = accepted / samples;
    std::vector<std::uint32_t> sample;
    sample.reserve(samples);
    for (std::size_t k = 0, seen = 0; k < n && sample.size() < samples; ++k)
        if (state_[k] == kAccepted && seen++ % stride == 0) sample.push_back(static_cast<std::uint32_t>(k));
    std::vector<std::uint8_t> state(samples);
    std::vector<double> partial(samples);
    const std::size_t groups = (samples + kLanes - 1) / kLanes;
    parallel(groups, samples * (kScoreRows + 8), [&](std::size_t begin, std::size_t end) {
        Scratch scratch(fit_.has_value());
        for (std::size_t g = begin; g < end; ++g) {
            const std::size_t at = g * kLanes, lanes = std::min(kLanes, samples - at);
            score_group(&sample[at], lanes, scratch, nullptr, &state[at], &partial[at], kScoreRows);
        }
    });
    std::vector<std::uint32_t> order;
    for (std::size_t q = 0; q < samples; ++q)
        if (state[q] == kScored && !std::isnan(partial[q])) order.push_back(static_cast<std::uint32_t>(q));
    const auto by_partial = [&](std::uint32_t x, std::uint32_t y) {
        return partial[x] < partial[y] || (partial[x] == partial[y] && x < y);
    };
    std::sort(order.begin(), order.end(), by_partial);
    // With a Pareto front, also the best few of each complexity: their
    // errors bound what a candidate must beat to be the best of its own.
    constexpr std::size_t kPerComplexity = 4;
    std::vector<std::size_t> taken(pareto_ ? 2 * max_cx_ + 2 : 0, 0);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::uint32_t k = sample[order[i]];
        const bool by_cx = pareto_ && taken[complexity(cands_[k])]++ < kPerComplexity;
        if (i < seeds || by_cx) out.push_back(k);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The stash's share of the memory limit, and its cap.
constexpr std::size_t kStashShare = 16, kStashCap = std::size_t{64} << 20;

// Scores the accepted candidates in parallel and reduces their results to
// what the sequential steps need: how many scored, and for each reducer (a
// slot that pieces take in turn, so that its results accumulate over many
// pieces) the first minimal non-NaN error and the best-ranked
// beam_width / 4 candidates it saw. Every candidate of the level's first
// beam_width / 4 is among the best of whichever reducer saw it, and the
// level's first minimal error is the smallest (error, index) of the
// reducers' minima, so the merge does not depend on who saw what. When
// members join after the level (grows), the stash keeps what it can.
void Search::score_level(std::size_t n, bool grows) {
    outcomes_.clear();
    const std::size_t keep = opt_.beam_width / 4;
    const std::size_t cap = std::max<std::size_t>(keep, 1);  // at least one, for best
    auto worse = [&](std::uint32_t x, std::uint32_t y) { return ranks_before(x, y); };
    // The cap smallest errors scored so far by all reducers together (a
    // max-heap, under its lock) and, once there are cap of them, the largest
    // of them: a candidate whose error is strictly above it ranks after cap
    // results and can neither become best nor join the pool. Pooled over the
    // reducers, the cutoff is as tight with several workers as with one.
    // Which candidates stop early depends on timing; the results do not.
    std::atomic<double> shared_cutoff{kNoCutoff};
    std::vector<double> smallest;
    std::mutex smallest_lock;
    const bool can_cut = cap < n;  // else no cap results and a candidate beyond them
    // With a Pareto front a candidate must also stay while it could become
    // the best of its complexity: its cutoff is at least the smallest error
    // of its complexity known to its reducer (from earlier levels, the
    // level's seeds, or scored by it), which its final error cannot beat
    // once past it. Such an error exists only without NaN targets, so every
    // candidate of that complexity then has a non-NaN error and the first
    // one need not be known.
    const std::size_t n_cx = pareto_ ? 2 * max_cx_ + 2 : 0;  // above any candidate's complexity
    std::vector<double> known_cut(n_cx, kInf);
    for (std::size_t c = 0; c < std::min(n_cx, front_.size()); ++c)
        if (front_[c]) known_cut[c] = std::isnan(front_[c]->error) ? -kInf : front_[c]->error;
    struct Reducer {
        explicit Reducer(bool strict) : scratch(strict) {}
        Scratch scratch;
        ScoreOutcome out;            // out.top: a heap whose front is the worst kept result
        std::vector<double> cut_of;  // with a Pareto front: by complexity, the cutoff it knows
        std::vector<Deferred> deferred;
        ValueStash::Kept kept;  // its candidates' columns in the stash
    };
    std::vector<std::unique_ptr<Reducer>> reducers;
    std::vector<Reducer*> idle;
    std::mutex reducers_lock;
    // Takes the outcome of candidates ks[0..count), whose state_ and err_
    // are set, into reducer r's results and the shared cutoff (cutoff: its
    // value when they were scored).
    auto record = [&](Reducer& r, const std::uint32_t* ks, std::size_t count, double cutoff) {
        ScoreOutcome& out = r.out;
        std::vector<std::uint32_t>& kept = out.top;
        std::array<double, kLanes> below;  // errors that may be among the cap smallest
        std::size_t n_below = 0;
        for (std::size_t l = 0; l < count; ++l) {
            const std::uint32_t k = ks[l];
            if (!scored(k)) {
                out.abandoned += state_[k] == kAbandoned;
                continue;
            }
            ++out.scored;
            if (pareto_) {
                const std::size_t c = complexity(cands_[k]);
                if (out.first_of[c] == kNoOperand || k < out.first_of[c]) out.first_of[c] = k;
                if (!std::isnan(err_[k])) {
                    if (out.min_of[c] == kNoOperand || ranks_before(k, out.min_of[c])) out.min_of[c] = k;
                    r.cut_of[c] = std::min(r.cut_of[c], err_[k]);
                }
            }
            if (can_cut && !std::isnan(err_[k]) && !(err_[k] >= cutoff)) below[n_below++] = err_[k];
            if (kept.size() < cap) {
                kept.push_back(k);
                std::push_heap(kept.begin(), kept.end(), worse);
            } else if (ranks_before(k, kept.front())) {
                std::pop_heap(kept.begin(), kept.end(), worse);
                kept.back() = k;
                std::push_heap(kept.begin(), kept.end(), worse);
            }
        }
        // Skipped while the other holder is busy: the cutoff only
        // stays looser, and a waiting worker would cost more.
        if (n_below && smallest_lock.try_lock()) {
            std::lock_guard guard(smallest_lock, std::adopt_lock);
            for (std::size_t q = 0; q < n_below; ++q) {
                if (smallest.size() == cap) {
                    if (!(below[q] < smallest.front())) continue;
                    std::pop_heap(smallest.begin(), smallest.end());
                    smallest.pop_back();
                }
                smallest.push_back(below[q]);
                std::push_heap(smallest.begin(), smallest.end());
            }
            if (smallest.size() == cap) shared_cutoff.store(smallest.front(), std::memory_order_relaxed);
        }
    };
    // Scores the accepted candidates among list[0..count) (the identity
    // without a list).
    const std::uint32_t* list = nullptr;
    auto pass = [&](std::size_t begin, std::size_t end) {
        Reducer* r;
        {
            std::lock_guard guard(reducers_lock);
            if (idle.empty()) {
                reducers.push_back(std::make_unique<Reducer>(fit_.has_value()));
                Reducer& fresh = *reducers.back();
                fresh.cut_of = known_cut;
                fresh.out.first_of.assign(n_cx, kNoOperand);
                fresh.out.min_of.assign(n_cx, kNoOperand);
                idle.push_back(&fresh);
            }
            r = idle.back();
            idle.pop_back();
        }
        std::array<std::uint32_t, kLanes> group;
        std::size_t lanes = 0;
        auto flush = [&] {
            const double cutoff = shared_cutoff.load(std::memory_order_relaxed);
            std::array<double, kLanes> cut, err;
            std::array<std::uint8_t, kLanes> state;
            for (std::size_t l = 0; l < lanes; ++l)
                cut[l] = pareto_ ? std::max(cutoff, r->cut_of[complexity(cands_[group[l]])]) : cutoff;
            const double* cuts = early_stop_ ? cut.data() : nullptr;
            if (defer_) {
                std::array<LaneSums, kLanes> sums;
                start_group(group.data(), lanes, r->scratch, cuts, state.data(), sums.data(), err.data());
                for (std::size_t l = 0; l < lanes; ++l)
                    if (state[l] == kAccepted) r->deferred.push_back({group[l], cuts ? cut[l] : kNoCutoff, sums[l]});
            } else {
                score_group(group.data(), lanes, r->scratch, cuts, state.data(), err.data());
                // Those that may still join the pool keep their values when
                // they cost a library call per row: all of a lane's rows are
                // in its block (see Scratch).
                const double now = shared_cutoff.load(std::memory_order_relaxed);
                for (std::size_t l = 0; stash_.on() && l < lanes; ++l)
                    if (state[l] == kScored && !(err[l] > now) && costly(cands_[group[l]]))
                        stash_.put(group[l], r->scratch.out[l].data(), r->kept);
            }
            for (std::size_t l = 0; l < lanes; ++l) {
                state_[group[l]] = state[l];
                if (state[l] == kScored) err_[group[l]] = err[l];
            }
            if (status_) {
                // Those set aside count as their rows are done (finish_chunked).
                const auto set_aside = std::count(state.begin(), state.begin() + lanes, kAccepted);
                status_->scored.fetch_add(lanes - static_cast<std::size_t>(set_aside), std::memory_order_relaxed);
            }
            record(*r, group.data(), lanes, cutoff);
            lanes = 0;
        };
        for (std::size_t q = begin; q < end; ++q) {
            const std::uint32_t k = list ? list[q] : static_cast<std::uint32_t>(q);
            if (state_[k] != kAccepted) continue;
            group[lanes++] = k;
            if (lanes == kLanes) flush();
        }
        if (lanes) flush();
        std::lock_guard guard(reducers_lock);
        idle.push_back(r);
    };
    // Scores the accepted candidates among l[0..count), or all n without a
    // list. Those set aside after their first rows are then finished
    // together, and reducers.front() takes their results.
    defer_ = defer_rows_ != 0 && data_.rows() > defer_rows_ && members_uncached();
    // On a small table, the values of candidates scored on every row are
    // kept for the members that join after the level, within a budget.
    const std::size_t rows = data_.rows();
    const bool stash = grows && !defer_ && rows > 0 && rows <= kBlockRows;
    stash_.start_level(rows, stash ? std::min(n, std::min(memory_limit_ / kStashShare, kStashCap) / 8 / rows) : 0);
    auto score_all = [&](const std::uint32_t* l, std::size_t count) {
        list = l;
        parallel(count, count * (std::min(data_.rows(), defer_ ? defer_rows_ : SIZE_MAX) + 8), pass);
        list = nullptr;
        std::vector<Deferred> deferred;
        for (auto& r : reducers) {
            deferred.insert(deferred.end(), r->deferred.begin(), r->deferred.end());
            r->deferred.clear();
        }
        if (deferred.empty()) return;
        if (trace_) trace_->deferred += deferred.size();
        // Their cutoffs as the pass left them, tighter than when they were
        // set aside: the cap smallest errors of all, and with a Pareto front
        // the smallest of their complexity any reducer knows.
        const double cutoff = shared_cutoff.load(std::memory_order_relaxed);
        if (early_stop_)
            for (Deferred& d : deferred) {
                double known = kInf;
                if (pareto_)
                    for (auto& r : reducers) known = std::min(known, r->cut_of[complexity(cands_[d.k])]);
                d.cutoff = pareto_ ? std::max(cutoff, known) : cutoff;
            }
        finish_chunked(deferred);
        std::array<std::uint32_t, kLanes> ks;
        for (std::size_t q = 0; q < deferred.size(); q += kLanes) {
            const std::size_t lanes = std::min(kLanes, deferred.size() - q);
            for (std::size_t l = 0; l < lanes; ++l) ks[l] = deferred[q + l].k;
            record(*reducers.front(), ks.data(), lanes, cutoff);
        }
    };
    if (early_stop_ && seed_cutoff_ && can_cut) {
        // The seeds first; then the cutoff is the largest of their cap
        // smallest errors, taken here whatever the pass could record.
        const std::vector<std::uint32_t> seeds = pick_seeds(n, cap);
        score_all(seeds.data(), seeds.size());
        smallest.clear();
        for (std::uint32_t k : seeds) {
            if (!scored(k) || std::isnan(err_[k])) continue;
            smallest.push_back(err_[k]);
            if (!pareto_) continue;
            // Every reducer, and those made later, know the seeds' errors
            // of each complexity.
            const std::size_t c = complexity(cands_[k]);
            known_cut[c] = std::min(known_cut[c], err_[k]);
            for (auto& r : reducers) r->cut_of[c] = std::min(r->cut_of[c], err_[k]);
        }
        if (smallest.size() >= cap) {
            std::nth_element(smallest.begin(), smallest.begin() + static_cast<std::ptrdiff_t>(cap - 1), smallest.end());
            smallest.resize(cap);
            std::make_heap(smallest.begin(), smallest.end());
            shared_cutoff.store(smallest.front(), std::memory_order_relaxed);
        }
    }
    score_all(nullptr, n);
    for (auto& r : reducers) stash_.keep(r->kept);
    stash_.seal();
    for (auto& r : reducers) {
        ScoreOutcome& out = r->out;
        // The first minimal non-NaN error is the best-ranked kept result.
        for (std::uint32_t k : out.top)
            if (!std::isnan(err_[k]) && (out.first_min == kNoOperand || ranks_before(k, out.first_min)))
                out.first_min = k;
        if (keep == 0) out.top.clear();
        outcomes_.push_back(std::move(out));
    }
}

}  // namespace vok::discover
