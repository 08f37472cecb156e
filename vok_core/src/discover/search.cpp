// The beam search.
//
// How the work is organised (the outcome is that of the plain algorithm:
// build every candidate as a token sequence, fingerprint it with the stack
// evaluator, insert it into the seen set, score the survivors row by row):
//
//  * A candidate is described by its operator and its pool operand(s), not by
//    tokens. The value of op(a, b) at any point is op applied to the values of
//    a and b there, with the operator's domain and finiteness tests, so a
//    candidate's probe values and data values come from its operands' cached
//    values with one operator pass. Tokens are built only for expressions that
//    join the pool or become best, and the formula text only for the result.
//  * Every pool member keeps its five probe values and, within a memory
//    budget, its values on all data rows. Members beyond the budget are
//    evaluated from their tokens, block by block.
//  * Combinations of pool members that were already in the pool at the
//    previous level are not built again: they were built then, with the same
//    tokens, so their fingerprint is invalid or already in the seen set and
//    they would be dropped. Only members that joined since are combined.
//  * Fingerprints are computed in parallel over contiguous pieces of the
//    generation order and inserted into the seen set in that order; scoring
//    is an ordered parallel map over the accepted candidates. Neither depends
//    on how the work is divided.
#include "discover/search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "discover/fingerprint.hpp"
#include "discover/render.hpp"

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

