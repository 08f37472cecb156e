// The pool's members: new members from a level's best results, their cached
// values on the data within a budget, and the memory the search may use.
#include <algorithm>
#include <utility>

#include "discover/search_state.hpp"
#include "guards.hpp"

namespace vok::discover {

namespace {
// The fitted search's halves are NaN where a guard would act, so that a
// tension that depends on one fails.
void set_tension_halves(Member& m, bool strict) {
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        m.probe_t[k] = strict ? vok::strict_frame_time(m.probe[k]) : vok::frame_time(m.probe[k]);
        m.probe_x[k] = strict ? vok::strict_frame_space(m.probe[k]) : vok::frame_space(m.probe[k]);
    }
}
}  // namespace

// A column of the cache when the budget allows, else null.
double* Search::cache_column() {
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
// member i (its expression, and its value column when cached; a variable's
// own column is left as it is) and says whether the column is filled; then
// the member's probe tension halves are computed, and their columns too when
// cached. Members are cached in pool order while the budget allows.
//
// A cached value is the member's value on that row, bit for bit (computed by
// the same operator passes), and the cached halves are frame_time and
// frame_space of it, exactly what the tension computes from its operands.
template <class Values>
void Search::cache_members(std::size_t from, Values&& value) {
    std::vector<unsigned char> fill(pool_.size() - from, 0);
    for (std::size_t i = from; i < pool_.size(); ++i) {
        Member& m = pool_[i];
        if (m.complexity == 1) {
            const Token& t0 = m.expr.tokens[0];
            if (t0.kind == TokenKind::Var && t0.index >= data_.view().count)
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
        const bool strict = fit_.has_value();
        Scratch s(strict);
        for (std::size_t f = begin; f < end; ++f) {
            const std::size_t i = from + f;
            Member& m = pool_[i];
            fill[f] = value(i, s, fill[f] != 0);
            set_tension_halves(m, strict);
            if (!fill[f] || !m.col_t) continue;
            auto* t = const_cast<double*>(m.col_t);
            auto* x = const_cast<double*>(m.col_x);
            if (strict) {
                for (std::size_t r = 0; r < data_.rows(); ++r) t[r] = vok::strict_frame_time(m.column[r]);
                for (std::size_t r = 0; r < data_.rows(); ++r) x[r] = vok::strict_frame_space(m.column[r]);
                continue;
            }
            for (std::size_t r = 0; r < data_.rows(); ++r) t[r] = vok::frame_time(m.column[r]);
            for (std::size_t r = 0; r < data_.rows(); ++r) x[r] = vok::frame_space(m.column[r]);
        }
    });
    // Columns whose values could not be computed are given back unread: their
    // members are evaluated from their tokens.
    for (std::size_t f = 0; f < n; ++f) {
        Member& m = pool_[from + f];
        if (fill[f]) continue;
        for (const double** c : {&m.col_t, &m.col_x})
            if (*c) spare_columns_.push_back(const_cast<double*>(std::exchange(*c, nullptr)));
        if (m.own_column) {
            spare_columns_.push_back(const_cast<double*>(std::exchange(m.column, nullptr)));
            m.own_column = false;
        }
    }
}

void Search::complete_leaves() {
    // A variable reads its column in place; a constant gets a cached column.
    for (Member& m : pool_) {
        const Token& t = m.expr.tokens[0];
        if (t.kind == TokenKind::Var && t.index < data_.view().count) m.column = data_.view().cols[t.index];
    }
    cache_members(0, [&](std::size_t i, Scratch&, bool cached) {
        const Token& t = pool_[i].expr.tokens[0];
        if (cached && t.kind == TokenKind::Const)
            std::fill_n(const_cast<double*>(pool_[i].column), data_.rows(), t.value);
        return cached;
    });
}

// Throws MemoryLimit when the working state with a level of n candidates
// could pass the memory limit: what is held now (a seen-set entry takes a
// 48-byte slot in a table at least a quarter full; the pool; the cached
// columns; the value stash), the level's arrays, a seen-set entry for each
// candidate should all be new, what finishing by chunks may take, and the
// members that may join.
void Search::check_memory(std::size_t n) const {
    constexpr double kPerEntry = 192.0;
    constexpr double kPerCandidate = sizeof(Candidate) + sizeof(std::uint32_t) + sizeof(std::uint64_t) +
                                     sizeof(std::uint8_t) + sizeof(double) + 2 * sizeof(SeenEntry);
    const double arrays = static_cast<double>(n > capacity_ ? std::max(n, 2 * capacity_) : capacity_);
    const double keys = fit_ ? sizeof(std::array<double, kProbeCount>) * arrays : 0.0;
    const double joiners = static_cast<double>(std::min(opt_.beam_width / 4, n));
    const double per_member = sizeof(Member) + 16.0 + sizeof(Token) * (2.0 * static_cast<double>(max_cx_) + 1.0);
    const double bytes = kPerEntry * static_cast<double>(seen_count_ + n) +
                         static_cast<double>(pool_tokens_ * sizeof(Token) + pool_.size() * sizeof(Member)) +
                         8.0 * static_cast<double>(cached_) + static_cast<double>(stash_.bytes()) +
                         static_cast<double>(chunk_memory(n)) + kPerCandidate * arrays + keys + per_member * joiners;
    if (bytes > static_cast<double>(memory_limit_)) throw MemoryLimit();
}

// The level's first beam_width / 4 results, in the order of its stable sort,
// join the pool.
void Search::grow_pool() {
    const std::vector<std::uint32_t> order = level_order(opt_.beam_width / 4);
    checkpoint();

    // The new members get their expressions built on the workers.
    const std::size_t first_new = pool_.size();
    pool_.resize(first_new + order.size());
    for (std::size_t f = 0; f < order.size(); ++f) {
        pool_[first_new + f].probe = cands_[order[f]].probe;
        pool_[first_new + f].from_a = cands_[order[f]].a;
        pool_[first_new + f].from_b = cands_[order[f]].b;
        pool_[first_new + f].from_op = cands_[order[f]].op;
        pool_[first_new + f].complexity = complexity(cands_[order[f]]);
        pool_tokens_ += pool_[first_new + f].complexity;
        max_cx_ = std::max(max_cx_, pool_[first_new + f].complexity);
    }
    cache_members(first_new, [&](std::size_t i, Scratch& s, bool cached) {
        const Candidate& c = cands_[order[i - first_new]];
        pool_[i].expr = build(c);
        if (!cached) return false;
        auto* col = const_cast<double*>(pool_[i].column);
        if (const double* kept = stash_.find(order[i - first_new])) {
            std::copy_n(kept, data_.rows(), col);
            return true;
        }
        // Scored on every row already, so these evaluations cannot fail.
        bool good = true;
        for (std::size_t first = 0; first < data_.rows(); first += kBlockRows)
            good = good && candidate_block(c, first, std::min(kBlockRows, data_.rows() - first), s, col + first);
        return good;
    });
}

// The refined shapes join the pool after the level's own members.
void Search::add_joiners(std::vector<Member>& joiners) {
    if (joiners.empty()) return;
    const std::size_t first_new = pool_.size();
    for (Member& m : joiners) {
        pool_tokens_ += m.complexity;
        max_cx_ = std::max(max_cx_, m.complexity);
        pool_.push_back(std::move(m));
    }
    joiners.clear();
    cache_members(first_new, [&](std::size_t i, Scratch& s, bool cached) {
        if (!cached) return false;
        auto* col = const_cast<double*>(pool_[i].column);
        for (std::size_t first = 0; first < data_.rows(); first += kBlockRows) {
            const std::size_t n = std::min(kBlockRows, data_.rows() - first);
            const double* v = s.left.eval(pool_[i].expr.tokens, data_.view(), {}, first, n);
            if (!v) return false;
            std::copy_n(v, n, col + first);
        }
        return true;
    });
}

// Members [from, to) were combined for the first time at this level; those
// too long to pair with anything will never be read again (their unary
// candidates are built): their columns serve later members.
void Search::release_columns(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        Member& m = pool_[i];
        if (m.own_column && m.complexity + 1 >= opt_.max_complexity) {
            spare_columns_.push_back(const_cast<double*>(m.column));
            m.column = nullptr;
            m.own_column = false;
        }
    }
}

}  // namespace vok::discover
