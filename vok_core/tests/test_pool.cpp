// The worker pool: order, coverage, uneven work, worker counts, errors.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool.hpp"

namespace {

TEST(PoolEnv, ParsesThreadCounts) {
    EXPECT_EQ(vok::parse_thread_count("4"), 4u);
    EXPECT_EQ(vok::parse_thread_count("+3"), 3u);
    EXPECT_EQ(vok::parse_thread_count("0"), 0u);
    EXPECT_EQ(vok::parse_thread_count("+0"), 0u);
    EXPECT_EQ(vok::parse_thread_count(nullptr), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count(""), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count("+"), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count("-2"), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count(" 2"), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count("2x"), std::nullopt);
    EXPECT_EQ(vok::parse_thread_count("99999999999999999999999"), std::nullopt);  // does not fit
}

// Restores an environment variable when the test ends, so that the pool of
// this process is still sized by what the test run was started with.
struct SavedEnv {
    explicit SavedEnv(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) value_ = v;
    }
    ~SavedEnv() {
        if (value_) ::setenv(name_, value_->c_str(), 1);
        else ::unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> value_;
};

TEST(PoolEnv, EnvironmentPicksTheCount) {
    SavedEnv a("RAYON_NUM_THREADS"), b("RAYON_RS_NUM_CPUS");
    ::setenv("RAYON_NUM_THREADS", "3", 1);
    ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
    EXPECT_EQ(vok::configured_threads(), 3u);
    ::setenv("RAYON_NUM_THREADS", "0", 1);  // zero: the default, whatever else is set
    EXPECT_EQ(vok::configured_threads(), vok::available_cpus());
    ::setenv("RAYON_NUM_THREADS", "lots", 1);  // unparsable: the next source decides
    EXPECT_EQ(vok::configured_threads(), 5u);
    ::setenv("RAYON_NUM_THREADS", "", 1);
    EXPECT_EQ(vok::configured_threads(), 5u);
    ::setenv("RAYON_RS_NUM_CPUS", "0", 1);
    EXPECT_EQ(vok::configured_threads(), vok::available_cpus());
    ::unsetenv("RAYON_RS_NUM_CPUS");
    EXPECT_EQ(vok::configured_threads(), vok::available_cpus());
    ::unsetenv("RAYON_NUM_THREADS");
    EXPECT_GE(vok::available_cpus(), 1u);
}

TEST(Pool, OrderedMapKeepsIndexOrderForManySizes) {
    for (std::size_t n : {0, 1, 2, 3, 7, 8, 9, 63, 64, 65, 1000, 4097, 100000}) {
        auto out = vok::ordered_map<std::size_t>(n, [](std::size_t i) { return i * 3 + 1; });
        ASSERT_EQ(out.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i * 3 + 1) << "n=" << n;
    }
}

TEST(Pool, PiecesCoverTheRangeExactlyOnceInAscendingOrder) {
    const std::size_t n = 50000;
    std::vector<std::atomic<int>> hits(n);
    std::atomic<std::size_t> pieces{0};
    vok::parallel_for(n, [&](std::size_t b, std::size_t e) {
        ASSERT_LT(b, e);
        pieces.fetch_add(1);
        for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
    // Recursive halving makes a handful of pieces per worker, never one per element.
    EXPECT_LE(pieces.load(), 64 * vok::pool_size());
}

TEST(Pool, UnevenWorkStillCompletesInOrder) {
    // The last elements are far more expensive than the first: stolen halves
    // must be split again for the workers to share them.
    const std::size_t n = 4000;
    auto out = vok::ordered_map<double>(n, [n](std::size_t i) {
        double acc = 0;
        const std::size_t reps = i > n - n / 8 ? 2000 : 1;
        for (std::size_t k = 0; k < reps; ++k) acc += std::sqrt(static_cast<double>(i + k));
        return acc;
    });
    for (std::size_t i = 0; i < n; i += 97) {
        double acc = 0;
        const std::size_t reps = i > n - n / 8 ? 2000 : 1;
        for (std::size_t k = 0; k < reps; ++k) acc += std::sqrt(static_cast<double>(i + k));
        ASSERT_EQ(out[i], acc);
    }
}

TEST(Pool, FilterMapConcatenatesInIndexOrder) {
    for (std::size_t n : {0, 1, 2, 5, 1000, 77777}) {
        auto kept = vok::ordered_filter_map<std::size_t>(
            n, [](std::size_t i) -> std::optional<std::size_t> {
                if (i % 3 == 1) return std::nullopt;
                return i;
            });
        std::vector<std::size_t> want;
        for (std::size_t i = 0; i < n; ++i)
            if (i % 3 != 1) want.push_back(i);
        ASSERT_EQ(kept, want) << "n=" << n;
    }
}

TEST(Pool, WorkerFailureReachesTheCaller) {
    EXPECT_THROW(vok::parallel_for(1000,
                                   [](std::size_t b, std::size_t e) {
                                       if (b <= 500 && 500 < e) throw std::runtime_error("piece failed");
                                   }),
                 std::runtime_error);
    // The pool is still usable afterwards.
    auto out = vok::ordered_map<int>(100, [](std::size_t i) { return static_cast<int>(i); });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), 0), 4950);
}

TEST(Pool, ManyWorkersAndBackToBackJobs) {
    // Many consecutive small jobs exercise the hand-off and the wake-ups.
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = 2 + static_cast<std::size_t>(round % 37);
        auto out = vok::ordered_map<std::size_t>(n, [round](std::size_t i) { return i + static_cast<std::size_t>(round); });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i + static_cast<std::size_t>(round));
    }
}

}  // namespace
