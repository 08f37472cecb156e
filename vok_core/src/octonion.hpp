// Octonion multiplication: the kernel of octonion_mul_n.
//
// An octonion is eight coefficients of the basis e0 = 1, e1, ..., e7 (c0 is
// the real part). The product of two basis elements is +-e_k, read from a
// 64-entry table (left factor = row, right factor = column). The table obeys
// one rule: e_i * e_i = -1 for i = 1..7, and for each triple (p, q, r) of
// (1,2,4) (2,3,5) (3,4,6) (4,5,7) (5,6,1) (6,7,2) (7,1,3):
//   e_p e_q = e_r,  e_q e_r = e_p,  e_r e_p = e_q,
// with the sign flipped when the two factors are swapped.
//
// Bit-exactness: every coefficient starts at +0.0, terms are added in the
// order i ascending then j ascending, and each term is (s * a_i) * b_j. A
// zero coefficient (+0.0 or -0.0) of either factor contributes nothing, so
// 0 * inf is never formed; NaN is not zero and is multiplied in.
#pragma once

#include <array>
#include <cstdint>

namespace vok {

using Octonion = std::array<double, 8>;

// e_i * e_j = sign * e_target.
struct OctonionUnit {
    std::int8_t sign;
    std::uint8_t target;
};

namespace detail {
constexpr OctonionUnit P(int k) { return {+1, static_cast<std::uint8_t>(k)}; }
constexpr OctonionUnit M(int k) { return {-1, static_cast<std::uint8_t>(k)}; }
}  // namespace detail

// Row by row: entry 8 * i + j is e_i * e_j.
inline constexpr std::array<OctonionUnit, 64> kOctonionTable = [] {
    using detail::M;
    using detail::P;
    return std::array<OctonionUnit, 64>{
        P(0), P(1), P(2), P(3), P(4), P(5), P(6), P(7),  // e0
        P(1), M(0), P(4), P(7), M(2), P(6), M(5), M(3),  // e1
        P(2), M(4), M(0), P(5), P(1), M(3), P(7), M(6),  // e2
        P(3), M(7), M(5), M(0), P(6), P(2), M(4), P(1),  // e3
        P(4), P(2), M(1), M(6), M(0), P(7), P(3), M(5),  // e4
        P(5), M(6), P(3), M(2), M(7), M(0), P(1), P(4),  // e5
        P(6), P(5), M(7), P(4), M(3), M(1), M(0), P(2),  // e6
        P(7), P(3), P(6), M(1), P(5), M(4), M(2), M(0),  // e7
    };
}();

// c = a * b.
inline Octonion octonion_mul(const Octonion& a, const Octonion& b) {
    Octonion c{};  // every coefficient starts at +0.0
    for (int i = 0; i < 8; ++i) {
        if (a[i] == 0.0) continue;
        for (int j = 0; j < 8; ++j) {
            if (b[j] == 0.0) continue;
            const OctonionUnit u = kOctonionTable[8 * i + j];
            c[u.target] += (static_cast<double>(u.sign) * a[i]) * b[j];
        }
    }
    return c;
}

}  // namespace vok
