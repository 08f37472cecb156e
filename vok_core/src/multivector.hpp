// Geometric (Clifford) product: the kernel of geometric_product_n.
//
// A multivector is a flat array of 2^d coefficients; coefficient k belongs to
// the blade whose basis vectors are the set bits of k in ascending order
// (0 = 1, 1 = e0, 2 = e1, 3 = e0e1, 4 = e2, ...). The signature holds the
// square of each basis vector; any value -128..127 enters unchanged.
//
// e_i * e_j = g(i, j) * e_(i XOR j). The factor g starts at 1.0 and, for each
// set bit p of j from the lowest up, is negated when i has an odd number of
// bits above p, then multiplied by signature[p] when p is set in i too.
//
// Bit-exactness: c starts at +0.0, terms are added in the order i ascending
// then j ascending, and each term is b_j * (g * a_i). Zero coefficients of
// either factor contribute nothing (0 * inf is never formed); NaN is not zero.
//
// An element cannot be computed, and nothing out of bounds is read, when the
// loop reaches (in its own order) one of: a non-zero a_i with b shorter than
// a; a basis vector shared by two non-zero blades that has no signature
// entry; a product index outside a (only when a's length is not a power of
// two).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "interrupt.hpp"

namespace vok {

struct ProductFault {
    enum Kind : std::uint8_t {
        kBTooShort,    // `where` = length of b
        kNoSignature,  // `where` = the basis vector without an entry
        kOutsideA,     // `where` = the product index i XOR j
    };
    Kind kind;
    std::size_t where;
};

// The message of a fault of element `element`: "{who}: element {element}: ...",
// with a_len the coefficient count of that element's a and sig_len the
// signature's length.
inline std::string product_fault_text(const char* who, std::size_t element, const ProductFault& f, std::size_t a_len,
                                      std::size_t sig_len) {
    const std::string item = "[" + std::to_string(element) + "]";
    std::string msg = std::string(who) + ": element " + std::to_string(element) + ": ";
    switch (f.kind) {
        case ProductFault::kBTooShort:
            msg += "b_batch" + item + " has " + std::to_string(f.where) + " coefficients, fewer than the " +
                   std::to_string(a_len) + " of a_batch" + item;
            break;
        case ProductFault::kNoSignature:
            msg += "basis vector " + std::to_string(f.where) + " has no signature entry (signature has " +
                   std::to_string(sig_len) + " entries)";
            break;
        case ProductFault::kOutsideA:
            msg += "blade " + std::to_string(f.where) + " is outside the " + std::to_string(a_len) +
                   " coefficients of a_batch" + item + " (not a power of two)";
            break;
    }
    return msg;
}

// Marks a blade pair whose factor needs a missing signature entry. A real
// factor is a product of signs and small integers and is never NaN.
inline constexpr double kMissingSignature = std::numeric_limits<double>::quiet_NaN();

// g(i, j) exactly as the step-by-step rule computes it, or kMissingSignature.
inline double blade_factor(std::size_t i, std::size_t j, std::span<const std::int8_t> signature) {
    double g = 1.0;
    for (std::size_t rest = j; rest != 0; rest &= rest - 1) {
        const int p = std::countr_zero(rest);
        if (std::popcount(i >> p >> 1) & 1) g = -g;  // two shifts: p + 1 may be 64
        if ((i >> p) & 1) {
            if (static_cast<std::size_t>(p) >= signature.size()) return kMissingSignature;
            g *= static_cast<double>(signature[p]);
        }
    }
    return g;
}

// The first basis vector (lowest bit of the shared blade i AND j) that has no
// signature entry; meaningful when blade_factor returned kMissingSignature.
inline std::size_t missing_basis_vector(std::size_t shared, std::size_t signature_size) {
    for (std::size_t p = signature_size; p < 64; ++p)
        if ((shared >> p) & 1) return p;
    return signature_size;
}

// The factors g(i, j) of every blade pair below `size`, computed once per call
// so the inner loop reads them instead of recomputing them per term. Each
// stored factor is blade_factor's own value, so the terms are unchanged.
class BladeFactors {
public:
    static constexpr std::size_t kMaxSize = 64;  // d <= 6: at most 4096 factors (32 KiB)

