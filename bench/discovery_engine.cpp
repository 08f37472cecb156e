// Throughput of the formula-discovery engine, without Python.
//
// Runs the default search (every level: the precision goal is disabled so no
// problem stops early) on a fixed set of problems with 1-3 variables and
// 100-1000 rows, once on the calling thread alone and once on the worker
// pool, and prints candidates generated, fingerprinted and scored per second
// and the single-thread / pool time ratio. "scored" counts candidates scored
// on every row; "stopped" those whose scoring ended early because they could
// no longer matter (how many depends on timing); "pool cpu" the CPU time
// of all threads during the pool run, which stays near the one-thread time
// when the parallel steps add no work (and tells a busy machine, where the
// wall-clock ratio means little, from a slow search). Results of the two
// runs must agree.
//
//   build/cpp/discovery_engine [repeats] [problems] [name filter]   (RAYON_NUM_THREADS sets the pool)
//
// problems keeps the first so many; a name filter keeps the problems whose
// name contains it (" 100" keeps those of 100 rows).
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "discover/search_internals.hpp"
#include "guards.hpp"
#include "pool.hpp"

namespace {

using namespace vok::discover;

struct Problem {
    std::string name;
    std::vector<std::vector<double>> cols;
    std::vector<double> y;
};

void serial_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) { body(ctx, 0, n); }

// The calling thread alone, timing the work handed to the executor: the
// share of a search that can run in parallel.
double g_inside = 0;
std::size_t g_handoffs = 0;
void timing_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    ++g_handoffs;
    const auto start = std::chrono::steady_clock::now();
    body(ctx, 0, n);
    g_inside += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<Problem> problems() {
    std::mt19937_64 rng(20261207);
    auto uniform = [&](double a, double b, std::size_t n) {
        std::vector<double> v(n);
        for (double& x : v) x = std::uniform_real_distribution<double>(a, b)(rng);
        return v;
    };
    std::vector<Problem> ps;
    auto one = [&](const char* name, std::size_t rows, double lo, double hi, double (*f)(double)) {
        Problem p{name, {uniform(lo, hi, rows)}, {}};
        for (double x : p.cols[0]) p.y.push_back(f(x));
        ps.push_back(std::move(p));
    };
    auto two = [&](const char* name, std::size_t rows, double (*f)(double, double)) {
        Problem p{name, {uniform(0.2, 3.0, rows), uniform(-2.0, 2.0, rows)}, {}};
        for (std::size_t r = 0; r < rows; ++r) p.y.push_back(f(p.cols[0][r], p.cols[1][r]));
        ps.push_back(std::move(p));
    };
    auto three = [&](const char* name, std::size_t rows, double (*f)(double, double, double)) {
        Problem p{name, {uniform(0.5, 2.0, rows), uniform(-1.0, 1.0, rows), uniform(1.0, 4.0, rows)}, {}};
        for (std::size_t r = 0; r < rows; ++r) p.y.push_back(f(p.cols[0][r], p.cols[1][r], p.cols[2][r]));
        ps.push_back(std::move(p));
    };
    // The flagship: 100 rows of one variable, a target the search never hits exactly.
    one("x^3-x/2 +noise 100", 100, -2.0, 2.0, [](double x) { return x * x * x - x / 2 + 0.01 * std::sin(97 * x); });
    one("sin(x)*x 100", 100, -3.0, 3.0, [](double x) { return std::sin(x) * x; });
    one("exp(-x^2) 200", 200, -2.0, 2.0, [](double x) { return std::exp(-x * x); });
    one("ln(1+x^2) 300", 300, -3.0, 3.0, [](double x) { return std::log(1 + x * x); });
    one("sqrt(x)+1/x 400", 400, 0.1, 5.0, [](double x) { return std::sqrt(x) + 1 / x; });
    one("cos(2x)-x 500", 500, -2.0, 2.0, [](double x) { return std::cos(2 * x) - x; });
    one("vok(x,x+1) 600", 600, 0.0, 3.0, [](double x) { return vok::tension(x, x + 1); });
    one("x^4 700", 700, -1.5, 1.5, [](double x) { return x * x * x * x + 0.3; });
    one("tanh-ish 800", 800, -3.0, 3.0, [](double x) { return x / std::sqrt(1 + x * x); });
    one("1/(1+x) 1000", 1000, 0.0, 4.0, [](double x) { return 1 / (1 + x) + 0.05 * x; });
    two("x*y+1 100", 100, [](double x, double y) { return x * y + 1; });
    two("x/y-ish 200", 200, [](double x, double y) { return x / (2.5 + y); });
    two("exp(y)-x 400", 400, [](double x, double y) { return std::exp(y) - x * 0.7; });
    two("sin(x*y) 600", 600, [](double x, double y) { return std::sin(x * y); });
    two("sqrt(x)+y^2 800", 800, [](double x, double y) { return std::sqrt(x) + y * y; });
    two("ln(x)*y 1000", 1000, [](double x, double y) { return std::log(x) * y + 0.1; });
    three("x*y*z 100", 100, [](double x, double y, double z) { return x * y * z; });
    three("x+y/z 300", 300, [](double x, double y, double z) { return x + y / z; });
    three("exp(y)*z-x 600", 600, [](double x, double y, double z) { return std::exp(y) * z - x; });
    three("cos(x)+ln(z)*y 1000", 1000, [](double x, double y, double z) { return std::cos(x) + std::log(z) * y; });
    return ps;
}

