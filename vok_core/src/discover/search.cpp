// The beam search.
//
// How the work is organised (the outcome is that of the plain algorithm:
// build every candidate as a token sequence, fingerprint it with the stack
// evaluator, insert it into the seen set in generation order, score the
// survivors row by row, update best in order, stable-sort, grow the pool):
//
//  * A candidate is described by its operator and its pool operand(s), not by
//    tokens. The value of op(a, b) at any point is op applied to the values of
//    a and b there, with the operator's domain and finiteness tests, so a
//    candidate's probe values and data values come from its operands' values
//    with one operator pass. Tokens are built only for expressions that join
//    the pool or become best, and the formula text only for the result.
//  * Every pool member keeps its five probe values and, within a memory
//    budget, its values on all data rows, plus the two halves of the tension
//    (exp(e(v)) and ln(l(v))) so that Vok costs one subtraction per row.
//    Members beyond the budget are evaluated from their tokens, by blocks.
//  * Combinations of pool members that were already in the pool at the
//    previous level are not built again: they were built then, with the same
//    tokens, so their fingerprint is invalid or already in the seen set and
//    they would be dropped. Only members that joined since are combined.
//  * Each level runs as a few parallel steps with a barrier between them:
//    generation with fingerprints (contiguous pieces of the generation
//    order), insertion (one task per shard of the seen set, each in
//    generation order), scoring (contiguous pieces, each reducing its results
//    to a count, its first minimal error and its best beam_width / 4), and
//    the completion of the new pool members. The sequential steps between
//    them only merge those reductions. No outcome depends on how the work is
//    divided among the workers.
//  * Scoring proceeds by steps of rows, and a candidate whose error, which
//    only grows with more rows, already exceeds the largest of the
//    max(beam_width / 4, 1) smallest errors scored so far at the level (by
//    any worker) is dropped: it could neither become best nor join the pool.
#include "discover/search.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "discover/fingerprint.hpp"
#include "discover/render.hpp"
#include "guards.hpp"
#include "interrupt.hpp"

namespace vok::discover {

std::vector<OpCode> unary_operators(const SearchOptions& options) {
    std::vector<OpCode> ops{OpCode::Neg, OpCode::Recip, OpCode::Exp, OpCode::Ln, OpCode::Sqrt};
    if (options.use_trig) {
        ops.push_back(OpCode::Sin);
        ops.push_back(OpCode::Cos);
    }
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
            for (std::size_t b; (b = k.next.fetch_add(k.size, std::memory_order_relaxed)) < k.n;)
                k.body(k.ctx, b, std::min(b + k.size, k.n));
        },
        &chunks);
}

void update_best(std::optional<SearchResult>& best, std::span<const SearchResult> results) {
    for (const SearchResult& r : results)
        if (!best || best->error > r.error) best = r;
}

namespace {

constexpr std::uint32_t kNoOperand = UINT32_MAX;

// Calls f(begin, end) over pieces of 0..n on the executor.
template <class F>
void for_pieces(Executor executor, std::size_t n, F&& f) {
    if (n == 0) return;
    using Fn = std::remove_reference_t<F>;
    executor(
        n, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Fn*>(ctx))(b, e); },
        const_cast<void*>(static_cast<const void*>(&f)));
}

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

bool commutative(OpCode op) { return op == OpCode::Add || op == OpCode::Mul; }

double penalised(double sum, std::size_t n_targets, std::size_t complexity, double penalty) {
    const double rmse = std::sqrt(sum / static_cast<double>(n_targets));
    return rmse * ((static_cast<double>(complexity) * penalty) + 1.0);
}

// The data of one search as raw columns.
struct Data {
    std::vector<const double*> cols;
    ColumnView view;
    std::span<const double> targets;
    std::size_t scored_rows = 0;  // min(rows, targets)

    Data(Columns columns, std::span<const double> t) : targets(t) {
        if (columns.empty()) throw std::out_of_range("formula search: no column");
        const std::size_t rows = columns[0].size();
        for (const auto& c : columns) {
            if (c.size() < rows) throw std::out_of_range("formula search: column shorter than the first");
            cols.push_back(c.data());
        }
        view = ColumnView{cols.data(), cols.size(), rows};
        scored_rows = std::min(rows, targets.size());
    }
    std::size_t rows() const { return view.rows; }

    // Adds the squared deviations of rows [first, first + n) to sum, in row order.
    void accumulate(const double* values, std::size_t first, std::size_t n, double& sum) const {
        const std::size_t end = std::min(first + n, scored_rows);
        for (std::size_t r = first; r < end; ++r) {
            const double d = values[r - first] - targets[r];
            sum += d * d;
        }
    }
};

// An expression of the pool with what its combinations need. Besides its
// values, a member keeps the two halves of the tension it contributes to:
// exp(e(v)) as a left operand of Vok and ln(l(v)) as a right one, so that
// vok(a, b) = exp(e(a)) - ln(l(b)) is one subtraction per row, with the same
// bits as the tension computed in one go.
struct Member {
    Expr expr;
    std::size_t complexity = 0;  // of expr
    std::array<double, kProbeCount> probe{}, probe_t{}, probe_x{};
    const double* column = nullptr;  // values on every row, or null: evaluate the tokens
    bool own_column = false;         // column is one of the search's cache, not the caller's
    const double* col_t = nullptr;   // exp(e(v)) on every row, or null
    const double* col_x = nullptr;   // ln(l(v)) on every row, or null
};

