// Candidates finished a chunk of rows at a time. When some pool members have
// no cached values, a candidate that reads one would evaluate it on every
// row it is scored on, once per candidate. So such candidates, once still in
// play after their first rows, are set aside (start_group, called by
// score.cpp's pass) and go on together over the remaining rows: for each
// chunk of rows, every uncached member that one of them reads is computed
// once into a buffer (from the members it was built from), and all of them
// are scored on the chunk from there. A candidate's sums still take its rows
// in order, so its error is the one it has when scored alone.
#include <algorithm>
#include <memory>
#include <numeric>

#include "discover/search_state.hpp"

namespace vok::discover {

namespace {
// The largest chunk: beyond it the buffers stop fitting the caches while
// nothing more is saved.
constexpr std::size_t kMaxChunkRows = 64 * kBlockRows;
// The share of the memory limit the chunk's buffers may take, and their cap.
constexpr std::size_t kChunkShare = 16;
constexpr std::size_t kMaxChunkBytes = std::size_t{256} << 20;
}  // namespace

// Whether a member that candidates read as an operand lacks cached values (a
// variable without a column fails on every row and does not count; a member
// too long to pair is only ever the one member of its generation row, which
// RowColumn evaluates once).
bool Search::members_uncached() const {
    for (const Member& m : pool_) {
        if (m.column || m.complexity + 1 >= opt_.max_complexity) continue;
        const Token& t0 = m.expr.tokens[0];
        if (m.complexity == 1 && t0.kind == TokenKind::Var && t0.index >= data_.view().count) continue;
        return true;
    }
    return false;
}

// The rows of finish_chunked's chunks with a buffer for `members` members:
// as many as fit the buffers' share of the memory limit, whole blocks, at
// most the table's (rounded up to a block), unless chunk_rows_ sets them.
std::size_t Search::chunk_rows(std::size_t members) const {
    std::size_t chunk = chunk_rows_;
    if (chunk == 0) {
        const std::size_t bytes = std::min(memory_limit_ / kChunkShare, kMaxChunkBytes);
        const std::size_t fit = bytes / sizeof(double) / std::max<std::size_t>(members, 1);
        chunk = std::clamp(fit / kBlockRows * kBlockRows, kBlockRows, kMaxChunkRows);
    }
    return std::min(chunk, (data_.rows() + kBlockRows - 1) / kBlockRows * kBlockRows);
}

// At most the memory finish_chunked takes at a level of n candidates: the
// set-aside list and the chunk's buffers, were every member of the pool
// read (none when nothing is set aside).
std::size_t Search::chunk_memory(std::size_t n) const {
    if (defer_rows_ == 0 || data_.rows() <= defer_rows_ || !members_uncached()) return 0;
    return sizeof(double) * pool_.size() * chunk_rows(pool_.size()) + n * sizeof(Deferred);
}

// Scores candidates ks[0..lanes) as score_group does, except those that read
// a member without cached values: once past their first defer_rows_ rows,
// they are left kAccepted with their sums so far in sums[l], to be finished
// with the level's others of their kind (finish_chunked).
void Search::start_group(const std::uint32_t* ks, std::size_t lanes, Scratch& s, const double* cutoff,
                         std::uint8_t* state, LaneSums* sums, double* err) {
    std::array<double, kLanes> factor;
    for (std::size_t l = 0; l < lanes; ++l) factor[l] = penalty_of(ks[l]);
    std::fill_n(state, lanes, kScored);
    std::fill_n(sums, lanes, LaneSums{});
    const auto values = lane_values(ks, lanes, s);
    const std::size_t head = std::min(defer_rows_, data_.rows());
    advance(lanes, factor.data(), cutoff, values, state, sums, 0, head);
    bool rest = false;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (state[l] == kScored && reads_uncached(cands_[ks[l]])) state[l] = kAccepted;
        rest = rest || state[l] == kScored;
    }
    if (!rest) return;
    advance(lanes, factor.data(), cutoff, values, state, sums, head, data_.rows());
    finish_lanes_of(lanes, factor.data(), values, state, sums, err);
}

