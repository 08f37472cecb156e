// The search's candidates: the leaves, a level's composites in generation
// order with their probe values, and their insertion into the seen set.
#include <algorithm>
#include <bit>
#include <utility>

#include "discover/search_state.hpp"

namespace vok::discover {

namespace {
bool commutative(OpCode op) { return op == OpCode::Add || op == OpCode::Mul; }
}  // namespace

void Search::add_leaves() {
    // Room for the pool's usual growth (beam_width / 4 per level), so that
    // members are seldom moved.
    const std::size_t levels = std::min<std::size_t>(opt_.max_complexity, 64);
    const std::size_t growth = std::min<std::size_t>(opt_.beam_width / 4, 1 << 16) * levels;
    pool_.reserve(std::min<std::size_t>(n_vars_ + 2 + growth, 1 << 16));
    // The fitted search has one constant: 0 and 1 are one shape there.
    std::vector<Expr> leaves{Expr::leaf(Token::constant(0.0)), Expr::leaf(Token::constant(1.0))};
    if (fit_) leaves.erase(leaves.begin());
    for (std::size_t i = 0; i < n_vars_; ++i) leaves.push_back(Expr::leaf(Token::var(i)));
    for (std::size_t i = 0; i < leaves.size(); ++i) {
        if (i % 4096 == 0) checkpoint();
        Expr& leaf = leaves[i];
        if (trace_) ++trace_->generated;
        // A leaf's value at a probe is the value it pushes: its constant, or
        // variable i's (i + 1) * c. Computed directly rather than through
        // probe_values, which builds all n_vars values for every leaf.
        const Token& t = leaf.tokens[0];
        std::array<double, kProbeCount> probe;
        bool finite = true;
        for (std::size_t k = 0; k < kProbeCount; ++k) {
            if (t.kind != TokenKind::Var)
                probe[k] = t.value;
            else
                probe[k] = fit_ ? probe_points_[t.index][k] : static_cast<double>(t.index + 1) * kProbes[k];
            finite = finite && is_finite_value(probe[k]);
        }
        if (!finite) continue;
        if (trace_) ++trace_->fingerprinted;
        const std::array<double, kProbeCount> key = key_of(probe);
        ProbeBits bits;
        for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>(key[k]);
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
    complete_leaves();
}

// Builds the level's candidates into cands_ in generation order: the unary
// phase over the new members, then the binary phase row i for each new
// member i. Returns their number.
//
// Only members that joined at the last level (from `fresh` on) are combined:
// a combination of older members was built at an earlier level with the
// same tokens, so its fingerprint was invalid or is in the seen set, and the
// plain search would drop it again. Unary candidates of new member i, and
// the pairs (i, j) for j <= i, are exactly the plain search's candidates
// that involve a new member, in its order.
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
            if (i % 1024 == 0) checkpoint();
            ++seen_with[std::min(cx[i], top)];
            if (i < fresh || cx[i] + 1 >= max_c) continue;
            std::size_t pairs = 0;
            for (std::size_t c = 1; c + cx[i] < max_c && c < top; ++c) pairs += seen_with[c];
            offset[n_new + (i - fresh) + 1] = pairs * per_pair;
        }
    }
    for (std::size_t u = 0; u < units; ++u) offset[u + 1] += offset[u];
    const std::size_t n = offset[units];
    // Candidates are numbered in 32 bits, kNoOperand excluded: a level with
    // more would need hundreds of gigabytes.
    if (n >= kNoOperand) throw MemoryLimit();
    check_memory(n);
    if (n > capacity_) {
        // Levels tend to grow: leave room for the next one.
        capacity_ = std::max(n, 2 * capacity_);
        cands_ = std::make_unique_for_overwrite<Candidate[]>(capacity_);
        shard_ = std::make_unique_for_overwrite<std::uint32_t[]>(capacity_);
        hash_ = std::make_unique_for_overwrite<std::uint64_t[]>(capacity_);
        entries_ = std::make_unique_for_overwrite<SeenEntry[]>(capacity_);
        state_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
        err_ = std::make_unique_for_overwrite<double[]>(capacity_);
        if (fit_) key_ = std::make_unique_for_overwrite<std::array<double, kProbeCount>[]>(capacity_);
    }

    Candidate* out = cands_.get();
    std::size_t pair_tests = 0;  // the work of the binary rows: one complexity test per pair
    for (std::size_t i = fresh; i < n_pool; ++i) pair_tests += i + 1;
    // A candidate's probe values come from its operands' with one operator
    // pass (see candidate_block): the stack evaluator's values on its tokens.
    // The tension's halves were computed once per member.
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
            if (fit_) {
                key_[k] = key_of(c.probe);
                for (std::size_t p = 0; p < kProbeCount; ++p) bits[p] = std::bit_cast<std::uint64_t>(key_[k][p]);
            } else {
                for (std::size_t p = 0; p < kProbeCount; ++p) bits[p] = std::bit_cast<std::uint64_t>(c.probe[p]);
            }
            hash_[k] = hash_probe_bits(bits);
            shard_[k] = static_cast<std::uint32_t>(seen_.shard_of(hash_[k]));
        } else {
            shard_[k] = kNoShard;
        }
        state_[k] = kNoFingerprint;
        ++k;
    };
    // Each unit then groups its fingerprinted candidates by shard (a
    // counting sort that keeps generation order within a group), so that
    // each shard's insertion reads only its own candidates.
    const std::size_t shards = seen_.shards(), stride = shards + 1;
    slices_.resize(units * stride);
    auto group_by_shard = [&](std::size_t u, std::vector<std::uint32_t>& at) {
        at.assign(shards, 0);
        for (std::size_t k = offset[u]; k < offset[u + 1]; ++k)
            if (shard_[k] != kNoShard) ++at[shard_[k]];
        auto pos = static_cast<std::uint32_t>(offset[u]);
        std::uint32_t* slice = &slices_[u * stride];
        for (std::size_t sh = 0; sh < shards; ++sh) {
            slice[sh] = pos;
            pos += std::exchange(at[sh], slice[sh]);
        }
        slice[shards] = pos;
        for (std::size_t k = offset[u]; k < offset[u + 1]; ++k)
            if (shard_[k] != kNoShard) entries_[at[shard_[k]]++] = SeenEntry{static_cast<std::uint32_t>(k), hash_[k]};
    };
    // The work is divided by candidates, not by units: a binary row's
    // candidates grow with its index, so equal runs of units would leave the
    // last pieces with most of the work. Block b takes the units that start
    // among candidates [b * kBlock, (b + 1) * kBlock).
    constexpr std::size_t kBlock = 512;
    const std::size_t blocks = (n + kBlock - 1) / kBlock + 1;  // the last takes the empty units at the end
    auto unit_at = [&](std::size_t b) {
        if (b == 0) return std::size_t{0};
        if (b >= blocks - 1) return units;
        return static_cast<std::size_t>(std::lower_bound(offset.begin(), offset.end() - 1, b * kBlock) -
                                        offset.begin());
    };
    parallel(blocks, pair_tests + 20 * n, [&](std::size_t first_block, std::size_t end_block) {
        std::vector<std::uint32_t> at;
        for (std::size_t u = unit_at(first_block), end = unit_at(end_block); u < end; ++u) {
            std::size_t k = offset[u];
            if (u < n_new) {
                const auto a = static_cast<std::uint32_t>(fresh + u);
                for (OpCode op : unary_) emit(k, op, a, kNoOperand);
            } else if (offset[u + 1] != k) {
                const std::size_t i = fresh + (u - n_new);
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
            group_by_shard(u, at);
            // A stopped search leaves here, not at the end of the piece.
            vok::interruption_point(offset[u + 1] - offset[u]);
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
    const std::array<double, kProbeCount>* keys = key_.get();
    std::uint8_t* state = state_.get();
    const std::size_t shards = seen_.shards(), stride = shards + 1, units = slices_.size() / stride;
    std::vector<std::size_t> accepted(shards, 0), fingerprinted(shards, 0);
    parallel(shards, 16 * n, [&](std::size_t begin, std::size_t end) {
        std::vector<SeenEntry> mine;
        for (std::size_t sh = begin; sh < end; ++sh) {
            // The shard's groups of the units in unit order: its candidates
            // in generation order.
            mine.clear();
            for (std::size_t u = 0; u < units; ++u)
                mine.insert(mine.end(), entries_.get() + slices_[u * stride + sh],
                            entries_.get() + slices_[u * stride + sh + 1]);
            auto run = seen_.lock_shard(sh);
            accepted[sh] =
                keys ? run.insert_run(
                           mine, [&](std::uint32_t k) { return &keys[k]; }, state, kDuplicate, kAccepted)
                     : run.insert_run(
                           mine, [&](std::uint32_t k) { return &cands[k].probe; }, state, kDuplicate, kAccepted);
            fingerprinted[sh] = mine.size();
            vok::interruption_point(mine.size());
        }
    });
    std::pair<std::size_t, std::size_t> total{0, 0};
    for (std::size_t sh = 0; sh < seen_.shards(); ++sh) {
        total.first += fingerprinted[sh];
        total.second += accepted[sh];
    }
    return total;
}

}  // namespace vok::discover
