// Duplicate elimination for the search: a fingerprint identifies the function
// an expression computes by its exact values at five fixed probe points, and
// the seen set keeps every fingerprint a search has met.
//
// There is no tolerance: two fingerprints are equal exactly when the five
// values are bitwise identical (0.0 and -0.0 differ). An expression that
// fails, or is not finite, at any probe has no fingerprint.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "discover/expr.hpp"
#include "interrupt.hpp"

namespace vok::discover {

inline constexpr std::size_t kProbeCount = 5;

// The probe constants, in order: Euler-Mascheroni (one ulp below the nearest
// binary64, 0x3FE2788CFC6FB618), Glaisher-Kinkelin, golden ratio, ln 2 and
// Apery's constant zeta(3). At probe c, variable i takes (i + 1) * c.
inline constexpr std::array<double, kProbeCount> kProbes = {0.5772156649015328, 1.2824271291006226, 1.618033988749895,
                                                            0.6931471805599453, 1.2020569031595942};

// The five values of an expression at the probe points, as bit patterns.
using ProbeBits = std::array<std::uint64_t, kProbeCount>;

// Ten signed integers: per probe value, in probe order, the high half of its
// bit pattern (signed 32-bit, widened) and then the low half (unsigned 32-bit).
struct Fingerprint {
    std::array<std::int64_t, 2 * kProbeCount> words{};

    static Fingerprint from_bits(const ProbeBits& bits);
    ProbeBits bits() const;
    std::uint64_t hash() const;

    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Hash of the five probe bit patterns (the same as Fingerprint::hash).
std::uint64_t hash_probe_bits(const ProbeBits& bits);

// The expression's values at the probes with n variables, or empty when any
// evaluation fails or any value is infinite or NaN.
std::optional<std::array<double, kProbeCount>> probe_values(const Expr& expr, std::size_t n_vars,
                                                            std::span<const double> params);

std::optional<Fingerprint> fingerprint(const Expr& expr, std::size_t n_vars, std::span<const double> params);

// A key waiting for the seen set: the index of its expression among those
// inserted together, and its hash.
struct SeenEntry {
    std::uint32_t index;
    std::uint64_t hash;
};

// The set of fingerprints seen by one search. It only grows.
//
// Partitioned into shard_count() shards, each an open-addressing hash table
// behind its own reader-writer lock; a fingerprint's shard comes from the
// high bits of its hash, its slot from the low bits. Inserts into different
// shards may run in parallel.
class FingerprintSet {
    struct Slot {
        // The key's hash with its lowest bit set, so that 0 marks an empty
        // slot; a key's probing starts at its hash's slot (every slot can).
        std::uint64_t tag = 0;
        ProbeBits key{};
    };
    struct alignas(64) Shard {
        std::shared_mutex lock;
        std::vector<Slot> slots;  // linear probing, at most half full
        std::size_t count = 0;
        bool insert(const ProbeBits& bits, std::uint64_t hash);
        void reserve(std::size_t total);
    };

public:
    FingerprintSet();

    // Adds the fingerprint if absent. Returns true when it was already present.
    bool insert(const Fingerprint& fp);
    // The same, for probe bits whose hash_probe_bits is `hash`.
    bool insert(const ProbeBits& bits, std::uint64_t hash);

    // A shard held under its exclusive lock, for a run of inserts that all
    // belong to it (shard_of(hash) == the shard's index).
    class Locked {
    public:
        bool insert(const ProbeBits& bits, std::uint64_t hash) { return shard_->insert(bits, hash); }
        // Makes room for `more` inserts without growing in between.
        void reserve(std::size_t more) { shard_->reserve(shard_->count + more); }
        // Hints that an insert of this hash follows soon.
        void prefetch(std::uint64_t hash) const {
            if (!shard_->slots.empty()) __builtin_prefetch(&shard_->slots[hash & (shard_->slots.size() - 1)]);
        }

        // Inserts the keys of a run that all belong to this shard, in run
        // order: the outcome of one insert after the other. probe_of(index)
        // points to a key's five probe values; mark[index] becomes
        // `duplicate` or `fresh`. Returns the number of fresh keys.
        template <class ProbeOf>
        std::size_t insert_run(std::span<const SeenEntry> run, ProbeOf&& probe_of, std::uint8_t* mark,
                               std::uint8_t duplicate, std::uint8_t fresh) {
            // Two-stage prefetch: a key's probe values 2 * kAhead inserts
            // ahead, its table slot kAhead ahead.
            constexpr std::size_t kAhead = 8;
            reserve(run.size());
            std::size_t added = 0;
            for (std::size_t q = 0; q < run.size(); ++q) {
                if (q + 2 * kAhead < run.size()) __builtin_prefetch(probe_of(run[q + 2 * kAhead].index));
                if (q + kAhead < run.size()) prefetch(run[q + kAhead].hash);
                const auto& probe = *probe_of(run[q].index);
                ProbeBits bits;
                for (std::size_t p = 0; p < kProbeCount; ++p) bits[p] = std::bit_cast<std::uint64_t>(probe[p]);
                const bool dup = insert(bits, run[q].hash);
                mark[run[q].index] = dup ? duplicate : fresh;
                added += !dup;
                // A shard's run may hold millions of keys; a stopped search
                // leaves within a few thousand (about 16 operations each).
                if (q % 256 == 255) vok::interruption_point(256 * 16);
            }
            return added;
        }

    private:
        friend class FingerprintSet;
        explicit Locked(Shard& s) : shard_(&s), guard_(s.lock) {}
        Shard* shard_;
        std::unique_lock<std::shared_mutex> guard_;
    };
    Locked lock_shard(std::size_t shard) { return Locked(shards_[shard]); }

    // The shard that a hash belongs to: its high bits.
    std::size_t shard_of(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> shift_); }
    std::size_t shards() const { return n_shards_; }
    std::size_t size() const;

    // Smallest power of two at least 4 times the CPUs this process may use;
    // computed once per process.
    static std::size_t shard_count();

private:
    std::unique_ptr<Shard[]> shards_;
    std::size_t n_shards_;
    unsigned shift_;
};

}  // namespace vok::discover