// Scores the set-aside candidates from row defer_rows_ to the end, then sets
// their state_ and err_.
void Search::finish_chunked(std::vector<Deferred>& list) {
    const std::size_t rows = data_.rows();
    const bool strict = fit_.has_value();

    // The uncached members read, and the uncached members those are built
    // from, each with a slot of the chunk's buffer. A member that was a
    // candidate is computed from its operands as that candidate was, one
    // operation per row; a refined one from its tokens. need(mark) marks
    // them for the candidates in play, by pool index.
    auto reads = [&](const Candidate& c, auto&& f) {
        if (by_halves(c)) return;
        f(c.a);
        if (!is_unary(c.op)) f(c.b);
    };
    auto origin = [&](std::uint32_t i) {
        Candidate c;
        c.a = pool_[i].from_a;
        c.b = pool_[i].from_b;
        c.op = pool_[i].from_op;
        return c;
    };
    std::vector<std::uint8_t> needed(pool_.size());
    auto need = [&](auto&& in_play) {
        std::fill(needed.begin(), needed.end(), 0);
        auto mark = [&](std::uint32_t i) {
            if (!pool_[i].column) needed[i] = 1;
        };
        in_play([&](const Deferred& d) { reads(cands_[d.k], mark); });
        for (std::size_t i = pool_.size(); i-- > 0;)
            if (needed[i] && pool_[i].from_a != kNoOperand) reads(origin(static_cast<std::uint32_t>(i)), mark);
    };
    need([&](auto&& f) { std::for_each(list.begin(), list.end(), f); });
    // Slots, and a generation per member: after every member it is built
    // from (0: from cached values or tokens alone).
    std::vector<std::uint32_t> slot_of(pool_.size(), kNoOperand), members;
    std::vector<std::uint32_t> generation(pool_.size(), 0);
    std::uint32_t generations = 0;
    for (std::uint32_t i = 0; i < pool_.size(); ++i) {
        if (!needed[i]) continue;
        slot_of[i] = static_cast<std::uint32_t>(members.size());
        members.push_back(i);
        if (pool_[i].from_a != kNoOperand)
            reads(origin(i), [&](std::uint32_t j) {
                if (!pool_[j].column) generation[i] = std::max(generation[i], generation[j] + 1);
            });
        generations = std::max(generations, generation[i] + 1);
    }
    const std::size_t chunk = chunk_rows(members.size());
    const std::size_t blocks = chunk / kBlockRows;
    const auto values = std::make_unique_for_overwrite<double[]>(members.size() * chunk);
    std::vector<std::uint8_t> failed(members.size() * blocks);
    std::vector<std::uint32_t> todo;

    std::vector<std::uint32_t> alive(list.size());
    std::iota(alive.begin(), alive.end(), 0u);
    std::vector<std::uint8_t> state(list.size(), kScored);
    std::vector<double> factor(list.size());
    for (std::size_t q = 0; q < list.size(); ++q) factor[q] = penalty_of(list[q].k);

    // Group g of the candidates in play (alive[g * kLanes...]) as lanes.
    struct Group {
        const std::uint32_t* qs;               // into list
        std::array<std::uint32_t, kLanes> ks;  // their candidates
        std::size_t lanes;
        std::array<LaneSums, kLanes> sums;
        std::array<double, kLanes> factor, cutoff;
        std::array<std::uint8_t, kLanes> state;
    };
    auto group = [&](std::size_t g) {
        Group grp;
        grp.qs = alive.data() + g * kLanes;
        grp.lanes = std::min(kLanes, alive.size() - g * kLanes);
        for (std::size_t l = 0; l < grp.lanes; ++l) {
            grp.ks[l] = list[grp.qs[l]].k;
            grp.sums[l] = list[grp.qs[l]].sums;
            grp.factor[l] = factor[grp.qs[l]];
            grp.cutoff[l] = list[grp.qs[l]].cutoff;
            grp.state[l] = kScored;
        }
        return grp;
    };
    std::size_t reported = 0;  // of the list, counted as done in the level's status
    for (std::size_t c0 = std::min(defer_rows_, rows); c0 < rows && !alive.empty(); c0 += chunk) {
        const std::size_t c1 = std::min(rows, c0 + chunk);
        // Member i's values on rows [first, first + n) of the chunk, or null
        // when one fails.
        auto operand = [&](std::uint32_t i, std::size_t first) -> const double* {
            const Member& m = pool_[i];
            if (m.column) return m.column + first;
            const std::size_t s = slot_of[i];
            if (failed[s * blocks + (first - c0) / kBlockRows]) return nullptr;
            return values.get() + s * chunk + (first - c0);
        };
        // The chunk of every member the candidates still in play read, a
        // generation at a time.
        need([&](auto&& f) {
            for (std::uint32_t q : alive) f(list[q]);
        });
        for (std::uint32_t g = 0; g < generations; ++g) {
            todo.clear();
            for (std::uint32_t i : members)
                if (needed[i] && generation[i] == g) todo.push_back(i);
            parallel(todo.size(), todo.size() * (c1 - c0) * 8, [&](std::size_t begin, std::size_t end) {
                BlockEvaluator ev(strict);
                for (std::size_t t = begin; t < end; ++t) {
                    const std::uint32_t i = todo[t];
                    const Candidate c = origin(i);
                    double* out = values.get() + slot_of[i] * chunk;
                    for (std::size_t first = c0; first < c1; first += kBlockRows) {
                        const std::size_t n = std::min(kBlockRows, c1 - first);
                        bool ok;
                        if (c.a == kNoOperand) {
                            const double* v = ev.eval(pool_[i].expr.tokens, data_.view(), {}, first, n);
                            if ((ok = v != nullptr)) std::copy_n(v, n, out + (first - c0));
                        } else {
                            const double *va = nullptr, *vb = nullptr;
                            ok = by_halves(c) ||
                                 ((va = operand(c.a, first)) && (is_unary(c.op) || (vb = operand(c.b, first))));
                            ok = ok && combine(c, va, vb, first, n, out + (first - c0));
                        }
                        failed[slot_of[i] * blocks + (first - c0) / kBlockRows] = !ok;
                    }
                }
            });
        }
        // The candidates on the chunk, by groups of lanes.
        const std::size_t groups = (alive.size() + kLanes - 1) / kLanes;
        parallel(groups, alive.size() * (c1 - c0 + 8), [&](std::size_t begin, std::size_t end) {
            std::array<std::array<double, kScoreRows>, kLanes> out;
            for (std::size_t g = begin; g < end; ++g) {
                Group grp = group(g);
                const std::uint32_t* qs = grp.qs;
                advance(
                    grp.lanes, grp.factor.data(), grp.cutoff.data(),
                    [&](std::size_t l, std::size_t first, std::size_t n) -> const double* {
                        const Candidate& c = cands_[grp.ks[l]];
                        const double *va = nullptr, *vb = nullptr;
                        if (!by_halves(c) &&
                            (!(va = operand(c.a, first)) || (!is_unary(c.op) && !(vb = operand(c.b, first)))))
                            return nullptr;
                        return combine(c, va, vb, first, n, out[l].data()) ? out[l].data() : nullptr;
                    },
                    grp.state.data(), grp.sums.data(), c0, c1);
                for (std::size_t l = 0; l < grp.lanes; ++l) {
                    list[qs[l]].sums = grp.sums[l];
                    state[qs[l]] = grp.state[l];
                }
            }
        });
        std::erase_if(alive, [&](std::uint32_t q) { return state[q] != kScored; });
        if (status_) {
            // Done: those that dropped out, and the share of the rows of
            // those still in play.
            const std::size_t start = std::min(defer_rows_, rows);
            const double share = static_cast<double>(c1 - start) / static_cast<double>(rows - start);
            const auto done =
                (list.size() - alive.size()) + static_cast<std::size_t>(share * static_cast<double>(alive.size()));
            if (done > reported) status_->scored.fetch_add(done - reported, std::memory_order_relaxed);
            reported = std::max(reported, done);
        }
    }
    if (status_) status_->scored.fetch_add(list.size() - reported, std::memory_order_relaxed);

    // The errors of those scored on every row (a near-exact fit reads its
    // values once more, as scoring alone does).
    for (std::size_t q = 0; q < list.size(); ++q)
        if (state[q] != kScored) state_[list[q].k] = state[q];
    const std::size_t groups = (alive.size() + kLanes - 1) / kLanes;
    parallel(groups, alive.size() * 64, [&](std::size_t begin, std::size_t end) {
        Scratch s(strict);
        for (std::size_t g = begin; g < end; ++g) {
            Group grp = group(g);
            std::array<double, kLanes> err;
            finish_lanes_of(grp.lanes, grp.factor.data(), lane_values(grp.ks.data(), grp.lanes, s), grp.state.data(),
                            grp.sums.data(), err.data());
            for (std::size_t l = 0; l < grp.lanes; ++l) {
                state_[grp.ks[l]] = kScored;
                err_[grp.ks[l]] = err[l];
            }
        }
    });
}

}  // namespace vok::discover