// What became of a generated candidate.
enum : std::uint8_t { kNoFingerprint = 0, kDuplicate = 1, kAccepted = 2 };
constexpr std::uint32_t kNoShard = UINT32_MAX;

// The error slot of a candidate that did not score: a signaling NaN, which
// no arithmetic produces (an error computed as NaN is always a quiet NaN).
constexpr std::uint64_t kUnscoredBits = 0x7FF0DEADBEEF0001ULL;
const double kUnscored = std::bit_cast<double>(kUnscoredBits);

// The error slot of an accepted candidate whose scoring stopped early: its
// error could only rank it after max(beam_width / 4, 1) other results, so it
// can neither become best nor join the pool.
constexpr std::uint64_t kAbandonedBits = 0x7FF0DEADBEEF0002ULL;
// Marks a lane still being scored (never stored).
constexpr std::uint64_t kScored = 0;
// No cutoff yet: a NaN, which no error compares above.
const double kNoCutoff = std::numeric_limits<double>::quiet_NaN();

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

// A candidate: op(a) or op(a, b) over pool members, with its probe values.
// Trivial, so that a level's array is allocated without being initialised;
// one cache line each.
struct alignas(64) Candidate {
    std::uint32_t a, b;
    OpCode op;
    std::array<double, kProbeCount> probe;
};

// Candidates scored together: their sums are independent chains, so the
// additions of several candidates overlap while each keeps its row order.
constexpr std::size_t kLanes = 8;

// Rows per step of scoring: after each step a candidate that can no longer
// matter stops (see score_group).
constexpr std::size_t kScoreRows = 64;
static_assert(kScoreRows <= kBlockRows);

// Per-worker scratch: one evaluator per operand, and one block of values per lane.
struct Scratch {
    BlockEvaluator left, right;
    std::array<std::array<double, kScoreRows>, kLanes> out;
};

void set_tension_halves(Member& m) {
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        m.probe_t[k] = vok::frame_time(m.probe[k]);
        m.probe_x[k] = vok::frame_space(m.probe[k]);
    }
}

class Search {
public:
    Search(Columns columns, std::span<const double> targets, std::size_t n_vars, const SearchOptions& options,
           const SearchInternals& internals, const SearchHooks* hooks = nullptr)
        : data_(columns, targets),
          n_vars_(n_vars),
          opt_(options),
          exec_(internals.executor),
          trace_(internals.trace),
          budget_(internals.cache_budget),
          inline_work_(internals.inline_work),
          memory_limit_(internals.memory_limit),
          unary_(unary_operators(options)),
          binary_(binary_operators(options)),
          hooks_(hooks),
          pareto_(hooks && hooks->pareto) {
        if (n_vars_ > SIZE_MAX - 2) throw std::length_error("formula search: too many variables");
    }

    std::optional<SearchResult> run();
    SearchOutcome run_controlled();

private:
    // Runs f over pieces of 0..n on the executor, or in one piece on this
    // thread when the estimated work is too small to share.
    template <class F>
    void parallel(std::size_t n, std::size_t work, F&& f) {
        if (n == 0) return;
        if (work < inline_work_) f(std::size_t{0}, n);
        else for_pieces(exec_, n, f);
    }

    // Values of member m on rows [first, first + n), or null when a row fails.
    const double* member_block(const Member& m, std::size_t first, std::size_t n, BlockEvaluator& ev) const {
        if (m.column) return m.column + first;
        return ev.eval(m.expr.tokens, data_.view, {}, first, n);
    }

    // The values of candidate c on rows [first, first + n) into out.
    bool candidate_block(const Candidate& c, std::size_t first, std::size_t n, Scratch& s, double* out) const {
        const Member& a = pool_[c.a];
        if (c.op == OpCode::Vok) {
            const Member& b = pool_[c.b];
            if (a.col_t && b.col_x) return apply_op_column(OpCode::Sub, a.col_t + first, b.col_x + first, out, n);
        }
        const double* va = member_block(a, first, n, s.left);
        if (!va) return false;
        const double* vb = nullptr;
        if (!is_unary(c.op) && !(vb = member_block(pool_[c.b], first, n, s.right))) return false;
        return apply_op_column(c.op, va, vb, out, n);
    }

    std::size_t complexity(const Candidate& c) const {
        return pool_[c.a].complexity + (is_unary(c.op) ? 0 : pool_[c.b].complexity) + 1;
    }

    Expr build(const Candidate& c) const {
        return is_unary(c.op) ? Expr::unary(pool_[c.a].expr, c.op)
                              : Expr::binary(pool_[c.a].expr, pool_[c.b].expr, c.op);
    }

