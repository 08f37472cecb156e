// The beam search's level driver: the levels in order, best and the Pareto
// front, the exits, and the entry points.
#include "discover/search.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>
#include <utility>

#include "discover/search_state.hpp"
#include "interrupt.hpp"
#include "pool.hpp"

namespace vok::discover {

std::vector<OpCode> unary_operators(const SearchOptions& options) {
    std::vector<OpCode> ops{OpCode::Neg, OpCode::Recip, OpCode::Exp, OpCode::Ln, OpCode::Sqrt};
    if (options.use_trig) {
        ops.push_back(OpCode::Sin);
        ops.push_back(OpCode::Cos);
    }
    for (std::size_t code = kFirstAppendedCode; code < kOpCount; ++code)
        if ((options.extra_unary >> (code - kFirstAppendedCode)) & 1u) ops.push_back(static_cast<OpCode>(code));
    return ops;
}

std::vector<OpCode> binary_operators(const SearchOptions& options) {
    std::vector<OpCode> ops{OpCode::Add, OpCode::Sub, OpCode::Mul, OpCode::Div};
    if (options.use_vok) ops.push_back(OpCode::Vok);
    return ops;
}

// The range is cut into chunks of about n / (8 * workers) that the workers
// take in turn from a shared counter: a worker the system pauses holds up
// at most one small chunk, and uneven chunks (a level's unary candidates,
// with their transcendental functions, come first) even out.
void pool_executor(std::size_t n, detail::RangeFn body, void* ctx) {
    const std::size_t workers = vok::pool_size();
    if (n < 2 || workers < 2) {
        if (n > 0) body(ctx, 0, n);
        return;
    }
    struct Chunks {
        detail::RangeFn body;
        void* ctx;
        std::size_t n, size;
        std::atomic<std::size_t> next{0};
    } chunks{body, ctx, n, std::max<std::size_t>(1, n / (8 * workers)), {}};
    detail::run_range(
        workers,
        [](void* c, std::size_t, std::size_t) {
            auto& k = *static_cast<Chunks*>(c);
            for (std::size_t b; (b = k.next.fetch_add(k.size, std::memory_order_relaxed)) < k.n;) {
                k.body(k.ctx, b, std::min(b + k.size, k.n));
                vok::interruption_point(vok::detail::kCheckEvery);  // a cancelled step takes no further chunk
            }
        },
        &chunks);
}

void update_best(std::optional<SearchResult>& best, std::span<const SearchResult> results) {
    for (const SearchResult& r : results)
        if (!best || best->error > r.error) best = r;
}

namespace {

// n rounded up to a multiple of step (n itself when that would overflow).
std::size_t round_up(std::size_t n, std::size_t step) { return n > SIZE_MAX - step ? n : (n + step - 1) / step * step; }

// Adds the seconds since the last lap to a trace field, when tracing.
class Stopwatch {
public:
    explicit Stopwatch(SearchTrace* trace) : on_(trace != nullptr), last_(now()) {}
    void lap(double& field) {
        if (!on_) return;
        const auto t = now();
        field += std::chrono::duration<double>(t - last_).count();
        last_ = t;
    }

private:
    static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
    bool on_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace

// A search on the pool makes sure the pool is up before any work, as the
// batch calls do, even when it never hands work to it: after a failed start
// every search raises the start failure alike, whatever its size.
Search::Search(Columns columns, std::span<const double> targets, std::size_t n_vars, const SearchOptions& options,
               const SearchInternals& internals, const SearchHooks* hooks)
    : data_(columns, targets),
      n_vars_(n_vars),
      opt_(options),
      exec_(internals.executor),
      alone_(exec_ == pool_executor && vok::pool_size() < 2),
      trace_(internals.trace),
      budget_(internals.cache_budget == kDefaultCacheBudget
                  ? std::min(internals.memory_limit / kCacheShare, kCacheCap) / sizeof(double)
                  : internals.cache_budget),
      inline_work_(internals.inline_work),
      memory_limit_(internals.memory_limit),
      early_stop_(internals.early_stop),
      seed_cutoff_(internals.seed_cutoff),
      defer_rows_(round_up(internals.defer_rows, kBlockRows)),
      chunk_rows_(round_up(internals.chunk_rows, kBlockRows)),
      checkpoint_every_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(internals.checkpoint_seconds))),
      last_checkpoint_(std::chrono::steady_clock::now()),
      unary_(unary_operators(options)),
      binary_(binary_operators(options)),
      hooks_(hooks),
      status_(hooks ? hooks->status : nullptr),
      pareto_(hooks && hooks->pareto) {
    if (n_vars_ > SIZE_MAX - 2) throw std::length_error("formula search: too many variables");
    if (options.fit.enabled) {
        fit_.emplace(data_.targets.first(data_.scored_rows));
        probe_points_ = draw_probe_points(data_.view(), options.fit.seed);
        // A variable without a column fails on every row; its probes are the contract's.
        for (std::size_t i = probe_points_.size(); i < n_vars_; ++i) {
            auto& p = probe_points_.emplace_back();
            for (std::size_t k = 0; k < kProbeCount; ++k) p[k] = static_cast<double>(i + 1) * kProbes[k];
        }
    }
}

void Search::checkpoint(bool now) {
    if (!opt_.checkpoint) return;
    const auto t = std::chrono::steady_clock::now();
    if (!now && t - last_checkpoint_ < checkpoint_every_) return;
    last_checkpoint_ = t;
    opt_.checkpoint();
}

// update_best over the level's results in candidate order; true on early stop.
bool Search::take_best(std::size_t n) {
    if (trace_)
        for (const ScoreOutcome& o : outcomes_) {
            trace_->scored += o.scored;
            trace_->abandoned += o.abandoned;
        }
    if (pareto_) take_front();
    if (best_ && !std::isnan(best_->error)) {
        // Applied in candidate order, the strict rule ends on the first
        // candidate with the level's minimal error, if that beats best: the
        // smallest (error, index) of the reducers' minima.
        std::uint32_t first = kNoOperand;
        for (const ScoreOutcome& o : outcomes_)
            if (o.first_min != kNoOperand && (first == kNoOperand || ranks_before(o.first_min, first)))
                first = o.first_min;
        if (first != kNoOperand && best_->error > err_[first]) best_ = result_of(first);
    } else if (!best_) {
        // Not reached after the leaves (the constants always score); kept
        // for completeness: the plain sequential rule.
        for (std::size_t k = 0; k < n; ++k)
            if (scored(k) && (!best_ || best_->error > err_[k])) best_ = result_of(static_cast<std::uint32_t>(k));
    }  // a NaN best is never replaced
    return best_ && opt_.precision_goal >= best_->error;
}

// The level's results into the Pareto front as update_best would take them
// in candidate order, complexity by complexity: the first result of a new
// complexity enters, and the first of the minimal non-NaN errors replaces a
// non-NaN entry it beats (a NaN entry stays). Candidates stopped early are
// no result's concern: each ended above a non-NaN error of its complexity
// (see score_level), so it is not the first result of a complexity that
// has a NaN one.
void Search::take_front() {
    const std::size_t n_cx = outcomes_.empty() ? 0 : outcomes_[0].first_of.size();
    if (front_.size() < n_cx) front_.resize(n_cx);
    std::vector<std::size_t> cxs;  // the complexities whose entry changes, to candidate ks
    std::vector<std::uint32_t> ks;
    for (std::size_t c = 0; c < n_cx; ++c) {
        std::uint32_t first = kNoOperand, least = kNoOperand;
        for (const ScoreOutcome& o : outcomes_) {
            first = std::min(first, o.first_of[c]);
            if (o.min_of[c] != kNoOperand && (least == kNoOperand || ranks_before(o.min_of[c], least)))
                least = o.min_of[c];
        }
        if (first == kNoOperand) continue;
        const std::optional<SearchResult>& entry = front_[c];
        if (!entry || (least != kNoOperand && entry->error > err_[least])) {
            cxs.push_back(c);
            ks.push_back(!entry && std::isnan(err_[first]) ? first : least);
        }
    }
    std::vector<SearchResult> results = results_of(ks);
    for (std::size_t q = 0; q < cxs.size(); ++q) front_[cxs[q]] = std::move(results[q]);
}

// result_of for each of ks, side by side on the workers when the table is
// large enough for it to pay (a fitted result evaluates its shape on every
// row twice).
std::vector<SearchResult> Search::results_of(const std::vector<std::uint32_t>& ks) {
    std::vector<SearchResult> out(ks.size());
    parallel(ks.size(), ks.size() * data_.rows() * 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t q = begin; q < end; ++q) out[q] = result_of(ks[q]);
    });
    return out;
}

