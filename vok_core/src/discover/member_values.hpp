// The pool's members and the values of those without a cached column, as
// the search's scoring reads them: the member itself, the block memo and
// the column of a generation row's member, and the per-worker scratch that
// holds them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "discover/expr.hpp"
#include "discover/fingerprint.hpp"
#include "discover/scoring.hpp"

namespace vok::discover {

inline constexpr std::uint32_t kNoOperand = UINT32_MAX;

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
    // The candidate it was, op(a) or op(a, b) over earlier members, whose
    // values are its own; from_a is kNoOperand for a leaf or a refined shape.
    std::uint32_t from_a = kNoOperand, from_b = kNoOperand;
    OpCode from_op{};
};

// The last blocks of values computed for members without a cached column,
// so that the candidates scored side by side (a group of lanes shares its
// operands, and consecutive candidates mostly share their left one) evaluate
// such a member's tokens once per block of rows, not once per candidate.
// Slots are reused in turn.
class MemberMemo {
public:
    static constexpr std::size_t kSlots = 16;

    // The values of m on rows [first, first + n), computed by ev when not
    // held; null when a row fails. Valid until kSlots further misses.
    const double* get(const Member& m, const ColumnView& data, std::size_t first, std::size_t n, BlockEvaluator& ev) {
        for (std::size_t q = 0; q < kSlots; ++q)
            if (who_[q] == &m && first_[q] == first && n_[q] == n) return ok_[q] ? slot(q) : nullptr;
        const std::size_t q = next_;
        next_ = (next_ + 1) % kSlots;
        who_[q] = &m;
        first_[q] = first;
        n_[q] = n;
        const double* v = ev.eval(m.expr.tokens, data, {}, first, n);
        ok_[q] = v != nullptr;
        if (!v) return nullptr;
        std::copy_n(v, n, slot(q));
        return slot(q);
    }

private:
    double* slot(std::size_t q) { return values_.get() + q * kBlockRows; }
    std::array<const Member*, kSlots> who_{};
    std::array<std::size_t, kSlots> first_{}, n_{};
    std::array<bool, kSlots> ok_{};
    std::size_t next_ = 0;
    std::unique_ptr<double[]> values_ = std::make_unique_for_overwrite<double[]>(kSlots * kBlockRows);
};

// The values of one member without a cached column on the rows reached so
// far: the member that the candidates of one generation row share (the
// newest operand), filled a block at a time as their scoring reaches new
// rows, so that each block of it is evaluated once for the whole row of
// candidates. A block that fails is remembered as failing.
class RowColumn {
public:
    // True when this column answers for m's rows [first, first + n): *out is
    // then their values, or null when a row fails. False when it cannot (m
    // is not its member and first is not 0, or the rows are beyond those
    // reached): the caller evaluates them otherwise.
    bool get(const Member& m, const ColumnView& data, std::size_t first, std::size_t n, BlockEvaluator& ev,
             const double** out) {
        if (&m != who_) {
            if (first != 0) return false;
            who_ = &m;
            filled_ = 0;
            failed_ = SIZE_MAX;
        }
        if (first + n <= filled_) {
            *out = values_.data() + first;
            return true;
        }
        if (first == failed_ && n == failed_n_) {
            *out = nullptr;
            return true;
        }
        if (first != filled_ || failed_ != SIZE_MAX) return false;
        if (values_.size() < data.rows) values_.resize(data.rows);
        const double* v = ev.eval(m.expr.tokens, data, {}, first, n);
        if (!v) {
            failed_ = first;
            failed_n_ = n;
            *out = nullptr;
            return true;
        }
        std::copy_n(v, n, values_.data() + first);
        filled_ = first + n;
        *out = values_.data() + first;
        return true;
    }

private:
    const Member* who_ = nullptr;
    std::size_t filled_ = 0;         // rows [0, filled_) hold m's values
    std::size_t failed_ = SIZE_MAX;  // the block [failed_, failed_ + failed_n_) failed
    std::size_t failed_n_ = 0;
    std::vector<double> values_;
};

// Per-worker scratch: one evaluator and memo per operand, the column of the
// row's member, and one block of values per lane.
struct Scratch {
    explicit Scratch(bool strict_tension) : left(strict_tension), right(strict_tension) {}
    BlockEvaluator left, right;
    MemberMemo left_memo, right_memo;
    RowColumn row;
    // A block of values per lane, on the heap (a scratch may live on a small
    // thread stack). On a table of at most kBlockRows rows a lane's values
    // stay at their rows (out[l] + first), so that all of them are there
    // once it is scored. Padded: lanes 4 KiB apart would share cache sets.
    using Block = std::array<double, kBlockRows + 8>;
    std::vector<Block> out = std::vector<Block>(kLanes);
    // A lane whose block out[lane] already holds its values on rows
    // [first, first + n) (ok: they passed), computed with the lane before
    // it; any next request of a lane's values ends it.
    struct Paired {
        std::size_t lane = kLanes, first = 0, n = 0;
        bool ok = false;
    } paired;
};

}  // namespace vok::discover
