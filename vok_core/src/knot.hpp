// The knot: a point with a wrapping 64-bit flip count and a phase kept reduced
// modulo 2*pi by fmod, advanced by mirror pulses; and the pulse trajectory of
// simulate_pulses_n.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "interrupt.hpp"
#include "point.hpp"
#include "pool.hpp"

namespace vok {

inline constexpr double kQuarterTurn = 1.5707963267948966;  // nearest double to pi/2
inline constexpr double kFullTurn = 6.283185307179586;      // nearest double to 2*pi

// Records of simulate_pulses are 24 bytes; above this count the array would
// exceed PTRDIFF_MAX (2^63 - 1) bytes.
inline constexpr std::uint64_t kMaxPulseRecords = 384307168202282325ULL;

struct KnotState {
    PointXY point;
    std::int64_t count;
    double phase;
};

// The phase invariant: fmod by the double nearest 2*pi (sign of the argument
// kept; NaN for infinite or NaN input).
inline double reduce_phase(double theta) { return std::fmod(theta, kFullTurn); }

// count + k in two's complement: done on unsigned values (no signed overflow),
// converted back modulo 2^64.
inline std::int64_t wrapping_add(std::int64_t count, std::uint64_t k) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(count) + k);
}

inline KnotState knot_pulse(const KnotState& k) {
    return {pulse_map(k.point), wrapping_add(k.count, 1), reduce_phase(k.phase + kQuarterTurn)};
}

// Four mirror pulses, one after the other (bit for bit the same as calling
// knot_pulse four times).
inline KnotState knot_flip(KnotState k) {
    for (int i = 0; i < 4; ++i) k = knot_pulse(k);
    return k;
}

// 2 * (count / 4), the division truncating toward zero; cannot overflow.
inline std::int64_t tread_yield(std::int64_t count) { return 2 * (count / 4); }

inline double knot_rho(PointXY p) { return std::fabs(tension(p.x, p.y)); }

using PulseRecord = std::array<double, 3>;  // (x, y, tension)

// A pulse's work for interruption points, in element-operations: two guarded
// elementary functions and the record's store.
inline constexpr std::size_t kPulseWork = 40;

// The trajectory of n_pulses pulse maps from (x0, y0): n_pulses + 1 records,
// record 0 holding the raw start. Refuses counts whose array could not be
// addressed ("capacity overflow"; n_pulses = 2^64 - 1 included, where
// n_pulses + 1 would wrap to 0). More than `record_budget` records, or a
// reservation the memory cannot hold, throw std::bad_alloc before the loop.
inline std::vector<PulseRecord> simulate_pulses(double x0, double y0, std::uint64_t n_pulses,
                                                std::uint64_t record_budget = kMaxPulseRecords) {
    if (n_pulses >= kMaxPulseRecords) throw InternalError("capacity overflow");
    if (n_pulses >= record_budget) throw std::bad_alloc();
    std::vector<PulseRecord> out;
    out.reserve(static_cast<std::size_t>(n_pulses) + 1);
    PulseRecord r{x0, y0, tension(x0, y0)};
    out.push_back(r);
    WorkMeter meter;
    for (std::uint64_t k = 0; k < n_pulses; ++k) {
        meter.add(kPulseWork);
        // The pulse map's new y is t(x, y), the tension already recorded.
        const double x = log_guard(r[1]);
        const double y = r[2];
        r = {x, y, tension(x, y)};
        out.push_back(r);
    }
    return out;
}

}  // namespace vok