// A level is complete: keep what a stopped search returns and report it.
// False when the callback asks to stop.
bool Search::complete_level(std::size_t level, std::size_t candidates) {
    candidates_total_ += candidates;
    if (!hooks_) return true;
    done_best_ = best_;
    done_front_ = front_;
    if (!hooks_->on_level) return true;
    const LevelProgress p{level, std::max<std::size_t>(opt_.max_complexity, 1), candidates, candidates_total_,
                          best_ ? &*best_ : nullptr};
    return hooks_->on_level(p);
}

std::optional<SearchResult> Search::finish() {
    if (hooks_) return std::nullopt;  // run_controlled takes best_ itself
    return std::move(best_);
}

SearchOutcome Search::run_controlled() {
    SearchOutcome out;
    try {
        run();
        done_best_ = std::move(best_);
        done_front_ = std::move(front_);
    } catch (const vok::Interrupted&) {
        reason_ = StopReason::Interrupted;
    } catch (const MemoryLimit&) {
        reason_ = StopReason::MemoryLimit;
    }
    out.reason = reason_;
    out.complete = reason_ == StopReason::Finished || reason_ == StopReason::PrecisionGoal;
    out.best = std::move(done_best_);
    for (auto& entry : done_front_)
        if (entry) out.pareto.push_back(std::move(*entry));
    return out;
}

