// The fitted score's sums over a full group of lanes; see add_fit_rows in
// scoring.hpp.
#include <cstddef>

#include "discover/scoring.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VOK_FIT_X86 1
#include <immintrin.h>
#endif

namespace vok::discover {

namespace {

// Two lanes to a vector: lanes 2h and 2h + 1 in pair h.
void pair_rows(std::array<FitSums, kLanes>& sums, const std::array<const double*, kLanes>& v, std::size_t first,
               std::size_t end, const double* inv, const double* t) {
    using Two = double __attribute__((vector_size(2 * sizeof(double))));
    constexpr std::size_t kPairs = kLanes / 2;
    static_assert(kLanes % 2 == 0);
    Two shift[kPairs], mg[kPairs], cff[kPairs], cfy[kPairs];
    for (std::size_t h = 0; h < kPairs; ++h) {
        const FitSums &x = sums[2 * h], &y = sums[2 * h + 1];
        shift[h] = Two{x.shift, y.shift};
        mg[h] = Two{x.mg, y.mg};
        cff[h] = Two{x.cff, y.cff};
        cfy[h] = Two{x.cfy, y.cfy};
    }
    for (std::size_t r = first; r < end; ++r) {
        const std::size_t i = r - first;
        const double inv_n = inv[r], dy = t[r];
        for (std::size_t h = 0; h < kPairs; ++h) {
            const Two f = {v[2 * h][i], v[2 * h + 1][i]};
            const Two g = f - shift[h];
            const Two dg = g - mg[h];
            mg[h] += dg * inv_n;
            cff[h] += dg * (g - mg[h]);
            cfy[h] += dg * dy;
        }
    }
    for (std::size_t h = 0; h < kPairs; ++h)
        for (std::size_t k = 0; k < 2; ++k) {
            sums[2 * h + k].mg = mg[h][k];
            sums[2 * h + k].cff = cff[h][k];
            sums[2 * h + k].cfy = cfy[h][k];
        }
}

#ifdef VOK_FIT_X86
// The sums of four lanes, one to an element.
struct Quad {
    __m256d shift, mg, cff, cfy;
};

// One row of a quad: add's operations on each element.
__attribute__((target("avx2"), always_inline)) inline void add_row(Quad& q, __m256d f, double inv_n, double dy) {
    const __m256d g = _mm256_sub_pd(f, q.shift);
    const __m256d dg = _mm256_sub_pd(g, q.mg);
    q.mg = _mm256_add_pd(q.mg, _mm256_mul_pd(dg, _mm256_set1_pd(inv_n)));
    q.cff = _mm256_add_pd(q.cff, _mm256_mul_pd(dg, _mm256_sub_pd(g, q.mg)));
    q.cfy = _mm256_add_pd(q.cfy, _mm256_mul_pd(dg, _mm256_set1_pd(dy)));
}

// Four lanes to a vector: lanes 4h .. 4h + 3 in quad h. Four rows at a time
// are loaded from each lane and transposed into rows.
__attribute__((target("avx2"))) void quad_rows(std::array<FitSums, kLanes>& sums,
                                               const std::array<const double*, kLanes>& v, std::size_t first,
                                               std::size_t end, const double* inv, const double* t) {
    constexpr std::size_t kQuads = kLanes / 4;
    static_assert(kLanes % 4 == 0);
    Quad quad[kQuads];
    for (std::size_t h = 0; h < kQuads; ++h) {
        const FitSums* s = &sums[4 * h];
        quad[h].shift = _mm256_setr_pd(s[0].shift, s[1].shift, s[2].shift, s[3].shift);
        quad[h].mg = _mm256_setr_pd(s[0].mg, s[1].mg, s[2].mg, s[3].mg);
        quad[h].cff = _mm256_setr_pd(s[0].cff, s[1].cff, s[2].cff, s[3].cff);
        quad[h].cfy = _mm256_setr_pd(s[0].cfy, s[1].cfy, s[2].cfy, s[3].cfy);
    }
    std::size_t r = first;
    for (; r + 4 <= end; r += 4) {
        const std::size_t i = r - first;
        for (std::size_t h = 0; h < kQuads; ++h) {
            const double* const* lane = &v[4 * h];
            const __m256d a = _mm256_loadu_pd(lane[0] + i), b = _mm256_loadu_pd(lane[1] + i);
            const __m256d c = _mm256_loadu_pd(lane[2] + i), d = _mm256_loadu_pd(lane[3] + i);
            const __m256d ab_even = _mm256_unpacklo_pd(a, b), ab_odd = _mm256_unpackhi_pd(a, b);
            const __m256d cd_even = _mm256_unpacklo_pd(c, d), cd_odd = _mm256_unpackhi_pd(c, d);
            add_row(quad[h], _mm256_permute2f128_pd(ab_even, cd_even, 0x20), inv[r], t[r]);
            add_row(quad[h], _mm256_permute2f128_pd(ab_odd, cd_odd, 0x20), inv[r + 1], t[r + 1]);
            add_row(quad[h], _mm256_permute2f128_pd(ab_even, cd_even, 0x31), inv[r + 2], t[r + 2]);
            add_row(quad[h], _mm256_permute2f128_pd(ab_odd, cd_odd, 0x31), inv[r + 3], t[r + 3]);
        }
    }
    for (; r < end; ++r) {
        const std::size_t i = r - first;
        for (std::size_t h = 0; h < kQuads; ++h) {
            const double* const* lane = &v[4 * h];
            add_row(quad[h], _mm256_setr_pd(lane[0][i], lane[1][i], lane[2][i], lane[3][i]), inv[r], t[r]);
        }
    }
    alignas(32) double out[3][4];
    for (std::size_t h = 0; h < kQuads; ++h) {
        _mm256_store_pd(out[0], quad[h].mg);
        _mm256_store_pd(out[1], quad[h].cff);
        _mm256_store_pd(out[2], quad[h].cfy);
        for (std::size_t k = 0; k < 4; ++k) {
            sums[4 * h + k].mg = out[0][k];
            sums[4 * h + k].cff = out[1][k];
            sums[4 * h + k].cfy = out[2][k];
        }
    }
}
#endif

}  // namespace

void add_fit_rows(std::array<FitSums, kLanes>& sums, const std::array<const double*, kLanes>& v, std::size_t first,
                  std::size_t end, const double* inv, const double* t, SimdLevel level) {
#ifdef VOK_FIT_X86
    static const SimdLevel best = simd_level();
    if (level >= SimdLevel::Avx2 && best >= SimdLevel::Avx2) return quad_rows(sums, v, first, end, inv, t);
#else
    (void)level;
#endif
    pair_rows(sums, v, first, end, inv, t);
}

}  // namespace vok::discover