    // A column of the cache when the budget allows, else null.
    double* cache_column() {
        if (!spare_columns_.empty()) {
            double* c = spare_columns_.back();
            spare_columns_.pop_back();
            return c;
        }
        const std::size_t rows = data_.rows();
        if (rows == 0 || rows > budget_ - cached_) return nullptr;
        cached_ += rows;
        if (slab_left_ == 0) {
            // Columns come in slabs of up to 64 (fewer allocations to make
            // and to free), never beyond the budget.
            const std::size_t count = std::min<std::size_t>(64, (budget_ - cached_) / rows + 1);
            slabs_.push_back(std::make_unique_for_overwrite<double[]>(count * rows));
            slab_left_ = count;
        }
        return slabs_.back().get() + (--slab_left_) * rows;
    }

    // Completes pool members [from, size): value(i, scratch, cached) finishes
    // member i (its expression, and its value column when cached; a
    // variable's own column is left as it is) and says whether the column is
    // filled; then the member's probe tension halves are computed, and their
    // columns too when cached. Members are cached in pool order while the
    // budget allows.
    template <class Values>
    void cache_members(std::size_t from, Values&& value);

    // Throws MemoryLimit when the working state with a level of n
    // candidates could pass the memory limit: what is held now (a seen-set
    // entry takes a 48-byte slot in a table at least a quarter full; the
    // pool; the cached columns), the level's arrays, a seen-set entry for
    // each candidate should all be new, and the members that may join.
    void check_memory(std::size_t n) const {
        constexpr double kPerEntry = 192.0;
        constexpr double kPerCandidate = sizeof(Candidate) + sizeof(std::uint32_t) + sizeof(std::uint64_t) +
                                         sizeof(std::uint8_t) + sizeof(double) + 2 * sizeof(std::uint32_t);
        const double arrays = static_cast<double>(n > capacity_ ? std::max(n, 2 * capacity_) : capacity_);
        const double joiners = static_cast<double>(std::min(opt_.beam_width / 4, n));
        const double per_member = sizeof(Member) + 16.0 + sizeof(Token) * (2.0 * static_cast<double>(max_cx_) + 1.0);
        const double bytes = kPerEntry * static_cast<double>(seen_count_ + n) +
                             static_cast<double>(pool_tokens_ * sizeof(Token) + pool_.size() * sizeof(Member)) +
                             8.0 * static_cast<double>(cached_) + kPerCandidate * arrays + per_member * joiners;
        if (bytes > static_cast<double>(memory_limit_)) throw MemoryLimit();
    }

    // Whether err_[k] holds an error (not one of the two marks).
    bool scored(std::size_t k) const {
        const std::uint64_t b = std::bit_cast<std::uint64_t>(err_[k]);
        return b != kUnscoredBits && b != kAbandonedBits;
    }
    bool ranks_before(std::uint32_t x, std::uint32_t y) const;
    // Scores candidates ks[0..lanes) into err_: their error, kUnscored when
    // a row fails, or kAbandoned once their error can only come out above
    // cutoff.
    void score_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff);
    void add_leaves();
    std::size_t generate(std::size_t fresh);
    std::pair<std::size_t, std::size_t> insert_level(std::size_t n);
    void score_level(std::size_t n);
    bool take_best(std::size_t n);
    void take_front();
    void grow_pool();
    bool complete_level(std::size_t level, std::size_t candidates);
    std::optional<SearchResult> finish();
    SearchResult result_of(std::uint32_t k) const {
        Expr e = build(cands_[k]);
        const std::size_t c = e.complexity();
        return SearchResult{to_string(e), err_[k], c, {}, std::move(e)};
    }

    Data data_;
    std::size_t n_vars_;
    const SearchOptions& opt_;
    Executor exec_;
    SearchTrace* trace_;
    std::size_t budget_;
    std::size_t inline_work_;
    std::size_t memory_limit_;
    std::size_t seen_count_ = 0;    // fingerprints in the seen set
    std::size_t pool_tokens_ = 0;   // tokens of all pool members
    std::size_t max_cx_ = 1;        // the largest complexity in the pool
    std::vector<OpCode> unary_, binary_;

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
    std::unique_ptr<std::uint8_t[]> state_;   // kNoFingerprint, kDuplicate or kAccepted
    std::unique_ptr<double[]> err_;           // the penalised error, kUnscored or kAbandoned
    std::vector<ScoreOutcome> outcomes_;  // of the scoring reducers

    const SearchHooks* hooks_;
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

template <class Values>
void Search::cache_members(std::size_t from, Values&& value) {
    std::vector<unsigned char> fill(pool_.size() - from, 0);
    for (std::size_t i = from; i < pool_.size(); ++i) {
        Member& m = pool_[i];
        if (m.complexity == 1) {
            const Token& t0 = m.expr.tokens[0];
            if (t0.kind == TokenKind::Var && t0.index >= data_.view.count)
                continue;  // a variable without a column: it and its combinations fail on every row
        }
        if (!m.column) {
            if (!(m.column = cache_column())) break;  // budget spent: evaluate from tokens
            m.own_column = true;
        }
        fill[i - from] = 1;
        // Only a member short enough to pair with a leaf is ever an operand of Vok.
        if (opt_.use_vok && m.complexity + 1 < opt_.max_complexity && (m.col_t = cache_column()))
            m.col_x = cache_column();
        if (!m.col_x) m.col_t = nullptr;
    }
    const std::size_t n = pool_.size() - from;
    parallel(n, n * (data_.rows() + 1) * 8, [&](std::size_t begin, std::size_t end) {
        Scratch s;
        for (std::size_t f = begin; f < end; ++f) {
            const std::size_t i = from + f;
            Member& m = pool_[i];
            const bool filled = value(i, s, fill[f] != 0);
            set_tension_halves(m);
            if (!filled || !m.col_t) continue;
            auto* t = const_cast<double*>(m.col_t);
            auto* x = const_cast<double*>(m.col_x);
            for (std::size_t r = 0; r < data_.rows(); ++r) t[r] = vok::frame_time(m.column[r]);
            for (std::size_t r = 0; r < data_.rows(); ++r) x[r] = vok::frame_space(m.column[r]);
        }
    });
}

