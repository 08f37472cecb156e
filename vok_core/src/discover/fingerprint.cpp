#include "discover/fingerprint.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

#include "pool.hpp"

namespace vok::discover {

Fingerprint Fingerprint::from_bits(const ProbeBits& bits) {
    Fingerprint fp;
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        fp.words[2 * k] = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits[k] >> 32));
        fp.words[2 * k + 1] = static_cast<std::uint32_t>(bits[k]);
    }
    return fp;
}

ProbeBits Fingerprint::bits() const {
    ProbeBits bits;
    for (std::size_t k = 0; k < kProbeCount; ++k)
        bits[k] = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(words[2 * k])) << 32) |
                  static_cast<std::uint32_t>(words[2 * k + 1]);
    return bits;
}

std::uint64_t Fingerprint::hash() const { return hash_probe_bits(bits()); }

namespace {
// The finaliser of MurmurHash3: spreads every input bit over the whole word,
// so both the high bits (shard) and the low bits (slot) are well mixed.
inline std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}
}  // namespace

std::uint64_t hash_probe_bits(const ProbeBits& bits) {
    // Independent products (no chain through the words), each word folded so
    // that its high bits (sign, exponent) reach the low bits of its product.
    constexpr std::uint64_t k[kProbeCount] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                                              0x85EBCA77C2B2AE63ULL, 0x27D4EB2F165667C5ULL};
    std::uint64_t h = kProbeCount;
    for (std::size_t i = 0; i < kProbeCount; ++i) h += (bits[i] ^ (bits[i] >> 29)) * k[i];
    return mix(h);
}

std::optional<std::array<double, kProbeCount>> probe_values(const Expr& expr, std::size_t n_vars,
                                                            std::span<const double> params) {
    std::array<double, kProbeCount> values;
    std::vector<double> vars(n_vars);
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        for (std::size_t i = 0; i < n_vars; ++i) vars[i] = static_cast<double>(i + 1) * kProbes[k];
        const std::optional<double> v = eval(expr, vars, params);
        if (!v || !is_finite_value(*v)) return std::nullopt;
        values[k] = *v;
    }
    return values;
}

std::optional<Fingerprint> fingerprint(const Expr& expr, std::size_t n_vars, std::span<const double> params) {
    const auto values = probe_values(expr, n_vars, params);
    if (!values) return std::nullopt;
    ProbeBits bits;
    for (std::size_t k = 0; k < kProbeCount; ++k) bits[k] = std::bit_cast<std::uint64_t>((*values)[k]);
    return Fingerprint::from_bits(bits);
}

std::size_t FingerprintSet::shard_count() {
    static const std::size_t count = [] {
        const std::size_t want = 4 * vok::available_cpus();
        std::size_t s = 4;  // also the count when the CPUs cannot be determined
        while (s < want) s *= 2;
        return s;
    }();
    return count;
}

FingerprintSet::FingerprintSet() : n_shards_(shard_count()) {
    shards_ = std::make_unique<Shard[]>(n_shards_);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(n_shards_));
}

bool FingerprintSet::insert(const Fingerprint& fp) {
    const ProbeBits bits = fp.bits();
    return insert(bits, hash_probe_bits(bits));
}

bool FingerprintSet::insert(const ProbeBits& bits, std::uint64_t hash) {
    return lock_shard(shard_of(hash)).insert(bits, hash);
}

// Grows the table (by doubling, from 1024 slots) so that `total` keys keep
// it at most half full.
void FingerprintSet::Shard::reserve(std::size_t total) {
    std::size_t cap = slots.empty() ? 1024 : slots.size();
    while (2 * total > cap) cap *= 2;
    if (cap == slots.size()) return;
    // A table may take a good part of a second to build: it is built in
    // steps with interruption points, and replaces the old one only whole.
    constexpr std::size_t kStep = std::size_t{1} << 14;
    std::vector<Slot> grown;
    grown.reserve(cap);
    while (grown.size() < cap) {
        grown.resize(std::min(cap, grown.size() + kStep));
        vok::interruption_point(kStep);
    }
    const std::size_t mask = cap - 1;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i % kStep == kStep - 1) vok::interruption_point(kStep);
        const Slot& old = slots[i];
        if (!old.tag) continue;
        // The tag lost the hash's lowest bit: the key gives it back.
        std::size_t j = hash_probe_bits(old.key) & mask;
        while (grown[j].tag) j = (j + 1) & mask;
        grown[j] = old;
    }
    slots.swap(grown);
}

bool FingerprintSet::Shard::insert(const ProbeBits& bits, std::uint64_t hash) {
    const std::uint64_t tag = hash | 1;
    if (2 * (count + 1) > slots.size()) reserve(count + 1);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t j = hash & mask;; j = (j + 1) & mask) {
        Slot& s = slots[j];
        if (!s.tag) {
            s.tag = tag;
            s.key = bits;
            ++count;
            return false;
        }
        if (s.tag == tag && s.key == bits) return true;
    }
}

std::size_t FingerprintSet::size() const {
    std::size_t total = 0;
    for (std::size_t i = 0; i < n_shards_; ++i) {
        std::shared_lock guard(shards_[i].lock);
        total += shards_[i].count;
    }
    return total;
}

}  // namespace vok::discover
