// Stopping a search: the checkpoint, the progress callback, interrupts and
// the memory limit of a controlled search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "discover_reference.hpp"
#include "guards.hpp"
#include "interrupt.hpp"

namespace {

using namespace vok::discover;
using namespace discover_test;

// A controlled search over data nothing fits, so that every level runs.
struct Controlled {
    std::vector<std::vector<double>> cols{{1, 2, 3, 4, 5}};
    std::vector<double> y{0.3, -7.0, 11.0, 2.0, 5.5};
    SearchOptions o = opts(5, true, true, 40);
    // The plain search's best when it ends after `level`.
    std::optional<RefResult> ended_after(std::size_t level) const { return ref_search(cols, y, 1, o, level).best; }
};

void expect_result(const std::optional<SearchResult>& got, const std::optional<RefResult>& want) {
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!got) return;
    EXPECT_EQ(got->formula, want->formula);
    EXPECT_EQ(bits(got->error), bits(want->error));
}

TEST(SearchCheckpoint, RunsBeforeEachLevelAndMayAbandon) {
    const Controlled c;
    SearchOptions o = c.o;
    int calls = 0;
    o.checkpoint = [&calls] { ++calls; };
    SearchInternals once_a_level;
    once_a_level.checkpoint_seconds = 1e9;  // never due within a level
    ASSERT_TRUE(search_with(c.cols, c.y, 1, o, once_a_level));
    EXPECT_EQ(calls, 4);  // levels 2 to 5
    struct Abandon {};
    o.checkpoint = [&calls] {
        if (++calls == 7) throw Abandon{};
    };
    EXPECT_THROW(search_with(c.cols, c.y, 1, o, once_a_level), Abandon);
}

// Work done on the calling thread calls the checkpoint as it goes, not only
// between levels; an interrupt there ends a controlled search with the
// levels completed before it.
TEST(SearchCheckpoint, RunsWithinALevelOnTheCallingThread) {
    const Controlled c;
    SearchInternals here{serial_executor, nullptr, kDefaultCacheBudget, SIZE_MAX};  // every step inline
    here.checkpoint_seconds = 0;
    SearchOptions o = c.o;
    int calls = 0;
    o.checkpoint = [&calls] { ++calls; };
    ASSERT_TRUE(search_with(c.cols, c.y, 1, o, here));
    const int total = calls;
    EXPECT_GT(total, 3 * 4);  // several calls per level
    std::size_t last_level = 0;
    const SearchHooks hooks{[&](const LevelProgress& p) { return last_level = p.level, true; }};
    for (int stop : {1, total / 3, total / 2, total - 1}) {
        SCOPED_TRACE(stop);
        calls = 0;
        last_level = 0;
        o.checkpoint = [&calls, stop] {
            if (++calls == stop) throw vok::Interrupted();
        };
        const SearchOutcome r = search_controlled(c.cols, c.y, 1, o, hooks, here);
        EXPECT_EQ(r.reason, StopReason::Interrupted);
        if (last_level == 0)
            EXPECT_FALSE(r.best);  // stopped among the leaves
        else
            expect_result(r.best, c.ended_after(last_level));
    }
}

TEST(SearchControlled, ReportsEveryLevelAndStopsWhenTheCallbackSaysSo) {
    const Controlled c;
    std::vector<LevelProgress> seen;
    std::vector<std::optional<SearchResult>> bests;  // p.best lives only during the call
    SearchHooks hooks;
    hooks.on_level = [&](const LevelProgress& p) {
        seen.push_back(p);
        bests.push_back(p.best ? std::optional<SearchResult>(*p.best) : std::nullopt);
        return true;
    };
    SearchTrace trace;
    const SearchOutcome all = search_controlled(c.cols, c.y, 1, c.o, hooks, SearchInternals{serial_executor, &trace});
    EXPECT_TRUE(all.complete);
    EXPECT_EQ(all.reason, StopReason::Finished);
    expect_result(all.best, c.ended_after(SIZE_MAX));
    ASSERT_EQ(seen.size(), 5u);
    std::size_t total = 0;
    for (std::size_t l = 0; l < seen.size(); ++l) {
        EXPECT_EQ(seen[l].level, l + 1);
        EXPECT_EQ(seen[l].max_level, 5u);
        total += seen[l].candidates;
        EXPECT_EQ(seen[l].candidates_total, total);
        expect_result(bests[l], c.ended_after(l + 1));
    }
    EXPECT_EQ(total, trace.accepted);
    EXPECT_EQ(seen[0].candidates, 3u);  // 0, 1, x

    // Stopped after level 3: the result of a search that ends there.
    hooks.on_level = [](const LevelProgress& p) { return p.level < 3; };
    const SearchOutcome stopped = search_controlled(c.cols, c.y, 1, c.o, hooks);
    EXPECT_FALSE(stopped.complete);
    EXPECT_EQ(stopped.reason, StopReason::Callback);
    expect_result(stopped.best, c.ended_after(3));
}