void Search::add_leaves() {
    // Room for the pool's usual growth (beam_width / 4 per level), so that
    // members are seldom moved.
    const std::size_t levels = std::min<std::size_t>(opt_.max_complexity, 64);
    const std::size_t growth = std::min<std::size_t>(opt_.beam_width / 4, 1 << 16) * levels;
    pool_.reserve(std::min<std::size_t>(n_vars_ + 2 + growth, 1 << 16));
    std::vector<Expr> leaves{Expr::leaf(Token::constant(0.0)), Expr::leaf(Token::constant(1.0))};
    for (std::size_t i = 0; i < n_vars_; ++i) leaves.push_back(Expr::leaf(Token::var(i)));
    for (Expr& leaf : leaves) {
        if (trace_) ++trace_->generated;
        // A leaf's value at a probe is the value it pushes: its constant, or
        // variable i's (i + 1) * c. Computed directly rather than through
        // probe_values, which builds all n_vars values for every leaf.
        const Token& t = leaf.tokens[0];
        std::array<double, kProbeCount> probe;
        bool finite = true;
        for (std::size_t k = 0; k < kProbeCount; ++k) {
            probe[k] = t.kind == TokenKind::Var ? static_cast<double>(t.index + 1) * kProbes[k] : t.value;
            finite = finite && is_finite_value(probe[k]);
        }
        if (!finite) continue;
        if (trace_) ++trace_->fingerprinted;
        ProbeBits bits;
        for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(probe[k]);
        if (seen_.insert(bits, hash_probe_bits(bits))) continue;
        if (trace_) ++trace_->accepted;
        ++seen_count_;
        ++pool_tokens_;
        pool_.push_back(Member{std::move(leaf), 1, probe, {}, {}});
    }
    if (trace_ && trace_->record_candidates) {
        trace_->levels.emplace_back();
        for (const Member& m : pool_) trace_->levels.back().push_back(m.expr);
    }
    // A variable reads its column in place; a constant gets a cached column.
    for (Member& m : pool_) {
        const Token& t = m.expr.tokens[0];
        if (t.kind == TokenKind::Var && t.index < data_.view.count) m.column = data_.view.cols[t.index];
    }
    cache_members(0, [&](std::size_t i, Scratch&, bool cached) {
        const Token& t = pool_[i].expr.tokens[0];
        if (cached && t.kind == TokenKind::Const)
            std::fill_n(const_cast<double*>(pool_[i].column), data_.rows(), t.value);
        return cached;
    });
}

