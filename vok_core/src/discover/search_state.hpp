// The working state of one search and the steps of a level, shared by the
// search's source files: search.cpp (the level driver), generate.cpp
// (candidates and the seen set), score.cpp (scoring, early stopping,
// selection), score_chunks.cpp (candidates finished a chunk of rows at a
// time) and members.cpp (the pool's members and their cached values; the
// members themselves and their uncached values: member_values.hpp).
//
// How the work is organised (the outcome is that of the plain algorithm:
// build every candidate as a token sequence, fingerprint it with the stack
// evaluator, insert it into the seen set in generation order, score the
// survivors row by row, update best in order, stable-sort, grow the pool);
// the argument for each point stands above the code it concerns.
//
//  * A candidate is described by its operator and its pool operand(s), not by
//    tokens; tokens are built only for expressions that join the pool or
//    become best, and the formula text only for results (members.cpp).
//  * Every pool member keeps its five probe values and, within a memory
//    budget, its values on all data rows (members.cpp).
//  * Combinations of pool members that were already combined at an earlier
//    level are not built again (generate.cpp).
//  * Each level runs as a few parallel steps with a barrier between them:
//    generation with fingerprints, insertion (one task per shard of the seen
//    set), scoring (pieces reduced to counts, minima and the best
//    beam_width / 4), and the completion of the new pool members. The
//    sequential steps between them only merge those reductions.
//  * Scoring stops a candidate early once it can neither become best nor
//    join the pool (score.cpp).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "discover/fingerprint.hpp"
#include "discover/member_values.hpp"
#include "discover/render.hpp"
#include "discover/scoring.hpp"
#include "discover/search_internals.hpp"
#include "discover/value_stash.hpp"

namespace vok::discover {

// A candidate: op(a) or op(a, b) over pool members, with its probe values.
// Trivial, so that a level's array is allocated without being initialised;
// one cache line each.
struct alignas(64) Candidate {
    std::uint32_t a, b;
    OpCode op;
    std::array<double, kProbeCount> probe;
};

// What a scoring reducer hands to the sequential steps.
struct ScoreOutcome {
    std::size_t scored = 0;                // candidates it scored on every row
    std::size_t abandoned = 0;             // candidates whose scoring it stopped early
    std::uint32_t first_min = kNoOperand;  // the first of their minimal non-NaN errors, or none
    std::vector<std::uint32_t> top;        // their best-ranked beam_width / 4
    // With a Pareto front, by complexity: the first candidate it scored and
    // the first of its minimal non-NaN errors (kNoOperand for none).
    std::vector<std::uint32_t> first_of, min_of;
};

// A candidate whose scoring stopped after its first rows, to go on from
// there: its cutoff and its sums so far.
struct Deferred {
    std::uint32_t k;
    double cutoff;
    LaneSums sums;
};

class Search {
public:
    Search(Columns columns, std::span<const double> targets, std::size_t n_vars, const SearchOptions& options,
           const SearchInternals& internals, const SearchHooks* hooks = nullptr);

    std::optional<SearchResult> run();
    SearchOutcome run_controlled();

private:
    // ---- search.cpp: the level driver
    bool take_best(std::size_t n);
    void take_front();
    bool complete_level(std::size_t level, std::size_t candidates);
    std::optional<SearchResult> finish();
    // Calls options.checkpoint when it is due (at least checkpoint_seconds
    // since the last call), or always when `now` is set.
    void checkpoint(bool now = false);

