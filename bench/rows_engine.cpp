// How the fitted search's cost grows with the rows, without Python.
//
// The search vok_math.discover runs at its defaults (the fitted search with
// its refinement of constants), on y = a*b/c + exp(-a) over three variables
// drawn from a fixed seed, for each row count: once as it was before (a
// member cache of a fixed 128 MiB, no seeded cutoff) and once as it is
// (the cache a share of the memory limit, members without one evaluated a
// block at a time, the seeds' cutoff, and when members are not cached the
// candidates still in play after their first rows finished together a chunk
// of rows at a time), on the pool, and once on the calling
// thread alone. It prints wall and CPU seconds (the CPU time of all threads:
// the work done, which a busy machine does not inflate as it does the wall
// time), their ratios, and the time ratio of successive row counts. Then
// the exact column operators: nanoseconds per row at each SIMD level.
//
//   build/cpp/rows_engine [--now] [rows ...]   (RAYON_NUM_THREADS sets the pool)
//
// --now runs only the search as it is (for row counts where the others take
// too long).
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <algorithm>
#include <bit>
#include <vector>

#include "discover/exact_columns.hpp"
#include "discover/refine.hpp"
#include "discover/search_internals.hpp"
#include "pool.hpp"

namespace {

using namespace vok::discover;

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Timed {
    double wall = 0, cpu = 0;
    std::optional<SearchResult> best;
    SearchTrace trace;
};

Timed run(const std::vector<std::vector<double>>& cols, const std::vector<double>& y, SearchInternals in) {
    SearchOptions o;
    o.fit.enabled = true;
    o.fit.refine = refine_hook(cols, y, o);
    Timed t;
    in.trace = &t.trace;
    const double cpu = cpu_now();
    const auto start = std::chrono::steady_clock::now();
    SearchHooks hooks;
    hooks.pareto = true;
    t.best = search_controlled(cols, y, cols.size(), o, hooks, in).best;
    t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    t.cpu = cpu_now() - cpu;
    return t;
}

void serial(std::size_t n, vok::detail::RangeFn body, void* ctx) { body(ctx, 0, n); }

void exact_operators() {
    constexpr std::size_t kRows = 256, kRounds = 40000;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.5, 2.0);
    std::vector<double> a(kRows), b(kRows), out(kRows);
    for (std::size_t r = 0; r < kRows; ++r) a[r] = u(rng), b[r] = u(rng);
    std::printf("\nexact operators, ns per row (256-row blocks): scalar / SSE2 / AVX2 (this machine: level %d)\n",
                static_cast<int>(simd_level()));
    for (OpCode op : {OpCode::Neg, OpCode::Recip, OpCode::Sqrt, OpCode::Add, OpCode::Mul, OpCode::Div}) {
        std::printf("  %-6s", kOperatorNames[static_cast<int>(op)]);
        double scalar = 0, best = 0;
        for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2}) {
            bool ok = true;
            const auto start = std::chrono::steady_clock::now();
            for (std::size_t k = 0; k < kRounds; ++k) {
                apply_exact_column(op, a.data(), b.data(), out.data(), kRows, &ok, level);
                a[k % kRows] = out[(k * 7) % kRows] > 1e300 ? 1.0 : a[k % kRows];  // keeps the loop's work alive
            }
            const double ns =
                std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                (kRounds * kRows);
            if (level == SimdLevel::Scalar) scalar = best = ns;
            best = std::min(best, ns);
            std::printf("  %6.3f", ns);
        }
        std::printf("   (scalar / best %.2f)\n", scalar / best);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> rows;
    bool only_now = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--now")
            only_now = true;
        else
            rows.push_back(static_cast<std::size_t>(std::atof(argv[i])));
    }
    if (rows.empty()) rows = {100, 10000, 100000};
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("pool of %zu workers\n", vok::pool_size());
    std::printf("%9s %22s %22s %8s %8s %22s  formula\n", "rows", "before: wall / cpu s", "now: wall / cpu s", "wall x",
                "cpu x", "1 thread: wall / cpu s");
    double last = 0, last_cpu = 0;
    std::size_t last_rows = 0;
    for (std::size_t n : rows) {
        std::mt19937_64 rng(1);
        std::uniform_real_distribution<double> u(0.5, 2.0);
        std::vector<std::vector<double>> cols(3, std::vector<double>(n));
        std::vector<double> y(n);
        for (std::size_t r = 0; r < n; ++r) {
            for (auto& c : cols) c[r] = u(rng);
            y[r] = cols[0][r] * cols[1][r] / cols[2][r] + std::exp(-cols[0][r]);
        }
        SearchInternals before;
        before.cache_budget = std::size_t{1} << 24;
        before.seed_cutoff = false;
        before.defer_rows = 0;
        const Timed now = run(cols, y, SearchInternals{});
        SearchInternals alone;
        alone.executor = serial;
        const Timed old = only_now ? now : run(cols, y, before);
        const Timed one = only_now ? now : run(cols, y, alone);
        const bool same =
            old.best && now.best && one.best && old.best->formula == now.best->formula &&
            std::bit_cast<std::uint64_t>(old.best->error) == std::bit_cast<std::uint64_t>(now.best->error) &&
            one.best->formula == now.best->formula;
        std::printf("%9zu %10.3f / %9.3f %10.3f / %9.3f %8.2f %8.2f %10.3f / %9.3f  %s%s\n", n, old.wall, old.cpu,
                    now.wall, now.cpu, old.wall / now.wall, old.cpu / now.cpu, one.wall, one.cpu,
                    now.best ? now.best->formula.c_str() : "-", same ? "" : "  (RESULTS DIFFER)");
        std::printf("          candidates scored on every row / stopped early: before %zu / %zu, now %zu / %zu\n",
                    old.trace.scored, old.trace.abandoned, now.trace.scored, now.trace.abandoned);
        if (last_rows)
            std::printf("          time(%zu) / time(%zu): wall %.2f, cpu %.2f\n", n, last_rows, now.wall / last,
                        now.cpu / last_cpu);
        last = now.wall;
        last_cpu = now.cpu;
        last_rows = n;
    }
    exact_operators();
    return 0;
}