std::optional<SearchResult> Search::run() {
    add_leaves();
    const std::vector<SearchResult> leaf_top = score_leaves();
    if (pareto_) front_ = {std::nullopt, best_};  // every leaf has complexity 1
    const std::size_t leaves = pool_.size();
    std::vector<Member> joiners;
    if (!(best_ && opt_.precision_goal >= best_->error)) {
        refine_level(1, leaf_top, joiners);
        add_joiners(joiners);
    }
    const bool go_on = complete_level(1, leaves);
    if (best_ && opt_.precision_goal >= best_->error) {
        reason_ = StopReason::PrecisionGoal;
        return finish();
    }
    if (opt_.max_complexity < 2) return finish();
    if (!go_on) {
        reason_ = StopReason::Callback;
        return finish();
    }

    std::size_t fresh = 0;  // members from here on have not been combined yet
    for (std::size_t level = 2;; ++level) {
        checkpoint(true);
        if (pool_.empty()) return finish();
        if (pool_.size() >= kNoOperand) throw std::length_error("formula search: pool too large");
        Stopwatch watch(trace_);
        const std::size_t combined_from = fresh;
        const std::size_t n = generate(fresh);
        fresh = pool_.size();
        if (trace_) watch.lap(trace_->seconds_generate);
        const auto [fingerprinted, accepted] = insert_level(n);
        seen_count_ += accepted;
        if (trace_) {
            watch.lap(trace_->seconds_insert);
            trace_->generated += n;
            trace_->fingerprinted += fingerprinted;
            trace_->accepted += accepted;
            if (trace_->record_candidates) {
                trace_->levels.emplace_back();
                for (std::size_t k = 0; k < n; ++k)
                    if (state_[k] == kAccepted) trace_->levels.back().push_back(build(cands_[k]));
            }
        }
        if (accepted == 0) {
            complete_level(level, 0);
            return finish();
        }
        if (status_) {
            status_->scored.store(0, std::memory_order_relaxed);
            status_->candidates.store(accepted, std::memory_order_relaxed);
            status_->level.store(level, std::memory_order_relaxed);
        }
        score_level(n, level < opt_.max_complexity);
        if (trace_) watch.lap(trace_->seconds_score);
        bool goal = take_best(n);
        if (!goal && fit_ && opt_.fit.refine && opt_.fit.top_k > 0) {
            goal = refine_level(level, results_of(level_order(opt_.fit.top_k)), joiners);
        }
        if (goal) {
            complete_level(level, accepted);
            reason_ = StopReason::PrecisionGoal;
            return finish();
        }
        if (level >= opt_.max_complexity) {  // nothing reads the pool after the last level
            complete_level(level, accepted);
            break;
        }
        grow_pool();
        add_joiners(joiners);
        release_columns(combined_from, fresh);
        if (trace_) watch.lap(trace_->seconds_select);
        if (!complete_level(level, accepted)) {
            reason_ = StopReason::Callback;
            return finish();
        }
    }
    return finish();
}

namespace {

// Owns a search; one that was stopped is freed on a thread of its own, so
// that the stop reaches the caller without waiting for the system to take
// back the search's memory (a few tenths of a second for a gigabyte).
class SearchOwner {
public:
    template <class... Args>
    explicit SearchOwner(Args&&... args) : search_(std::make_unique<Search>(std::forward<Args>(args)...)) {}
    SearchOwner(const SearchOwner&) = delete;
    SearchOwner& operator=(const SearchOwner&) = delete;
    ~SearchOwner() {
        if (stopped_ || std::uncaught_exceptions() > 0)
            vok::run_detached([](void* s) { delete static_cast<Search*>(s); }, search_.release());
    }
    Search* operator->() const { return search_.get(); }
    void stopped(bool yes) { stopped_ = yes; }

private:
    std::unique_ptr<Search> search_;
    bool stopped_ = false;
};

}  // namespace

std::optional<SearchResult> search_with(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                        const SearchOptions& options, const SearchInternals& internals) {
    SearchOwner s(columns, targets, n_vars, options, internals);
    return s->run();
}

std::optional<SearchResult> search(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                   const SearchOptions& options) {
    return search_with(columns, targets, n_vars, options, SearchInternals{});
}

SearchOutcome search_controlled(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                const SearchOptions& options, const SearchHooks& hooks,
                                const SearchInternals& internals) {
    SearchOwner s(columns, targets, n_vars, options, internals, &hooks);
    SearchOutcome outcome = s->run_controlled();
    s.stopped(outcome.reason == StopReason::Interrupted);
    return outcome;
}

SearchOutcome search_controlled(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                const SearchOptions& options, const SearchHooks& hooks) {
    return search_controlled(columns, targets, n_vars, options, hooks, SearchInternals{});
}

}  // namespace vok::discover