void pool_executor(std::size_t n, detail::RangeFn body, void* ctx) {
    vok::pool_size();
    if (n < 2) {
        if (n == 1) body(ctx, 0, 1);
        return;
    }
    detail::run_range(n, body, ctx);
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

// An expression of the pool with what its combinations need.
struct Member {
    Expr expr;
    std::array<double, kProbeCount> probe{};
    const double* column = nullptr;  // values on every row, or null: evaluate the tokens
};

// A candidate: op(a) or op(a, b) over pool members, with its probe values.
struct Candidate {
    std::uint32_t a = 0, b = kNoOperand;
    OpCode op = OpCode::Neg;
    std::array<double, kProbeCount> probe{};
    std::uint64_t hash = 0;
};

// Per-worker scratch: one evaluator per operand, and one block of results.
struct Scratch {
    BlockEvaluator left, right;
    std::array<double, kBlockRows> out;
};

class Search {
public:
    Search(Columns columns, std::span<const double> targets, std::size_t n_vars, const SearchOptions& options,
           const SearchInternals& internals)
        : data_(columns, targets),
          n_vars_(n_vars),
          opt_(options),
          exec_(internals.executor),
          trace_(internals.trace),
          budget_(internals.cache_budget),
          unary_(unary_operators(options)),
          binary_(binary_operators(options)) {}

    std::optional<SearchResult> run();

private:
    // Values of member m on rows [first, first + n), or null when a row fails.
    const double* member_block(const Member& m, std::size_t first, std::size_t n, BlockEvaluator& ev) const {
        if (m.column) return m.column + first;
        return ev.eval(m.expr.tokens, data_.view, {}, first, n);
    }

    // The values of candidate c on rows [first, first + n) into out.
    bool candidate_block(const Candidate& c, std::size_t first, std::size_t n, Scratch& s, double* out) const {
        const double* a = member_block(pool_[c.a], first, n, s.left);
        if (!a) return false;
        const double* b = nullptr;
        if (!is_unary(c.op) && !(b = member_block(pool_[c.b], first, n, s.right))) return false;
        return apply_op_column(c.op, a, b, out, n);
    }

    std::size_t complexity(const Candidate& c) const {
        return pool_[c.a].expr.complexity() + (is_unary(c.op) ? 0 : pool_[c.b].expr.complexity()) + 1;
    }

    std::optional<double> score(const Candidate& c, Scratch& s) const {
        double sum = -0.0;
        for (std::size_t first = 0; first < data_.rows(); first += kBlockRows) {
            const std::size_t n = std::min(kBlockRows, data_.rows() - first);
            if (!candidate_block(c, first, n, s, s.out.data())) return std::nullopt;
            data_.accumulate(s.out.data(), first, n, sum);
        }
        return penalised(sum, data_.targets.size(), complexity(c), opt_.complexity_penalty);
    }

    Expr build(const Candidate& c) const {
        return is_unary(c.op) ? Expr::unary(pool_[c.a].expr, c.op)
                              : Expr::binary(pool_[c.a].expr, pool_[c.b].expr, c.op);
    }

    // Caches the member's values on every row when the budget allows.
    void reserve_column(Member& m, std::vector<double*>& to_fill) {
        if (data_.rows() == 0 || data_.rows() > budget_ - cached_) return;
        cached_ += data_.rows();
        columns_.push_back(std::make_unique<double[]>(data_.rows()));
        m.column = columns_.back().get();
        to_fill.push_back(columns_.back().get());
    }

    bool accept_leaf(const Expr& leaf);
    void add_leaves();
    std::vector<Candidate> generate(std::size_t fresh);
    void score_all(std::span<const Candidate> cands, std::vector<unsigned char>& ok, std::vector<double>& err);
    bool take_best(std::span<const Candidate> cands, const std::vector<unsigned char>& ok,
                     const std::vector<double>& err);
    void grow_pool(std::span<const Candidate> cands, const std::vector<unsigned char>& ok,
                   const std::vector<double>& err);
    std::optional<SearchResult> finish();

    Data data_;
    std::size_t n_vars_;
    const SearchOptions& opt_;
    Executor exec_;
    SearchTrace* trace_;
    std::size_t budget_;
    std::vector<OpCode> unary_, binary_;

    FingerprintSet seen_;
    std::vector<Member> pool_;
    std::vector<std::unique_ptr<double[]>> columns_;
    std::size_t cached_ = 0;
    std::optional<SearchResult> best_;
};

bool Search::accept_leaf(const Expr& leaf) {
    if (trace_) ++trace_->generated;
    const auto probe = probe_values(leaf, n_vars_, {});
    if (!probe) return false;
    if (trace_) ++trace_->fingerprinted;
    ProbeBits bits;
    for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>((*probe)[k]);
    if (seen_.insert(bits, hash_probe_bits(bits))) return false;
    if (trace_) ++trace_->accepted;
    pool_.push_back(Member{leaf, *probe, nullptr});
    return true;
}

void Search::add_leaves() {
    std::vector<Expr> leaves{Expr::leaf(Token::constant(0.0)), Expr::leaf(Token::constant(1.0))};
    for (std::size_t i = 0; i < n_vars_; ++i) leaves.push_back(Expr::leaf(Token::var(i)));
    for (const Expr& leaf : leaves) accept_leaf(leaf);
    // Variable leaves read their column in place; constants get a column.
    std::vector<double*> to_fill;
    for (Member& m : pool_) {
        const Token& t = m.expr.tokens[0];
        if (t.kind == TokenKind::Var) {
            if (t.index < data_.view.count) m.column = data_.view.cols[t.index];
        } else {
            reserve_column(m, to_fill);
            if (m.column) std::fill_n(to_fill.back(), data_.rows(), t.value);
        }
    }
    if (trace_ && trace_->record_candidates) {
        trace_->levels.emplace_back();
        for (const Member& m : pool_) trace_->levels.back().push_back(m.expr);
    }
}

std::vector<Candidate> Search::generate(std::size_t fresh) {
    const std::size_t n_pool = pool_.size();
    const std::size_t n_new = n_pool - fresh;
    const std::size_t max_c = opt_.max_complexity;
    // Work units in generation order: the unary phase over the new members,
    // then the binary phase row i for each new member i.
    std::vector<std::size_t> cx(n_pool);
    for (std::size_t i = 0; i < n_pool; ++i) cx[i] = pool_[i].expr.complexity();
    std::vector<std::vector<Candidate>> by_start(2 * n_new);
    std::vector<std::array<std::size_t, 2>> counts(2 * n_new, {0, 0});  // generated, fingerprinted
    auto emit = [&](std::vector<Candidate>& out, std::size_t& gen, std::size_t& valid, OpCode op, std::uint32_t a,
                    std::uint32_t b) {
        ++gen;
        Candidate c;
        c.a = a;
        c.b = b;
        c.op = op;
        const double* pb = is_unary(op) ? nullptr : pool_[b].probe.data();
        if (!apply_op_column(op, pool_[a].probe.data(), pb, c.probe.data(), kProbeCount)) return;
        ++valid;
        ProbeBits bits;
        for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(c.probe[k]);
        c.hash = hash_probe_bits(bits);
        out.push_back(c);
    };
    for_pieces(exec_, 2 * n_new, [&](std::size_t begin, std::size_t end) {
        std::vector<Candidate>& out = by_start[begin];
        std::size_t gen = 0, valid = 0;
        for (std::size_t u = begin; u < end; ++u) {
            if (u < n_new) {
                const auto a = static_cast<std::uint32_t>(fresh + u);
                for (OpCode op : unary_) emit(out, gen, valid, op, a, kNoOperand);
                continue;
            }
            const std::size_t i = fresh + (u - n_new);
            if (cx[i] + 1 >= max_c) continue;  // no j can satisfy the bound
            for (std::size_t j = 0; j <= i; ++j) {
                if (cx[i] + cx[j] >= max_c) continue;
                const auto ii = static_cast<std::uint32_t>(i), jj = static_cast<std::uint32_t>(j);
                for (OpCode op : binary_) {
                    emit(out, gen, valid, op, ii, jj);
                    if (!commutative(op)) emit(out, gen, valid, op, jj, ii);
                }
            }
        }
        counts[begin] = {gen, valid};
    });
    std::vector<Candidate> accepted;
    for (std::size_t s = 0; s < by_start.size(); ++s) {
        if (trace_) {
            trace_->generated += counts[s][0];
            trace_->fingerprinted += counts[s][1];
        }
        for (const Candidate& c : by_start[s]) {
            ProbeBits bits;
            for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(c.probe[k]);
            if (!seen_.insert(bits, c.hash)) accepted.push_back(c);
        }
    }
    if (trace_) trace_->accepted += accepted.size();
    return accepted;
}

void Search::score_all(std::span<const Candidate> cands, std::vector<unsigned char>& ok, std::vector<double>& err) {
    ok.assign(cands.size(), 0);
    err.assign(cands.size(), 0.0);
    for_pieces(exec_, cands.size(), [&](std::size_t begin, std::size_t end) {
        Scratch s;
        for (std::size_t k = begin; k < end; ++k)
            if (const auto e = score(cands[k], s)) {
                ok[k] = 1;
                err[k] = *e;
            }
    });
}

// update_best over the level's results in candidate order; true on early stop.
bool Search::take_best(std::span<const Candidate> cands, const std::vector<unsigned char>& ok,
                         const std::vector<double>& err) {
    std::size_t n_scored = 0;
    for (std::size_t k = 0; k < cands.size(); ++k) {
        if (!ok[k]) continue;
        ++n_scored;
        if (!best_ || best_->error > err[k]) {
            Expr e = build(cands[k]);
            const std::size_t c = e.complexity();
            best_ = SearchResult{std::string(), err[k], c, {}, std::move(e)};
        }
    }
    if (trace_) trace_->scored += n_scored;
    return best_ && opt_.precision_goal >= best_->error;
}

void Search::grow_pool(std::span<const Candidate> cands, const std::vector<unsigned char>& ok,
                       const std::vector<double>& err) {
    // The stable ascending sort by error, cut to its first beam_width / 4
    // entries: equal errors keep candidate order. NaN errors go last.
    std::vector<std::uint32_t> order, nans;
    for (std::size_t k = 0; k < cands.size(); ++k)
        if (ok[k]) (std::isnan(err[k]) ? nans : order).push_back(static_cast<std::uint32_t>(k));
    const std::size_t keep = std::min(opt_.beam_width / 4, order.size() + nans.size());
    auto before = [&](std::uint32_t x, std::uint32_t y) {
        return err[x] < err[y] || (!(err[y] < err[x]) && x < y);
    };
    const std::size_t sorted = std::min(keep, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(sorted), order.end(), before);
    order.resize(sorted);
    order.insert(order.end(), nans.begin(), nans.begin() + static_cast<std::ptrdiff_t>(keep - sorted));

    const std::size_t first_new = pool_.size();
    std::vector<double*> to_fill;
    for (std::uint32_t k : order) {
        Member m{build(cands[k]), cands[k].probe, nullptr};
        pool_.push_back(std::move(m));
    }
    // Cache the new members' values; their operands are cached or evaluable.
    std::vector<std::size_t> filled;
    for (std::size_t i = first_new; i < pool_.size(); ++i) {
        reserve_column(pool_[i], to_fill);
        if (pool_[i].column) filled.push_back(i);
    }
    std::vector<const double*> columns_before(filled.size());
    for_pieces(exec_, filled.size(), [&](std::size_t begin, std::size_t end) {
        Scratch s;
        for (std::size_t f = begin; f < end; ++f) {
            const Candidate& c = cands[order[filled[f] - first_new]];
            auto* col = const_cast<double*>(pool_[filled[f]].column);
            for (std::size_t first = 0; first < data_.rows(); first += kBlockRows) {
                const std::size_t n = std::min(kBlockRows, data_.rows() - first);
                // Scored on every row already, so this cannot fail.
                candidate_block(c, first, n, s, col + first);
            }
        }
    });
}

std::optional<SearchResult> Search::finish() {
    if (best_) best_->formula = to_string(best_->expr);
    return std::move(best_);
}

std::optional<SearchResult> Search::run() {
    add_leaves();
    {
        // Score the leaves as members: their values are their columns.
        std::vector<unsigned char> ok(pool_.size(), 0);
        std::vector<double> err(pool_.size(), 0.0);
        for_pieces(exec_, pool_.size(), [&](std::size_t begin, std::size_t end) {
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
            if (!best_ || best_->error > err[k]) best_ = SearchResult{std::string(), err[k], 1, {}, pool_[k].expr};
        }
        if (trace_) trace_->scored += n_scored;
        if (best_ && opt_.precision_goal >= best_->error) return finish();
    }
    if (opt_.max_complexity < 2) return finish();

    std::size_t fresh = 0;  // members from here on have not been combined yet
    std::vector<unsigned char> ok;
    std::vector<double> err;
    for (std::size_t level = 2;; ++level) {
        if (pool_.empty()) return finish();
        if (pool_.size() >= kNoOperand) throw std::length_error("formula search: pool too large");
        const std::vector<Candidate> cands = generate(fresh);
        fresh = pool_.size();
        if (trace_ && trace_->record_candidates) {
            trace_->levels.emplace_back();
            for (const Candidate& c : cands) trace_->levels.back().push_back(build(c));
        }
        if (cands.empty()) return finish();
        score_all(cands, ok, err);
        if (take_best(cands, ok, err)) return finish();
        grow_pool(cands, ok, err);
        if (level >= opt_.max_complexity) break;
    }
    return finish();
}

}  // namespace

std::optional<SearchResult> search_with(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                        const SearchOptions& options, const SearchInternals& internals) {
    Search s(columns, targets, n_vars, options, internals);
    return s.run();
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
