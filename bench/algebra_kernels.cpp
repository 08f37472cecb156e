// Throughput of the algebra products on the worker pool alone, without the
// Python conversion around them: 10^4 products per job, best of 15 jobs.
// Prints one line per case, "<case> <products per second>", with the case
// keys of bench/algebra.py, which runs this with RAYON_NUM_THREADS=1 and 2.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "multivector.hpp"
#include "octonion.hpp"
#include "pool.hpp"

namespace {

constexpr std::size_t kCount = 10000;
constexpr int kRepeats = 15;

template <class Job>
double best_rate(Job&& job) {
    double best = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        job();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return static_cast<double>(kCount) / best;
}

// Dense: every coefficient random. Sparse: one basis element (octonions) or
// the grade-1 coefficients only (multivectors), as in bench/algebra.py.
std::vector<double> make(std::mt19937_64& rng, std::size_t n, int d, bool sparse, bool octonion) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n, 0.0);
    if (!sparse) {
        for (double& x : v) x = u(rng);
    } else if (octonion) {
        v[rng() % 8] = u(rng);
    } else {
        for (int p = 0; p < d; ++p) v[std::size_t{1} << p] = u(rng);
    }
    return v;
}

void octonions(bool sparse) {
    std::mt19937_64 rng(sparse);
    std::vector<vok::Octonion> a(kCount), b(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        const auto x = make(rng, 8, 3, sparse, true), y = make(rng, 8, 3, sparse, true);
        std::copy(x.begin(), x.end(), a[i].begin());
        std::copy(y.begin(), y.end(), b[i].begin());
    }
    const double rate = best_rate([&] {
        auto out =
            vok::ordered_map<vok::Octonion>(kCount, [&](std::size_t i) { return vok::octonion_mul(a[i], b[i]); });
        if (out[0][0] == 12345.0) std::puts("");  // keeps the work observable
    });
    std::printf("octonion/3/%d %.6g\n", sparse ? 1 : 0, rate);
}

void multivectors(int d, bool sparse) {
    std::mt19937_64 rng(2 * d + sparse);
    const std::size_t n = std::size_t{1} << d;
    std::vector<std::int8_t> sig(d, 1);
    sig[d - 1] = -1;
    std::vector<std::vector<double>> a(kCount), b(kCount), c(kCount, std::vector<double>(n));
    for (std::size_t i = 0; i < kCount; ++i)
        a[i] = make(rng, n, d, sparse, false), b[i] = make(rng, n, d, sparse, false);
    const vok::BladeFactors table(n, sig);
    // c is not re-zeroed between jobs (products accumulate): the same work,
    // and the timing holds only the parallel part.
    const double rate = best_rate([&] {
        auto faults = vok::ordered_map<std::optional<vok::ProductFault>>(
            kCount, [&](std::size_t i) { return vok::geometric_product_into(a[i], b[i], sig, &table, c[i]); });
        if (faults[0]) std::puts("fault");
    });
    std::printf("geometric/%d/%d %.6g\n", d, sparse ? 1 : 0, rate);
}

}  // namespace

int main() {
    std::printf("workers %zu\n", vok::pool_size());
    for (bool sparse : {false, true}) octonions(sparse);
    for (int d = 3; d <= 6; ++d)
        for (bool sparse : {false, true}) multivectors(d, sparse);
}