// Builds the level's candidates into cands_ in generation order: the unary
// phase over the new members, then the binary phase row i for each new
// member i. Returns their number.
std::size_t Search::generate(std::size_t fresh) {
    const std::size_t n_pool = pool_.size(), n_new = n_pool - fresh, max_c = opt_.max_complexity;
    std::size_t per_pair = 0;  // candidates per pair (i, j): each operator, and the swapped non-commutative ones
    for (OpCode op : binary_) per_pair += commutative(op) ? 1 : 2;
    std::vector<std::size_t> cx(n_pool);
    for (std::size_t i = 0; i < n_pool; ++i) cx[i] = pool_[i].complexity;

    // Where each unit's candidates start. Row i pairs with the members j <= i
    // with cx[j] < max_c - cx[i]: a sweep over the pool keeps how many members
    // of each complexity it has passed.
    const std::size_t units = 2 * n_new;
    std::vector<std::size_t> offset(units + 1, 0);
    for (std::size_t u = 0; u < n_new; ++u) offset[u + 1] = unary_.size();
    {
        const std::size_t top = std::min(max_c, *std::max_element(cx.begin(), cx.end()) + 1);
        std::vector<std::size_t> seen_with(top + 1, 0);  // members so far by complexity (capped at top)
        for (std::size_t i = 0; i < n_pool; ++i) {
            ++seen_with[std::min(cx[i], top)];
            if (i < fresh || cx[i] + 1 >= max_c) continue;
            std::size_t pairs = 0;
            for (std::size_t c = 1; c + cx[i] < max_c && c < top; ++c) pairs += seen_with[c];
            offset[n_new + (i - fresh) + 1] = pairs * per_pair;
        }
    }
    for (std::size_t u = 0; u < units; ++u) offset[u + 1] += offset[u];
    const std::size_t n = offset[units];
    check_memory(n);
    if (n > capacity_) {
        // Levels tend to grow: leave room for the next one.
        capacity_ = std::max(n, 2 * capacity_);
        cands_ = std::make_unique_for_overwrite<Candidate[]>(capacity_);
        shard_ = std::make_unique_for_overwrite<std::uint32_t[]>(capacity_);
        hash_ = std::make_unique_for_overwrite<std::uint64_t[]>(capacity_);
        state_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
        err_ = std::make_unique_for_overwrite<double[]>(capacity_);
    }

    Candidate* out = cands_.get();
    std::size_t pair_tests = 0;  // the work of the binary rows: one complexity test per pair
    for (std::size_t i = fresh; i < n_pool; ++i) pair_tests += i + 1;
    auto emit = [&](std::size_t& k, OpCode op, std::uint32_t a, std::uint32_t b) {
        Candidate& c = out[k];
        c.a = a;
        c.b = b;
        c.op = op;
        bool valid;
        if (op == OpCode::Vok) {
            valid = apply_op_column(OpCode::Sub, pool_[a].probe_t.data(), pool_[b].probe_x.data(), c.probe.data(),
                                    kProbeCount);
        } else {
            const double* pb = is_unary(op) ? nullptr : pool_[b].probe.data();
            valid = apply_op_column(op, pool_[a].probe.data(), pb, c.probe.data(), kProbeCount);
        }
        if (valid) {
            ProbeBits bits;
            for (std::size_t p = 0; p < kProbeCount; ++p) bits[p] = std::bit_cast<std::uint64_t>(c.probe[p]);
            hash_[k] = hash_probe_bits(bits);
            shard_[k] = static_cast<std::uint32_t>(seen_.shard_of(hash_[k]));
        } else {
            shard_[k] = kNoShard;
        }
        state_[k] = kNoFingerprint;
        ++k;
    };
    parallel(units, pair_tests + 16 * n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t u = begin; u < end; ++u) {
            std::size_t k = offset[u];
            if (u < n_new) {
                const auto a = static_cast<std::uint32_t>(fresh + u);
                for (OpCode op : unary_) emit(k, op, a, kNoOperand);
                continue;
            }
            const std::size_t i = fresh + (u - n_new);
            if (offset[u + 1] == k) continue;
            const auto ii = static_cast<std::uint32_t>(i);
            for (std::size_t j = 0; j <= i; ++j) {
                if (cx[i] + cx[j] >= max_c) continue;
                const auto jj = static_cast<std::uint32_t>(j);
                for (OpCode op : binary_) {
                    emit(k, op, ii, jj);
                    if (!commutative(op)) emit(k, op, jj, ii);
                }
            }
        }
    });
    return n;
}

// Inserts the fingerprints into the seen set in generation order. Equal
// fingerprints share a shard, and each shard takes its candidates in
// generation order, so the shards are filled in parallel with the outcome of
// one insert after the other. Returns the numbers of fingerprinted and of
// accepted candidates.
std::pair<std::size_t, std::size_t> Search::insert_level(std::size_t n) {
    const Candidate* cands = cands_.get();
    const std::uint32_t* shard_of = shard_.get();
    const std::uint64_t* hash_of = hash_.get();
    std::uint8_t* state = state_.get();
    std::vector<std::size_t> accepted(seen_.shards(), 0), fingerprinted(seen_.shards(), 0);
    parallel(seen_.shards(), 16 * n, [&](std::size_t begin, std::size_t end) {
        // Two-stage prefetch: a candidate's probe values 2 * kAhead inserts
        // ahead, its table slot kAhead ahead.
        constexpr std::size_t kAhead = 8;
        struct Entry {
            std::uint32_t k;
            std::uint64_t hash;
        };
        std::vector<Entry> mine;
        for (std::size_t sh = begin; sh < end; ++sh) {
            mine.clear();
            for (std::size_t k = 0; k < n; ++k)
                if (shard_of[k] == sh) mine.push_back({static_cast<std::uint32_t>(k), hash_of[k]});
            auto shard = seen_.lock_shard(sh);
            shard.reserve(mine.size());
            std::size_t fresh = 0;
            for (std::size_t q = 0; q < mine.size(); ++q) {
                if (q + 2 * kAhead < mine.size()) __builtin_prefetch(&cands[mine[q + 2 * kAhead].k].probe);
                if (q + kAhead < mine.size()) shard.prefetch(mine[q + kAhead].hash);
                const Candidate& c = cands[mine[q].k];
                ProbeBits bits;
                for (std::size_t p = 0; p < kProbeCount; ++p) bits[p] = std::bit_cast<std::uint64_t>(c.probe[p]);
                const bool dup = shard.insert(bits, mine[q].hash);
                state[mine[q].k] = dup ? kDuplicate : kAccepted;
                fresh += !dup;
            }
            accepted[sh] = fresh;
            fingerprinted[sh] = mine.size();
        }
    });
    std::pair<std::size_t, std::size_t> total{0, 0};
    for (std::size_t sh = 0; sh < seen_.shards(); ++sh) {
        total.first += fingerprinted[sh];
        total.second += accepted[sh];
    }
    return total;
}

