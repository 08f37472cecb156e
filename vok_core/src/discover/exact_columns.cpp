// The exact column operators on packed registers; see exact_columns.hpp.
//
// Each row's failure test leaves bit 63 of a word set, as in expr.cpp: for a
// result v, (bits(v) & exponent) + one exponent unit carries into bit 63
// exactly when v is infinite or NaN; for a divisor d, (bits(d) & ~sign) -
// bits(1e-300) wraps below zero exactly when |d| < 1e-300 (never for NaN).
// The words of all rows are ORed together and bit 63 decides.
#include "discover/exact_columns.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VOK_EXACT_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace vok::discover {

namespace {

constexpr std::uint64_t kExponent = 0x7FF0000000000000ULL;
constexpr std::uint64_t kExponentUnit = 0x0010000000000000ULL;
constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFFULL;
const std::uint64_t kFloorBits = std::bit_cast<std::uint64_t>(kDivisorFloor);

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Rows [from, n) as apply_op_column computes them, with their failure word.
template <OpCode Op>
std::uint64_t scalar_rows(const double* a, const double* b, double* out, std::size_t from, std::size_t n) {
    std::uint64_t bad = 0;
    for (std::size_t r = from; r < n; ++r) {
        double v, divisor = 1.0;
        if constexpr (Op == OpCode::Neg) {
            v = -a[r];
        } else if constexpr (Op == OpCode::Recip) {
            divisor = a[r];
            v = 1.0 / divisor;
        } else if constexpr (Op == OpCode::Sqrt) {
            v = std::sqrt(a[r]);
        } else if constexpr (Op == OpCode::Add) {
            v = a[r] + b[r];
        } else if constexpr (Op == OpCode::Sub) {
            v = a[r] - b[r];
        } else if constexpr (Op == OpCode::Mul) {
            v = a[r] * b[r];
        } else {
            divisor = b[r];
            v = a[r] / divisor;
        }
        out[r] = v;
        bad |= (bits(v) & kExponent) + kExponentUnit;
        if constexpr (Op == OpCode::Recip || Op == OpCode::Div) bad |= (bits(divisor) & kMagnitude) - kFloorBits;
    }
    return bad;
}

std::uint64_t scalar_rows(OpCode op, const double* a, const double* b, double* out, std::size_t from, std::size_t n) {
    switch (op) {
        case OpCode::Neg:
            return scalar_rows<OpCode::Neg>(a, b, out, from, n);
        case OpCode::Recip:
            return scalar_rows<OpCode::Recip>(a, b, out, from, n);
        case OpCode::Sqrt:
            return scalar_rows<OpCode::Sqrt>(a, b, out, from, n);
        case OpCode::Add:
            return scalar_rows<OpCode::Add>(a, b, out, from, n);
        case OpCode::Sub:
            return scalar_rows<OpCode::Sub>(a, b, out, from, n);
        case OpCode::Mul:
            return scalar_rows<OpCode::Mul>(a, b, out, from, n);
        default:
            return scalar_rows<OpCode::Div>(a, b, out, from, n);
    }
}

#ifdef VOK_EXACT_X86

// Two rows per step, on the x86-64 baseline: the rows [0, *done) with
// their failure word.
template <OpCode Op>
std::uint64_t sse2_rows(const double* a, const double* b, double* out, std::size_t n, std::size_t* done) {
    const __m128i exponent = _mm_set1_epi64x(static_cast<long long>(kExponent));
    const __m128i unit = _mm_set1_epi64x(static_cast<long long>(kExponentUnit));
    const __m128i magnitude = _mm_set1_epi64x(static_cast<long long>(kMagnitude));
    const __m128i floor = _mm_set1_epi64x(static_cast<long long>(kFloorBits));
    const __m128d one = _mm_set1_pd(1.0);
    __m128i bad = _mm_setzero_si128();
    std::size_t r = 0;
    for (; r + 2 <= n; r += 2) {
        const __m128d x = _mm_loadu_pd(a + r);
        __m128d v, divisor = one;
        if constexpr (Op == OpCode::Neg) {
            v = _mm_xor_pd(x, _mm_set1_pd(-0.0));
        } else if constexpr (Op == OpCode::Recip) {
            v = _mm_div_pd(one, x);
            divisor = x;
        } else if constexpr (Op == OpCode::Sqrt) {
            v = _mm_sqrt_pd(x);
        } else if constexpr (Op == OpCode::Add) {
            v = _mm_add_pd(x, _mm_loadu_pd(b + r));
        } else if constexpr (Op == OpCode::Sub) {
            v = _mm_sub_pd(x, _mm_loadu_pd(b + r));
        } else if constexpr (Op == OpCode::Mul) {
            v = _mm_mul_pd(x, _mm_loadu_pd(b + r));
        } else {
            divisor = _mm_loadu_pd(b + r);
            v = _mm_div_pd(x, divisor);
        }
        _mm_storeu_pd(out + r, v);
        bad = _mm_or_si128(bad, _mm_add_epi64(_mm_and_si128(_mm_castpd_si128(v), exponent), unit));
        if constexpr (Op == OpCode::Recip || Op == OpCode::Div)
            bad = _mm_or_si128(bad, _mm_sub_epi64(_mm_and_si128(_mm_castpd_si128(divisor), magnitude), floor));
    }
    *done = r;
    alignas(16) std::uint64_t words[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(words), bad);
    return words[0] | words[1];
}

// Four rows per step, as sse2_rows.
template <OpCode Op>
__attribute__((target("avx2"))) std::uint64_t avx2_rows(const double* a, const double* b, double* out, std::size_t n,
                                                        std::size_t* done) {
    const __m256i exponent = _mm256_set1_epi64x(static_cast<long long>(kExponent));
    const __m256i unit = _mm256_set1_epi64x(static_cast<long long>(kExponentUnit));
    const __m256i magnitude = _mm256_set1_epi64x(static_cast<long long>(kMagnitude));
    const __m256i floor = _mm256_set1_epi64x(static_cast<long long>(kFloorBits));
    const __m256d one = _mm256_set1_pd(1.0);
    __m256i bad = _mm256_setzero_si256();
    std::size_t r = 0;
    for (; r + 4 <= n; r += 4) {
        const __m256d x = _mm256_loadu_pd(a + r);
        __m256d v, divisor = one;
        if constexpr (Op == OpCode::Neg) {
            v = _mm256_xor_pd(x, _mm256_set1_pd(-0.0));
        } else if constexpr (Op == OpCode::Recip) {
            v = _mm256_div_pd(one, x);
            divisor = x;
        } else if constexpr (Op == OpCode::Sqrt) {
            v = _mm256_sqrt_pd(x);
        } else if constexpr (Op == OpCode::Add) {
            v = _mm256_add_pd(x, _mm256_loadu_pd(b + r));
        } else if constexpr (Op == OpCode::Sub) {
            v = _mm256_sub_pd(x, _mm256_loadu_pd(b + r));
        } else if constexpr (Op == OpCode::Mul) {
            v = _mm256_mul_pd(x, _mm256_loadu_pd(b + r));
        } else {
            divisor = _mm256_loadu_pd(b + r);
            v = _mm256_div_pd(x, divisor);
        }
        _mm256_storeu_pd(out + r, v);
        bad = _mm256_or_si256(bad, _mm256_add_epi64(_mm256_and_si256(_mm256_castpd_si256(v), exponent), unit));
        if constexpr (Op == OpCode::Recip || Op == OpCode::Div)
            bad = _mm256_or_si256(bad,
                                  _mm256_sub_epi64(_mm256_and_si256(_mm256_castpd_si256(divisor), magnitude), floor));
    }
    *done = r;
    alignas(32) std::uint64_t words[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words), bad);
    return words[0] | words[1] | words[2] | words[3];
}

