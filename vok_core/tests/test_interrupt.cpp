// Interruption on the calling thread: the installed poll, nested scopes, and
// the long kernels' interruption points.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "discover/expr.hpp"
#include "discover/fingerprint.hpp"
#include "poll_probe.hpp"
#include "interrupt.hpp"
#include "knot.hpp"
#include "multivector.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Calls interruption_point() for `span` of wall time; true if it threw.
bool interrupted_within(Clock::duration span) {
    const auto end = Clock::now() + span;
    try {
        while (Clock::now() < end) vok::interruption_point(1000);
    } catch (const vok::Interrupted&) {
        return true;
    }
    return false;
}

TEST(Interrupt, ThePollDecidesAndNestedScopesRestoreTheOuterOne) {
    Poll outer, inner(true);
    {
        vok::PollScope a(Poll::ask, &outer);
        {
            vok::PollScope b(Poll::ask, &inner);
            EXPECT_TRUE(interrupted_within(std::chrono::seconds(10)));
            EXPECT_EQ(inner.calls, 1);
            EXPECT_EQ(inner.thread, std::this_thread::get_id());
        }
        EXPECT_FALSE(interrupted_within(4 * vok::kPollInterval));
        EXPECT_GE(outer.calls, 1);  // polled again, and it said go on
        EXPECT_EQ(inner.calls, 1);
    }
    const int asked = outer.calls;
    EXPECT_FALSE(interrupted_within(3 * vok::kPollInterval));  // no poll: never stops
    EXPECT_EQ(outer.calls, asked);
}

TEST(Interrupt, PollsAreAskedOnlyOnTheirOwnThread) {
    Poll stop(true);
    vok::PollScope scope(Poll::ask, &stop);
    bool other_stopped = true;
    std::thread([&] { other_stopped = interrupted_within(3 * vok::kPollInterval); }).join();
    EXPECT_FALSE(other_stopped);
    EXPECT_EQ(stop.calls, 0);
}

// Dense multivectors of dimension d with varied coefficients.
std::vector<double> dense(unsigned d, double seed) {
    std::vector<double> v(std::size_t{1} << d);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = seed + static_cast<double>(k % 7) - 3.0;
    return v;
}

TEST(Interrupt, LongKernelsStopWhenAsked) {
    Poll stop(true);
    vok::PollScope scope(Poll::ask, &stop);
    // Dimension 15: about a billion terms, far longer than one poll interval.
    const auto a = dense(15, 0.5), b = dense(15, 0.25);
    const std::vector<std::int8_t> signature(15, 1);
    EXPECT_THROW(vok::geometric_product(a, b, signature), vok::Interrupted);
    EXPECT_THROW(vok::simulate_pulses(0.0, 1.0, std::uint64_t{1} << 24), vok::Interrupted);
    // sin applied 2000 times to a column of a million rows.
    namespace d = vok::discover;
    d::Expr expr{{d::Token{d::TokenKind::Var, d::OpCode::Neg, 0, 0.0}}};
    expr.tokens.resize(2001, d::Token{d::TokenKind::Op, d::OpCode::Sin, 0, 0.0});
    const std::vector<std::vector<double>> columns{std::vector<double>(1 << 20, 0.5)};
    EXPECT_THROW(d::eval_batch(expr, columns, {}), vok::Interrupted);
    // Growing a shard of a search's seen set to 2^25 slots (1.5 GiB); the
    // set stays as it was.
    d::FingerprintSet seen;
    EXPECT_FALSE(seen.insert(d::Fingerprint{}));
    EXPECT_THROW(seen.lock_shard(0).reserve(std::size_t{1} << 24), vok::Interrupted);
    EXPECT_TRUE(seen.insert(d::Fingerprint{}));
    EXPECT_GE(stop.calls, 4);
}

TEST(Interrupt, APollThatSaysGoOnLeavesTheValuesAlone) {
    const auto a = dense(11, 0.5), b = dense(11, -0.75);
    const std::vector<std::int8_t> signature = {1, -1, 0, 2, 1, 1, -3, 1, 1, 1, 1};
    const auto plain_product = vok::geometric_product(a, b, signature);
    const auto plain_pulses = vok::simulate_pulses(0.3, 1.7, 1 << 20);
    Poll go_on;
    vok::PollScope scope(Poll::ask, &go_on);
    const auto product = vok::geometric_product(a, b, signature);
    const auto pulses = vok::simulate_pulses(0.3, 1.7, 1 << 20);
    ASSERT_FALSE(product.fault);
    EXPECT_EQ(0, std::memcmp(product.c.data(), plain_product.c.data(), product.c.size() * sizeof(double)));
    ASSERT_EQ(pulses.size(), plain_pulses.size());
    EXPECT_EQ(0, std::memcmp(pulses.data(), plain_pulses.data(), pulses.size() * sizeof(vok::PulseRecord)));
}

}  // namespace