void Search::score_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff) {
    std::array<double, kLanes> sum, factor;
    std::array<std::uint64_t, kLanes> fate;  // kScored until the lane fails or is abandoned
    sum.fill(-0.0);
    fate.fill(kScored);
    const double n_targets = static_cast<double>(data_.targets.size());
    for (std::size_t l = 0; l < lanes; ++l)
        factor[l] = (static_cast<double>(complexity(cands_[ks[l]])) * opt_.complexity_penalty) + 1.0;
    const double* t = data_.targets.data();
    for (std::size_t first = 0; first < data_.rows(); first += kScoreRows) {
        const std::size_t n = std::min(kScoreRows, data_.rows() - first);
        bool any = false;
        for (std::size_t l = 0; l < lanes; ++l) {
            if (fate[l] == kScored && !candidate_block(cands_[ks[l]], first, n, s, s.out[l].data()))
                fate[l] = kUnscoredBits;
            any = any || fate[l] == kScored;
        }
        if (!any) break;
        // Lanes that are out add garbage to their own sums only; those are dropped.
        const std::size_t end = std::min(first + n, data_.scored_rows);
        if (lanes == kLanes) {
            for (std::size_t r = first; r < end; ++r) {
                const double y = t[r];
                const std::size_t i = r - first;
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double d = s.out[l][i] - y;
                    sum[l] += d * d;
                }
            }
        } else {
            for (std::size_t l = 0; l < lanes; ++l) data_.accumulate(s.out[l].data(), first, n, sum[l]);
        }
        // The sum only grows with more rows, and with a positive factor so
        // does the error computed from it: a lane already past the cutoff
        // can only rank after the results that set it.
        if (first + n >= data_.rows()) break;
        for (std::size_t l = 0; l < lanes; ++l)
            if (fate[l] == kScored && factor[l] > 0.0 && factor[l] <= DBL_MAX &&
                std::sqrt(sum[l] / n_targets) * factor[l] > cutoff[l])
                fate[l] = kAbandonedBits;
    }
    for (std::size_t l = 0; l < lanes; ++l)
        err_[ks[l]] = fate[l] == kScored ? std::sqrt(sum[l] / n_targets) * factor[l] : std::bit_cast<double>(fate[l]);
}

// The order of the level's sort: ascending error, equal errors in candidate
// order (a stable sort), NaN errors after all others in candidate order.
// A strict total order, so the first beam_width / 4 can be selected piece by
// piece and merged.
bool Search::ranks_before(std::uint32_t x, std::uint32_t y) const {
    const double ex = err_[x], ey = err_[y];
    const bool nx = std::isnan(ex), ny = std::isnan(ey);
    if (nx != ny) return ny;
    if (!nx && ex != ey) return ex < ey;
    return x < y;
}