    // Runs f over pieces of 0..n on the executor, or on this thread when the
    // estimated work is too small to share or there is no other worker; on
    // this thread the pieces are short enough to call the checkpoint
    // between them (the pool polls for interrupts itself while it works).
    // Every step's outcome is independent of the division.
    template <class F>
    void parallel(std::size_t n, std::size_t work, F&& f) {
        if (n == 0) return;
        if (work >= inline_work_ && !alone_) {
            using Fn = std::remove_reference_t<F>;
            exec_(
                n, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Fn*>(ctx))(b, e); },
                const_cast<void*>(static_cast<const void*>(&f)));
            checkpoint();
            return;
        }
        constexpr std::size_t kWorkPerPiece = std::size_t{1} << 20;  // about a millisecond
        const std::size_t pieces = opt_.checkpoint ? std::clamp<std::size_t>(work / kWorkPerPiece, 1, n) : 1;
        for (std::size_t p = 0; p < pieces; ++p) {
            f(n / pieces * p + std::min(p, n % pieces), n / pieces * (p + 1) + std::min(p + 1, n % pieces));
            checkpoint();
        }
    }

    // ---- generate.cpp: the leaves, a level's candidates, the seen set
    void add_leaves();
    std::size_t generate(std::size_t fresh);
    std::pair<std::size_t, std::size_t> insert_level(std::size_t n);

    // ---- score.cpp
    bool ranks_before(std::uint32_t x, std::uint32_t y) const;
    template <class Values>
    void score(std::size_t lanes, const double* factor, const double* cutoff, Values&& values, std::uint8_t* state,
               double* error, std::size_t rows = SIZE_MAX) const {
        if (fit_)
            score_lanes_fitted(data_, *fit_, lanes, factor, cutoff, values, state, error, rows);
        else
            score_lanes(data_, lanes, factor, cutoff, values, state, error, rows);
    }
    // advance_lanes and finish_lanes of the search's kind, over the data's rows.
    template <class Values>
    void advance(std::size_t lanes, const double* factor, const double* cutoff, Values&& values, std::uint8_t* state,
                 LaneSums* sums, std::size_t from, std::size_t to) const {
        if (fit_)
            advance_lanes_fitted(data_, *fit_, lanes, factor, cutoff, values, state, sums, from, to, data_.rows());
        else
            advance_lanes(data_, lanes, factor, cutoff, values, state, sums, from, to, data_.rows());
    }
    template <class Values>
    void finish_lanes_of(std::size_t lanes, const double* factor, Values&& values, const std::uint8_t* state,
                         const LaneSums* sums, double* error) const {
        if (fit_)
            finish_lanes_fitted(data_, *fit_, lanes, factor, values, state, sums, error, data_.rows());
        else
            finish_lanes(data_, lanes, factor, state, sums, error);
    }
    std::vector<SearchResult> score_leaves();
    void score_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff, std::uint8_t* state,
                     double* err, std::size_t rows = SIZE_MAX);
    void start_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff, std::uint8_t* state,
                     LaneSums* sums, double* err);
    std::vector<std::uint32_t> pick_seeds(std::size_t n, std::size_t cap);
    void score_level(std::size_t n, bool grows);

    // ---- score_chunks.cpp: candidates finished a chunk of rows at a time
    bool members_uncached() const;
    std::size_t chunk_rows(std::size_t members) const;
    std::size_t chunk_memory(std::size_t n) const;
    bool reads_uncached(const Candidate& c) const {
        return !by_halves(c) && (!pool_[c.a].column || (!is_unary(c.op) && !pool_[c.b].column));
    }
    void finish_chunked(std::vector<Deferred>& list);

    // ---- fitted.cpp: the fitted search's results, keys and refinement
    SearchResult fitted_result(Expr shape, double scored_error) const;
    std::array<double, kProbeCount> key_of(const std::array<double, kProbeCount>& probe) const;
    std::vector<std::uint32_t> level_order(std::size_t keep) const;
    bool refine_level(std::size_t level, std::span<const SearchResult> top, std::vector<Member>& joiners);

    // ---- members.cpp
    double* cache_column();
    template <class Values>
    void cache_members(std::size_t from, Values&& value);
    void check_memory(std::size_t n) const;
    void complete_leaves();
    void grow_pool();
    void add_joiners(std::vector<Member>& joiners);
    void release_columns(std::size_t from, std::size_t to);

    // Values of member m on rows [first, first + n), or null when a row fails.
    const double* member_block(const Member& m, std::size_t first, std::size_t n, BlockEvaluator& ev) const {
        if (m.column) return m.column + first;
        return ev.eval(m.expr.tokens, data_.view(), {}, first, n);
    }

    // The values of candidate c on rows [first, first + n) into out. The
    // value of op(a, b) at a point is op applied to the values of a and b
    // there, with the operator's domain and finiteness tests: the same
    // values, and the same failures, as the stack evaluator on its tokens.
    bool candidate_block(const Candidate& c, std::size_t first, std::size_t n, Scratch& s, double* out) const {
        if (by_halves(c)) return combine(c, nullptr, nullptr, first, n, out);
        const double *va, *vb;
        return operand_blocks(c, first, n, s, &va, &vb) && combine(c, va, vb, first, n, out);
    }

    // The values of c's operands on rows [first, first + n) (*vb null for a
    // unary c); false when a row of one fails. Not for by_halves(c).
    bool operand_blocks(const Candidate& c, std::size_t first, std::size_t n, Scratch& s, const double** va,
                        const double** vb) const {
        // The row's member is the newer operand (generate.cpp pairs member i
        // with the members j <= i).
        const std::uint32_t row = is_unary(c.op) ? c.a : std::max(c.a, c.b);
        auto values = [&](std::uint32_t i, MemberMemo& memo, BlockEvaluator& ev) {
            const Member& m = pool_[i];
            if (m.column) return m.column + first;
            const double* v;
            if (i == row && s.row.get(m, data_.view(), first, n, ev, &v)) return v;
            return memo.get(m, data_.view(), first, n, ev);
        };
        *vb = nullptr;
        return (*va = values(c.a, s.left_memo, s.left)) &&
               (is_unary(c.op) || (*vb = values(c.b, s.right_memo, s.right)));
    }

    // A Vok whose operands' tension halves are cached: computed from those
    // alone, without its operands' values.
    bool by_halves(const Candidate& c) const { return c.op == OpCode::Vok && pool_[c.a].col_t && pool_[c.b].col_x; }

    // Whether c's values cost a library call per row (beyond a packed
    // operation or two).
    bool costly(const Candidate& c) const {
        switch (c.op) {
            case OpCode::Add:
            case OpCode::Sub:
            case OpCode::Mul:
            case OpCode::Div:
            case OpCode::Neg:
            case OpCode::Recip:
            case OpCode::Sqrt:
            case OpCode::Abs:
                return false;
            case OpCode::Vok:
                return !by_halves(c);
            default:
                return true;
        }
    }

    // op(a, b) on rows [first, first + n) from its operands' values there
    // (va, vb), or from the cached tension halves (by_halves).
    bool combine(const Candidate& c, const double* va, const double* vb, std::size_t first, std::size_t n,
                 double* out) const {
        if (by_halves(c))
            return apply_op_column(OpCode::Sub, pool_[c.a].col_t + first, pool_[c.b].col_x + first, out, n);
        return fit_ ? apply_op_column_strict(c.op, va, vb, out, n) : apply_op_column(c.op, va, vb, out, n);
    }

    // Candidate k's penalty factor.
    double penalty_of(std::uint32_t k) const { return penalty_factor(complexity(cands_[k]), opt_.complexity_penalty); }

    // The values callback of score_lanes for candidates ks[0..lanes), into
    // s's blocks. Generation puts cos(m) right after sin(m): a lane of sin(m)
    // followed by one of cos(m) computes both blocks in one pass, and the
    // cosine lane, asked next for the same rows, takes its block as it is.
    auto lane_values(const std::uint32_t* ks, std::size_t lanes, Scratch& s) const {
        s.paired = {};
        return [this, ks, lanes, &s](std::size_t l, std::size_t first, std::size_t n) -> const double* {
            auto block = [&](std::size_t lane) {
                return s.out[lane].data() + (data_.rows() <= kBlockRows ? first : 0);
            };
            double* out = block(l);
            const Scratch::Paired p = std::exchange(s.paired, {});
            if (p.lane == l && p.first == first && p.n == n) return p.ok ? out : nullptr;
            const Candidate& c = cands_[ks[l]];
            if (c.op == OpCode::Sin && l + 1 < lanes && cands_[ks[l + 1]].op == OpCode::Cos &&
                cands_[ks[l + 1]].a == c.a) {
                const double *va, *vb;
                if (!operand_blocks(c, first, n, s, &va, &vb)) return nullptr;
                bool sin_ok, cos_ok;
                sin_cos_column(va, out, block(l + 1), n, &sin_ok, &cos_ok);
                s.paired = {l + 1, first, n, cos_ok};
                return sin_ok ? out : nullptr;
            }
            return candidate_block(c, first, n, s, out) ? out : nullptr;
        };
    }

    std::size_t complexity(const Candidate& c) const {
        return pool_[c.a].complexity + (is_unary(c.op) ? 0 : pool_[c.b].complexity) + 1;
    }

    Expr build(const Candidate& c) const {
        return is_unary(c.op) ? Expr::unary(pool_[c.a].expr, c.op)
                              : Expr::binary(pool_[c.a].expr, pool_[c.b].expr, c.op);
    }

    SearchResult result_of(std::uint32_t k) const {
        if (fit_) return fitted_result(build(cands_[k]), err_[k]);
        Expr e = build(cands_[k]);
        const std::size_t c = e.complexity();
        return SearchResult{to_string(e), err_[k], c, {}, std::move(e)};
    }

    std::vector<SearchResult> results_of(const std::vector<std::uint32_t>& ks);

    bool scored(std::size_t k) const { return state_[k] == kScored; }

    Data data_;
    std::size_t n_vars_;
    const SearchOptions& opt_;
    Executor exec_;
    bool alone_;  // the executor is the pool and it has one worker: run every step here
    SearchTrace* trace_;
    std::size_t budget_;
    std::size_t inline_work_;
    std::size_t memory_limit_;
    bool early_stop_;
    bool seed_cutoff_;
    // With members not cached, candidates still in play after this many rows
    // (0: never) are finished a chunk of chunk_rows_ rows at a time (0: sized
    // from the memory limit).
    std::size_t defer_rows_;
    std::size_t chunk_rows_;
    bool defer_ = false;  // at this level
    std::chrono::steady_clock::duration checkpoint_every_;
    std::chrono::steady_clock::time_point last_checkpoint_;
    std::size_t seen_count_ = 0;   // fingerprints in the seen set
    std::size_t pool_tokens_ = 0;  // tokens of all pool members
    std::size_t max_cx_ = 1;       // the largest complexity in the pool
    std::vector<OpCode> unary_, binary_;
    // The fitted search: the targets' side of the sums, and variable i's
    // value at probe k (probe_points_[i][k]).
    std::optional<FitTargets> fit_;
    std::vector<std::array<double, kProbeCount>> probe_points_;

    FingerprintSet seen_;
    std::vector<Member> pool_;
    std::vector<std::unique_ptr<double[]>> slabs_;  // the cached columns
    std::size_t slab_left_ = 0;                     // columns not yet handed out in the last slab
    std::vector<double*> spare_columns_;            // handed out, no longer read
    std::size_t cached_ = 0;
    std::optional<SearchResult> best_;

    // The current level, in generation order; reused from level to level.
    // Every entry is written before it is read, so the arrays are allocated
    // without being initialised.
    std::size_t capacity_ = 0;
    std::unique_ptr<Candidate[]> cands_;
    std::unique_ptr<std::uint32_t[]> shard_;  // shard of each candidate, kNoShard without fingerprint
    std::unique_ptr<std::uint64_t[]> hash_;   // hash of each candidate's probe bits
    // The fitted search's keys (affine_key's words as doubles): what the
    // seen set holds instead of the probe values.
    std::unique_ptr<std::array<double, kProbeCount>[]> key_;
    // The fingerprinted candidates of each generation unit grouped by shard,
    // in generation order within each group, in the unit's own index range;
    // slices_[u * (shards + 1) + s] is where unit u's group of shard s starts
    // (its last entry: where the unit's groups end).
    std::unique_ptr<SeenEntry[]> entries_;
    std::vector<std::uint32_t> slices_;
    std::unique_ptr<std::uint8_t[]> state_;  // a CandidateState
    std::unique_ptr<double[]> err_;          // the penalised error of a kScored candidate
    std::vector<ScoreOutcome> outcomes_;     // of the scoring reducers
    ValueStash stash_;                       // the level's values, for its new members

    const SearchHooks* hooks_;
    LevelStatus* status_;
    bool pareto_;
    // With a Pareto front: the best result of each complexity so far, by
    // complexity (the same rule as best).
    std::vector<std::optional<SearchResult>> front_;
    // What the levels completed so far left, for a search that is stopped.
    std::optional<SearchResult> done_best_;
    std::vector<std::optional<SearchResult>> done_front_;
    std::size_t candidates_total_ = 0;
    StopReason reason_ = StopReason::Finished;
};

inline constexpr std::uint32_t kNoShard = UINT32_MAX;

}  // namespace vok::discover