struct Timed {
    double seconds = 0;
    double cpu_seconds = 0;  // of all the process's threads: the work done, whoever waited
    SearchTrace trace;
    std::optional<SearchResult> result;
};

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

Timed time_search(const Problem& p, Executor ex, int repeats, bool fitted = false) {
    SearchOptions o;
    o.precision_goal = -1.0;  // run all levels
    o.fit.enabled = fitted;
    Timed best;
    for (int k = 0; k < repeats; ++k) {
        Timed t;
        const double cpu = cpu_now();
        const auto start = std::chrono::steady_clock::now();
        t.result = search_with(p.cols, p.y, p.cols.size(), o, SearchInternals{ex, &t.trace});
        t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        t.cpu_seconds = cpu_now() - cpu;
        const double least_cpu = k == 0 ? t.cpu_seconds : std::min(best.cpu_seconds, t.cpu_seconds);
        if (k == 0 || t.seconds < best.seconds) best = std::move(t);
        best.cpu_seconds = least_cpu;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::vector<Problem> ps = problems();
    if (argc > 2)
        ps.resize(std::min<std::size_t>(ps.size(), static_cast<std::size_t>(std::max(1, std::atoi(argv[2])))));
    if (argc > 3) std::erase_if(ps, [&](const Problem& p) { return p.name.find(argv[3]) == std::string::npos; });
    if (ps.empty()) return 2;
    const std::size_t workers = vok::pool_size();
    std::printf("discovery engine, default options, all levels; pool of %zu workers; best of %d\n", workers, repeats);
    std::printf("%-22s %5s %9s %9s %8s %15s %8s %8s %8s %9s %7s  %s\n", "problem", "rows", "generated", "fprinted",
                "scored", "stopped 1w/pool", "1w ms", "pool ms", "pool cpu", "sc+st/s", "ratio", "formula");
    double total1 = 0, totalp = 0;
    std::size_t gen = 0, fp = 0, scored = 0;
    bool agree = true;
    SearchTrace last1, lastp;
    for (const Problem& p : ps) {
        const Timed one = time_search(p, serial_executor, repeats);
        const Timed many = time_search(p, pool_executor, repeats);
        const bool same = one.result && many.result && one.result->formula == many.result->formula &&
                          one.result->error == many.result->error && one.trace.accepted == many.trace.accepted;
        agree = agree && same;
        last1 = one.trace;
        lastp = many.trace;
        total1 += one.seconds;
        totalp += many.seconds;
        gen += many.trace.generated;
        fp += many.trace.fingerprinted;
        scored += many.trace.scored + many.trace.abandoned;
        std::printf(
            "%-22s %5zu %9zu %9zu %8zu %7zu/%7zu %8.1f %8.1f %8.1f %9.3g %7.2f  %s%s\n", p.name.c_str(),
            p.cols[0].size(), many.trace.generated, many.trace.fingerprinted, many.trace.scored, one.trace.abandoned,
            many.trace.abandoned, one.seconds * 1e3, many.seconds * 1e3, many.cpu_seconds * 1e3,
            static_cast<double>(many.trace.scored + many.trace.abandoned) / many.seconds, one.seconds / many.seconds,
            many.result ? many.result->formula.c_str() : "-", same ? "" : "  MISMATCH");
    }
    std::printf(
        "\nphases of the last problem, ms (1 thread / pool): generate %.1f / %.1f, insert %.1f / %.1f, "
        "score %.1f / %.1f, select %.1f / %.1f\n",
        last1.seconds_generate * 1e3, lastp.seconds_generate * 1e3, last1.seconds_insert * 1e3,
        lastp.seconds_insert * 1e3, last1.seconds_score * 1e3, lastp.seconds_score * 1e3, last1.seconds_select * 1e3,
        lastp.seconds_select * 1e3);
    {
        g_inside = 0;
        g_handoffs = 0;
        const Timed t = time_search(ps[0], timing_executor, 1);
        std::printf(
            "parallel share of the first problem on one thread: %.1f%% in %zu parallel steps (Amdahl bound "
            "for 2 workers %.2fx)\n",
            100 * g_inside / t.seconds, g_handoffs, 1 / (1 - g_inside / t.seconds / 2));
    }
    std::printf("total: %.3f s on 1 thread, %.3f s on the pool (ratio %.2f)\n", total1, totalp, total1 / totalp);
    {
        // The fitted search (scale and offset by least squares, no inner
        // constants) on the same problems, all levels, on the pool.
        double fitted = 0;
        for (const Problem& p : ps) fitted += time_search(p, pool_executor, repeats, true).seconds;
        std::printf("fitted search / plain search on the pool, all levels: %.2f (%.3f s against %.3f s)\n",
                    fitted / totalp, fitted, totalp);
    }
    std::printf("per second on the pool: %.3g generated, %.3g fingerprinted, %.3g scored or stopped\n",
                static_cast<double>(gen) / totalp, static_cast<double>(fp) / totalp,
                static_cast<double>(scored) / totalp);
    return agree ? 0 : 1;
}