using Rows = std::uint64_t (*)(const double*, const double*, double*, std::size_t, std::size_t*);

// The packed loop of op at a level (not Scalar), or null for other operators.
Rows packed_rows(OpCode op, SimdLevel level) {
    const bool wide = level == SimdLevel::Avx2;
    switch (op) {
        case OpCode::Neg:
            return wide ? avx2_rows<OpCode::Neg> : sse2_rows<OpCode::Neg>;
        case OpCode::Recip:
            return wide ? avx2_rows<OpCode::Recip> : sse2_rows<OpCode::Recip>;
        case OpCode::Sqrt:
            return wide ? avx2_rows<OpCode::Sqrt> : sse2_rows<OpCode::Sqrt>;
        case OpCode::Add:
            return wide ? avx2_rows<OpCode::Add> : sse2_rows<OpCode::Add>;
        case OpCode::Sub:
            return wide ? avx2_rows<OpCode::Sub> : sse2_rows<OpCode::Sub>;
        case OpCode::Mul:
            return wide ? avx2_rows<OpCode::Mul> : sse2_rows<OpCode::Mul>;
        case OpCode::Div:
            return wide ? avx2_rows<OpCode::Div> : sse2_rows<OpCode::Div>;
        default:
            return nullptr;
    }
}

// AVX2 needs the processor's support and the system's: saving the YMM
// registers' upper halves (XCR0 bits 1 and 2, readable when OSXSAVE is set).
bool has_avx2() {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return false;
    unsigned xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 6u) != 6u) return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_AVX2);
}

#endif

bool exact(OpCode op) {
    switch (op) {
        case OpCode::Neg:
        case OpCode::Recip:
        case OpCode::Sqrt:
        case OpCode::Add:
        case OpCode::Sub:
        case OpCode::Mul:
        case OpCode::Div:
            return true;
        default:
            return false;
    }
}

}  // namespace

SimdLevel simd_level() {
#ifdef VOK_EXACT_X86
    return has_avx2() ? SimdLevel::Avx2 : SimdLevel::Sse2;
#else
    return SimdLevel::Scalar;
#endif
}

bool apply_exact_column(OpCode op, const double* a, const double* b, double* out, std::size_t n, bool* ok,
                        SimdLevel level) {
    if (!exact(op)) return false;
    std::size_t done = 0;
    std::uint64_t bad = 0;
#ifdef VOK_EXACT_X86
    static const SimdLevel best = simd_level();
    if (level > best) level = best;
    if (level != SimdLevel::Scalar) bad = packed_rows(op, level)(a, b, out, n, &done);
#else
    (void)level;
#endif
    bad |= scalar_rows(op, a, b, out, done, n);
    *ok = (bad >> 63) == 0;
    return true;
}

}  // namespace vok::discover
