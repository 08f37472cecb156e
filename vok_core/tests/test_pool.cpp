// The worker pool: order, coverage, uneven work, worker counts, errors,
// interruption, concurrent submitters, the workers' threads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "poll_probe.hpp"
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
        if (value_)
            ::setenv(name_, value_->c_str(), 1);
        else
            ::unsetenv(name_);
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
    // Recursive halving makes a few pieces per worker and steal, never one
    // per element (how many steals there are depends on timing: with eight
    // workers on a busy machine, hundreds).
    EXPECT_LT(pieces.load(), n / 10);
}

TEST(Pool, UnevenWorkStillCompletesInOrder) {
    // The last elements are far more expensive than the first: stolen halves
    // must be split again for the workers to share them.
    constexpr std::size_t n = 4000;
    auto out = vok::ordered_map<double>(n, [](std::size_t i) {
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
        auto kept = vok::ordered_filter_map<std::size_t>(n, [](std::size_t i) -> std::optional<std::size_t> {
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
        auto out =
            vok::ordered_map<std::size_t>(n, [round](std::size_t i) { return i + static_cast<std::size_t>(round); });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], i + static_cast<std::size_t>(round));
    }
}

TEST(Pool, AllocationFailureOnAWorkerReachesTheCaller) {
    EXPECT_THROW(vok::parallel_for(1000,
                                   [](std::size_t b, std::size_t e) {
                                       if (b <= 700 && 700 < e) throw std::bad_alloc();
                                   }),
                 std::bad_alloc);
    EXPECT_EQ(vok::ordered_map<int>(3, [](std::size_t i) { return static_cast<int>(i); })[2], 2);
}

TEST(Pool, WorkersLeaveAsynchronousSignalsToOtherThreads) {
    std::atomic<int> wrong{0};
    vok::parallel_for(64, [&](std::size_t, std::size_t) {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        if (!sigismember(&mask, SIGINT) || !sigismember(&mask, SIGTERM) || sigismember(&mask, SIGSEGV)) ++wrong;
    });
    EXPECT_EQ(wrong.load(), 0);
}

using Clock = std::chrono::steady_clock;

// Sleeps until `flag` holds: jobs that must outlast a poll wait for the poll
// itself, however slowly a loaded machine runs them. The bound only keeps a
// pool that never polls from hanging the test (which then fails on the count).
template <class Flag>
void sleep_until_set(const Flag& flag) {
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    while (!flag.load() && Clock::now() < give_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Decrements a counter when a body leaves, by return or by exception.
struct Inside {
    explicit Inside(std::atomic<int>& n) : n_(n) { ++n_; }
    ~Inside() { --n_; }
    std::atomic<int>& n_;
};

TEST(PoolInterrupt, AStoppedJobEndsWithNoWorkerInsideAndTakesNoFurtherPieces) {
    Poll stop(true);
    std::atomic<int> inside{0};
    std::atomic<std::size_t> pieces{0};
    {
        vok::PollScope scope(Poll::ask, &stop);
        EXPECT_THROW(vok::parallel_for(1000,
                                       [&](std::size_t, std::size_t) {
                                           const Inside guard(inside);
                                           ++pieces;
                                           for (;;) vok::interruption_point(1000);  // only a cancel ends it
                                       }),
                     vok::Interrupted);
        EXPECT_EQ(inside.load(), 0);  // no worker still runs the body
    }
    EXPECT_EQ(stop.calls, 1);
    EXPECT_EQ(stop.thread, std::this_thread::get_id());
    EXPECT_LE(pieces.load(), vok::pool_size());  // each worker took one piece, none after the stop
    auto out = vok::ordered_map<std::size_t>(5000, [](std::size_t i) { return i; });
    EXPECT_EQ(std::accumulate(out.begin(), out.end(), std::size_t{0}), 5000u * 4999u / 2);
}

TEST(PoolInterrupt, APollThatSaysGoOnIsAskedOnTheSubmittingThreadAndChangesNothing) {
    struct GoOn {
        std::atomic<int> calls{0};
        std::thread::id thread;
        static bool ask(void* ctx) noexcept {
            auto* p = static_cast<GoOn*>(ctx);
            p->thread = std::this_thread::get_id();
            ++p->calls;
            return false;
        }
    } go_on;
    vok::PollScope scope(GoOn::ask, &go_on);
    auto out = vok::ordered_map<double>(64, [&go_on](std::size_t i) {
        sleep_until_set(go_on.calls);
        return std::sqrt(static_cast<double>(i));
    });
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], std::sqrt(static_cast<double>(i)));
    EXPECT_GE(go_on.calls.load(), 1);
    EXPECT_EQ(go_on.thread, std::this_thread::get_id());
}

TEST(PoolInterrupt, ASubmitterWaitingForThePoolStillPolls) {
    std::atomic<bool> release{false}, running{false};
    std::thread holder([&] {
        vok::parallel_for(2, [&](std::size_t, std::size_t) {
            running = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Poll stop(true);
    {
        vok::PollScope scope(Poll::ask, &stop);
        EXPECT_THROW(vok::parallel_for(10, [](std::size_t, std::size_t) {}), vok::Interrupted);
    }
    EXPECT_EQ(stop.calls, 1);
    release = true;
    holder.join();
}

// One thread's job runs under a poll that needs a lock (as a Python poll
// needs the interpreter lock); another thread holds that lock while it waits
// for the pool. The waiter gives the lock up, so the poll gets it and the
// job (which runs until then) ends.
TEST(PoolInterrupt, ASubmitterWaitingForThePoolGivesUpTheLockItHolds) {
    struct Shared {
        std::mutex lock;
        std::atomic<bool> waiter_holds{false}, polled_with_lock{false};
        int refused = 0;  // polls that found the lock taken
    } shared;
    constexpr int kMaxRefused = 100;
    const vok::PollFn poll = [](void* ctx) noexcept {
        auto& s = *static_cast<Shared*>(ctx);
        if (!s.waiter_holds) return false;
        if (s.lock.try_lock()) {
            s.lock.unlock();
            s.polled_with_lock = true;
        } else if (++s.refused == kMaxRefused) {
            s.polled_with_lock = true;  // ends the job: the lock never came
        }
        return false;
    };
    std::atomic<bool> running{false};
    std::thread holder([&] {
        vok::PollScope scope(poll, &shared);
        vok::parallel_for(2, [&](std::size_t, std::size_t) {
            running = true;
            while (!shared.polled_with_lock) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    });
    while (!running) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    {
        std::unique_lock<std::mutex> held(shared.lock);
        const vok::HeldLock declared{[](void* m) noexcept { static_cast<std::mutex*>(m)->unlock(); },
                                     [](void* m) noexcept { static_cast<std::mutex*>(m)->lock(); }, &shared.lock};
        vok::HeldLockScope scope(&declared);
        shared.waiter_holds = true;
        auto out = vok::ordered_map<std::size_t>(100, [](std::size_t i) { return i; });
        EXPECT_EQ(out[99], 99u);
    }
    holder.join();
    EXPECT_LT(shared.refused, kMaxRefused);
}

TEST(Pool, SeveralSubmittingThreadsGetTheirOwnExactResults) {
    auto value = [](std::size_t t, std::size_t round, std::size_t i) {
        return std::sin(static_cast<double>(i * (t + 1) + round)) / static_cast<double>(round + 1);
    };
    std::atomic<int> mismatches{0};
    std::vector<std::thread> submitters;
    for (std::size_t t = 0; t < 4; ++t)
        submitters.emplace_back([&, t] {
            for (std::size_t round = 0; round < 60; ++round) {
                const std::size_t n = 1 + (round * 7919 + t * 104729) % 3000;
                auto out = vok::ordered_map<double>(n, [&](std::size_t i) { return value(t, round, i); });
                for (std::size_t i = 0; i < n; ++i) {
                    const double want = value(t, round, i);
                    if (std::memcmp(&out[i], &want, sizeof want) != 0) ++mismatches;
                }
            }
        });
    for (auto& s : submitters) s.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Pool, AJobSubmittedFromInsideAJobRunsWhereItIsSubmitted) {
    // From a body on a worker.
    auto sums = vok::ordered_map<std::size_t>(50, [](std::size_t i) {
        auto inner = vok::ordered_map<std::size_t>(100 + i, [i](std::size_t k) { return k * i; });
        return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
    });
    for (std::size_t i = 0; i < sums.size(); ++i) ASSERT_EQ(sums[i], i * (99 + i) * (100 + i) / 2);
    // From the submitter's poll (Python code run by a signal handler may call
    // the library again).
    struct Nested {
        std::atomic<std::size_t> total{0};
        static bool ask(void* ctx) noexcept {
            auto out = vok::ordered_map<std::size_t>(1000, [](std::size_t k) { return k; });
            static_cast<Nested*>(ctx)->total = std::accumulate(out.begin(), out.end(), std::size_t{0});
            return false;
        }
    } nested;
    vok::PollScope scope(Nested::ask, &nested);
    vok::parallel_for(8, [&nested](std::size_t, std::size_t) { sleep_until_set(nested.total); });
    EXPECT_EQ(nested.total.load(), 999u * 1000u / 2);
}

// The start-failure fact needs a process without a pool yet: the death-test
// child re-runs this test binary from the start.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VOK_SANITIZED 1
#endif
#endif

#ifndef VOK_SANITIZED
// Limits the address space to what it is now plus half a worker's stack
// (room for small allocations, not for one worker), then asks for the pool
// twice; returns how many calls failed with the start-failure text.
int start_failures_with_little_address_space() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word && word != "VmSize:") {
    }
    std::size_t kib = 0;
    status >> kib;
    const rlimit as{kib * 1024 + vok::kWorkerStackBytes / 2, RLIM_INFINITY};
    setrlimit(RLIMIT_AS, &as);
    int failures = 0;
    for (int call = 0; call < 2; ++call) {
        try {
            vok::pool_size();
        } catch (const vok::InternalError& e) {
            if (std::string(e.what()).starts_with("The global thread pool has not been initialized.")) ++failures;
        }
    }
    return failures;
}
#endif

TEST(PoolDeathTest, StartFailureIsReportedOnEveryCall) {
#ifdef VOK_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes reserve address space of their own";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(start_failures_with_little_address_space()), ::testing::ExitedWithCode(2), "");
#endif
}

}  // namespace