TEST(SearchControlled, PrecisionGoalIsACompleteEnd) {
    int calls = 0;
    const SearchOutcome r =
        search_controlled(std::vector<std::vector<double>>{{1, 2, 3, 4}}, std::vector<double>{2, 5, 10, 17}, 1,
                          SearchOptions{}, SearchHooks{[&](const LevelProgress&) { return ++calls, false; }});
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.reason, StopReason::Callback);  // it asked to stop after the leaves
    EXPECT_EQ(calls, 1);
    const SearchOutcome goal = search_controlled(std::vector<std::vector<double>>{{1, 2, 3, 4}},
                                                 std::vector<double>{2, 5, 10, 17}, 1, SearchOptions{}, SearchHooks{});
    EXPECT_TRUE(goal.complete);
    EXPECT_EQ(goal.reason, StopReason::PrecisionGoal);
    EXPECT_EQ(goal.best->formula, "((x * x) + 1.0000)");
}

// An executor that throws vok::Interrupted at its n-th call, as the pool does
// when the caller's poll asks to stop in the middle of a parallel step.
std::size_t g_calls_left = 0;
void interrupting_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    if (g_calls_left-- == 0) throw vok::Interrupted();
    threaded_executor(n, body, ctx);
}

TEST(SearchControlled, InterruptsAndTheMemoryLimitKeepTheCompletedLevels) {
    const Controlled c;
    std::size_t last_level = 0;
    SearchHooks hooks;
    hooks.on_level = [&](const LevelProgress& p) { return last_level = p.level, true; };
    // Anywhere in a parallel step: the levels completed before it count.
    for (std::size_t at : {0u, 1u, 4u, 9u, 13u}) {
        SCOPED_TRACE(at);
        g_calls_left = at;
        last_level = 0;
        const SearchOutcome r = search_controlled(
            c.cols, c.y, 1, c.o, hooks, SearchInternals{interrupting_executor, nullptr, kDefaultCacheBudget, 0});
        EXPECT_FALSE(r.complete);
        EXPECT_EQ(r.reason, StopReason::Interrupted);
        if (last_level == 0)
            EXPECT_FALSE(r.best);
        else
            expect_result(r.best, c.ended_after(last_level));
    }
    // From the checkpoint before level 4.
    SearchOptions o = c.o;
    int calls = 0;
    o.checkpoint = [&] {
        if (++calls == 3) throw vok::Interrupted();
    };
    const SearchOutcome r = search_controlled(c.cols, c.y, 1, o, SearchHooks{});
    EXPECT_EQ(r.reason, StopReason::Interrupted);
    expect_result(r.best, c.ended_after(3));
    // The memory limit: the levels that fitted.
    SearchOptions endless = opts(SIZE_MAX, true, true, 4);
    last_level = 0;
    const SearchOutcome m =
        search_controlled(c.cols, c.y, 1, endless, hooks,
                          SearchInternals{serial_executor, nullptr, kDefaultCacheBudget, 0, std::size_t{8} << 20});
    EXPECT_FALSE(m.complete);
    EXPECT_EQ(m.reason, StopReason::MemoryLimit);
    ASSERT_GT(last_level, 10u);
    // The same levels ended by the callback (itself checked above).
    const std::size_t stop_after = last_level;
    const SearchOutcome same = search_controlled(
        c.cols, c.y, 1, endless, SearchHooks{[&](const LevelProgress& p) { return p.level < stop_after; }});
    ASSERT_TRUE(m.best && same.best);
    EXPECT_EQ(m.best->formula, same.best->formula);
    EXPECT_EQ(bits(m.best->error), bits(same.best->error));
}

}  // namespace
