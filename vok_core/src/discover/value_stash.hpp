// The values of a level's candidates as scoring computed them, kept for those
// that may join the pool, whose columns would otherwise be computed again
// (a sine or a tension per row).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vok::discover {

// Columns of `rows` doubles from one buffer reused level after level, each
// holding the values of a candidate scored on every row, found by candidate
// after the level.
class ValueStash {
public:
    using Kept = std::vector<std::pair<std::uint32_t, const double*>>;

    // A new level, with room for `columns` columns (none: the stash is off).
    void start_level(std::size_t rows, std::size_t columns) {
        kept_.clear();
        next_.store(0, std::memory_order_relaxed);
        rows_ = rows;
        columns_ = columns;
        if (columns_ * rows_ > allocated_) {
            allocated_ = columns_ * rows_;
            buffer_ = std::make_unique_for_overwrite<double[]>(allocated_);
        }
    }
    bool on() const { return columns_ != 0; }

    // Copies candidate k's values v into a new column listed in kept;
    // nothing once all columns are taken. Safe to call from several workers,
    // each with its own list.
    void put(std::uint32_t k, const double* v, Kept& kept) {
        const std::size_t q = next_.fetch_add(1, std::memory_order_relaxed);
        if (q >= columns_) return;
        double* c = buffer_.get() + q * rows_;
        std::copy_n(v, rows_, c);
        kept.emplace_back(k, c);
    }

    // After the level's scoring: the workers' lists, then sorted for find.
    void keep(Kept& kept) {
        kept_.insert(kept_.end(), kept.begin(), kept.end());
        kept.clear();
    }
    void seal() { std::sort(kept_.begin(), kept_.end()); }

    // Candidate k's values on every row, or null when not kept.
    const double* find(std::uint32_t k) const {
        const auto it =
            std::lower_bound(kept_.begin(), kept_.end(), std::pair<std::uint32_t, const double*>{k, nullptr});
        return it != kept_.end() && it->first == k ? it->second : nullptr;
    }

    std::size_t bytes() const { return allocated_ * sizeof(double); }

private:
    std::unique_ptr<double[]> buffer_;
    std::size_t allocated_ = 0, rows_ = 0, columns_ = 0;
    std::atomic<std::size_t> next_{0};
    Kept kept_;
};

}  // namespace vok::discover