    BladeFactors(std::size_t size, std::span<const std::int8_t> signature) : size_(size), g_(size * size) {
        for (std::size_t i = 0; i < size; ++i)
            for (std::size_t j = 0; j < size; ++j) g_[i * size + j] = blade_factor(i, j, signature);
    }
    std::size_t size() const { return size_; }
    const double* row(std::size_t i) const { return g_.data() + i * size_; }

private:
    std::size_t size_;
    std::vector<double> g_;
};

namespace detail {
// The product loop; factor(i, j) supplies g or kMissingSignature. With
// kChecked false the caller guarantees that no fault can occur (b is long
// enough, a's length is a power of two, every factor exists), and the loop
// drops those tests; the terms and their order are the same.
template <bool kChecked, class Factor>
std::optional<ProductFault> product_loop(std::span<const double> a, std::span<const double> b,
                                         std::size_t signature_size, std::span<double> c, Factor&& factor) {
    const std::size_t n = a.size();
    const std::size_t j_end = std::min(n, b.size());
    WorkMeter meter;  // a single product of dimension 16 takes minutes: it must be stoppable
    for (std::size_t i = 0; i < n; ++i) {
        meter.add(j_end);
        const double ai = a[i];
        if (ai == 0.0) continue;
        for (std::size_t j = 0; j < j_end; ++j) {
            const double bj = b[j];
            if (bj == 0.0) continue;
            const double g = factor(i, j);
            const std::size_t k = i ^ j;
            if constexpr (kChecked) {
                if (std::isnan(g))
                    return ProductFault{ProductFault::kNoSignature, missing_basis_vector(i & j, signature_size)};
                if (k >= n) return ProductFault{ProductFault::kOutsideA, k};
            }
            c[k] += bj * (g * ai);
        }
        if (kChecked && j_end < n) return ProductFault{ProductFault::kBTooShort, b.size()};  // j reached the end of b
    }
    return std::nullopt;
}
}  // namespace detail

// c += a * b, with c holding a.size() coefficients of +0.0 on entry. Uses
// `factors` when it covers a's length, otherwise computes each factor. On a
// fault, c holds a partial sum and must be discarded.
inline std::optional<ProductFault> geometric_product_into(std::span<const double> a, std::span<const double> b,
                                                          std::span<const std::int8_t> signature,
                                                          const BladeFactors* factors, std::span<double> c) {
    if (factors && a.size() <= factors->size()) {
        const auto tabled = [factors](std::size_t i, std::size_t j) { return factors->row(i)[j]; };
        // A power-of-two length 2^d, a long enough b and d signature entries
        // rule out every fault.
        const std::size_t n = a.size();
        if (std::has_single_bit(n) && b.size() >= n &&
            static_cast<std::size_t>(std::countr_zero(n)) <= signature.size())
            return detail::product_loop<false>(a, b, signature.size(), c, tabled);
        return detail::product_loop<true>(a, b, signature.size(), c, tabled);
    }
    return detail::product_loop<true>(
        a, b, signature.size(), c, [signature](std::size_t i, std::size_t j) { return blade_factor(i, j, signature); });
}

// Convenience form: a * b as a new array, or the fault.
struct Product {
    std::vector<double> c;
    std::optional<ProductFault> fault;
};
inline Product geometric_product(std::span<const double> a, std::span<const double> b,
                                 std::span<const std::int8_t> signature, const BladeFactors* factors = nullptr) {
    Product out{std::vector<double>(a.size(), 0.0), std::nullopt};
    out.fault = geometric_product_into(a, b, signature, factors, out.c);
    return out;
}

}  // namespace vok