// Scores the accepted candidates in parallel and reduces their results to
// what the sequential steps need: how many scored, and for each reducer (a
// slot that pieces take in turn, so that its results accumulate over many
// pieces) the first minimal non-NaN error and the best-ranked
// beam_width / 4 candidates it saw. Every candidate of the level's first
// beam_width / 4 is among the best of whichever reducer saw it, and the
// level's first minimal error is the smallest (error, index) of the
// reducers' minima, so the merge does not depend on who saw what.
void Search::score_level(std::size_t n) {
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
    // of its complexity known to its reducer (from earlier levels or scored
    // by it), which its final error cannot beat once past it. Such an error
    // exists only without NaN targets, so every candidate of that complexity
    // then has a non-NaN error and the first one need not be known.
    const std::size_t n_cx = pareto_ ? 2 * max_cx_ + 2 : 0;  // above any candidate's complexity
    std::vector<double> known_cut(n_cx, std::numeric_limits<double>::infinity());
    for (std::size_t c = 0; c < std::min(n_cx, front_.size()); ++c)
        if (front_[c]) known_cut[c] = std::isnan(front_[c]->error) ? -std::numeric_limits<double>::infinity() : front_[c]->error;
    struct Reducer {
        Scratch scratch;
        ScoreOutcome out;  // out.top: a heap whose front is the worst kept result
        std::vector<double> cut_of;  // with a Pareto front: by complexity, the cutoff it knows
    };
    std::vector<std::unique_ptr<Reducer>> reducers;
    std::vector<Reducer*> idle;
    std::mutex reducers_lock;
    parallel(n, n * (data_.rows() + 8), [&](std::size_t begin, std::size_t end) {
        Reducer* r;
        {
            std::lock_guard guard(reducers_lock);
            if (idle.empty()) {
                reducers.push_back(std::make_unique<Reducer>());
                Reducer& fresh = *reducers.back();
                fresh.cut_of = known_cut;
                fresh.out.first_of.assign(n_cx, kNoOperand);
                fresh.out.min_of.assign(n_cx, kNoOperand);
                idle.push_back(&fresh);
            }
            r = idle.back();
            idle.pop_back();
        }
        ScoreOutcome& out = r->out;
        std::vector<std::uint32_t>& kept = out.top;
        std::array<std::uint32_t, kLanes> group;
        std::size_t lanes = 0;
        auto flush = [&] {
            const double cutoff = shared_cutoff.load(std::memory_order_relaxed);
            std::array<double, kLanes> cut;
            for (std::size_t l = 0; l < lanes; ++l)
                cut[l] = pareto_ ? std::max(cutoff, r->cut_of[complexity(cands_[group[l]])]) : cutoff;
            score_group(group.data(), lanes, r->scratch, cut.data());
            std::array<double, kLanes> below;  // errors that may be among the cap smallest
            std::size_t n_below = 0;
            for (std::size_t l = 0; l < lanes; ++l) {
                const std::uint32_t k = group[l];
                if (!scored(k)) {
                    out.abandoned += std::bit_cast<std::uint64_t>(err_[k]) == kAbandonedBits;
                    continue;
                }
                ++out.scored;
                if (pareto_) {
                    const std::size_t c = complexity(cands_[k]);
                    if (out.first_of[c] == kNoOperand || k < out.first_of[c]) out.first_of[c] = k;
                    if (!std::isnan(err_[k])) {
                        if (out.min_of[c] == kNoOperand || ranks_before(k, out.min_of[c])) out.min_of[c] = k;
                        r->cut_of[c] = std::min(r->cut_of[c], err_[k]);
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
            lanes = 0;
        };
        for (std::size_t k = begin; k < end; ++k) {
            if (state_[k] != kAccepted) {
                err_[k] = kUnscored;
                continue;
            }
            group[lanes++] = static_cast<std::uint32_t>(k);
            if (lanes == kLanes) flush();
        }
        if (lanes) flush();
        std::lock_guard guard(reducers_lock);
        idle.push_back(r);
    });
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

// update_best over the level's results in candidate order; true on early stop.
bool Search::take_best(std::size_t n) {
    if (trace_)
        for (const ScoreOutcome& o : outcomes_) {
            trace_->scored += o.scored;
            trace_->abandoned += o.abandoned;
        }
    if (pareto_) take_front();
    auto become_best = [&](std::uint32_t k) { best_ = result_of(k); };
    if (best_ && !std::isnan(best_->error)) {
        // Applied in candidate order, the strict rule ends on the first
        // candidate with the level's minimal error, if that beats best: the
        // smallest (error, index) of the reducers' minima.
        std::uint32_t first = kNoOperand;
        for (const ScoreOutcome& o : outcomes_)
            if (o.first_min != kNoOperand && (first == kNoOperand || ranks_before(o.first_min, first)))
                first = o.first_min;
        if (first != kNoOperand && best_->error > err_[first]) become_best(first);
    } else if (!best_) {
        // Not reached after the leaves (the constants always score); kept
        // for completeness: the plain sequential rule.
        for (std::size_t k = 0; k < n; ++k)
            if (scored(k) && (!best_ || best_->error > err_[k])) become_best(static_cast<std::uint32_t>(k));
    }  // a NaN best is never replaced
    return best_ && opt_.precision_goal >= best_->error;
}

// The level's results into the Pareto front as update_best would take them
// in candidate order, complexity by complexity: the first result of a new
// complexity enters, and the first of the minimal non-NaN errors replaces a
// non-NaN entry it beats (a NaN entry stays).
void Search::take_front() {
    const std::size_t n_cx = outcomes_.empty() ? 0 : outcomes_[0].first_of.size();
    if (front_.size() < n_cx) front_.resize(n_cx);
    for (std::size_t c = 0; c < n_cx; ++c) {
        std::uint32_t first = kNoOperand, least = kNoOperand;
        for (const ScoreOutcome& o : outcomes_) {
            first = std::min(first, o.first_of[c]);
            if (o.min_of[c] != kNoOperand && (least == kNoOperand || ranks_before(o.min_of[c], least)))
                least = o.min_of[c];
        }
        if (first == kNoOperand) continue;
        std::optional<SearchResult>& entry = front_[c];
        if (!entry) entry = result_of(std::isnan(err_[first]) ? first : least);
        else if (least != kNoOperand && entry->error > err_[least]) entry = result_of(least);
    }
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

void Search::grow_pool() {
    // Merge the pieces' selections: the first beam_width / 4 of the level in
    // the order of its stable sort.
    std::vector<std::uint32_t> order;
    for (const ScoreOutcome& o : outcomes_) order.insert(order.end(), o.top.begin(), o.top.end());
    const std::size_t keep = std::min(opt_.beam_width / 4, order.size());
    auto cut = [&](std::uint32_t x, std::uint32_t y) { return ranks_before(x, y); };
    if (keep < order.size()) {
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(keep), order.end(), cut);
        order.resize(keep);
    }
    std::sort(order.begin(), order.end(), cut);

    // The new members get their expressions built on the workers.
    const std::size_t first_new = pool_.size();
    pool_.resize(first_new + order.size());
    for (std::size_t f = 0; f < order.size(); ++f) {
        pool_[first_new + f].probe = cands_[order[f]].probe;
        pool_[first_new + f].complexity = complexity(cands_[order[f]]);
        pool_tokens_ += pool_[first_new + f].complexity;
        max_cx_ = std::max(max_cx_, pool_[first_new + f].complexity);
    }
    cache_members(first_new, [&](std::size_t i, Scratch& s, bool cached) {
        const Candidate& c = cands_[order[i - first_new]];
        pool_[i].expr = build(c);
        if (!cached) return false;
        // Scored on every row already, so these evaluations cannot fail.
        auto* col = const_cast<double*>(pool_[i].column);
        bool good = true;
        for (std::size_t first = 0; first < data_.rows(); first += kBlockRows)
            good = good && candidate_block(c, first, std::min(kBlockRows, data_.rows() - first), s, col + first);
        return good;
    });
}

std::optional<SearchResult> Search::finish() {
    if (hooks_) return std::nullopt;  // run_controlled takes best_ itself
    return std::move(best_);
}

std::optional<SearchResult> Search::run() {
    add_leaves();
    {
        // Score the leaves as members: their values are their columns.
        std::vector<unsigned char> ok(pool_.size(), 0);
        std::vector<double> err(pool_.size(), 0.0);
        parallel(pool_.size(), pool_.size() * data_.rows(), [&](std::size_t begin, std::size_t end) {
            Scratch s;
            for (std::size_t k = begin; k < end; ++k) {
                double sum = -0.0;
                bool good = true;
                for (std::size_t first = 0; good && first < data_.rows(); first += kBlockRows) {
                    const std::size_t n = std::min(kBlockRows, data_.rows() - first);
                    const double* v = member_block(pool_[k], first, n, s.left);
                    if (!v) good = false;
                    else data_.accumulate(v, first, n, sum);
                }
                if (good) {
                    ok[k] = 1;
                    err[k] = penalised(sum, data_.targets.size(), 1, opt_.complexity_penalty);
                }
            }
        });
        std::size_t n_scored = 0;
        for (std::size_t k = 0; k < pool_.size(); ++k) {
            if (!ok[k]) continue;
            ++n_scored;
            if (!best_ || best_->error > err[k])
                best_ = SearchResult{to_string(pool_[k].expr), err[k], 1, {}, pool_[k].expr};
        }
        if (trace_) trace_->scored += n_scored;
        if (pareto_) front_ = {std::nullopt, best_};  // every leaf has complexity 1
        const bool go_on = complete_level(1, pool_.size());
        if (best_ && opt_.precision_goal >= best_->error) {
            reason_ = StopReason::PrecisionGoal;
            return finish();
        }
        if (opt_.max_complexity < 2) return finish();
        if (!go_on) {
            reason_ = StopReason::Callback;
            return finish();
        }
    }

    std::size_t fresh = 0;  // members from here on have not been combined yet
    for (std::size_t level = 2;; ++level) {
        if (opt_.checkpoint) opt_.checkpoint();
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
        score_level(n);
        if (trace_) watch.lap(trace_->seconds_score);
        if (take_best(n)) {
            complete_level(level, accepted);
            reason_ = StopReason::PrecisionGoal;
            return finish();
        }
        if (level >= opt_.max_complexity) {  // nothing reads the pool after the last level
            complete_level(level, accepted);
            break;
        }
        grow_pool();
        // Members combined for the first time at this level that are too
        // long to pair with anything will never be read again (their unary
        // candidates are built): their columns serve later members.
        for (std::size_t i = combined_from; i < fresh; ++i) {
            Member& m = pool_[i];
            if (m.own_column && m.complexity + 1 >= opt_.max_complexity) {
                spare_columns_.push_back(const_cast<double*>(m.column));
                m.column = nullptr;
                m.own_column = false;
            }
        }
        if (trace_) watch.lap(trace_->seconds_select);
        if (!complete_level(level, accepted)) {
            reason_ = StopReason::Callback;
            return finish();
        }
    }
    return finish();
}

}  // namespace

std::optional<SearchResult> search_with(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                        const SearchOptions& options, const SearchInternals& internals) {
    Search s(columns, targets, n_vars, options, internals);
    return s.run();
}

SearchOutcome search_controlled(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                const SearchOptions& options, const SearchHooks& hooks,
                                const SearchInternals& internals) {
    Search s(columns, targets, n_vars, options, internals, &hooks);
    return s.run_controlled();
}

std::optional<SearchResult> search(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                   const SearchOptions& options) {
    return search_with(columns, targets, n_vars, options, SearchInternals{});
}

std::vector<SearchResult> score_level(std::span<const Expr> candidates, Columns columns,
                                      std::span<const double> targets, const SearchOptions& options) {
    const Data data(columns, targets);
    return vok::ordered_filter_map<SearchResult>(candidates.size(), [&](std::size_t k) -> std::optional<SearchResult> {
        const Expr& e = candidates[k];
        BlockEvaluator ev;
        double sum = -0.0;
        for (std::size_t first = 0; first < data.rows(); first += kBlockRows) {
            const std::size_t n = std::min(kBlockRows, data.rows() - first);
            const double* v = ev.eval(e.tokens, data.view, {}, first, n);
            if (!v) return std::nullopt;
            data.accumulate(v, first, n, sum);
        }
        const double error = penalised(sum, data.targets.size(), e.complexity(), options.complexity_penalty);
        return SearchResult{to_string(e), error, e.complexity(), {}, e};
    });
}

}  // namespace vok::discover
