#include "interrupt.hpp"

namespace vok {

using Clock = std::chrono::steady_clock;

PollScope::PollScope(PollFn poll, void* ctx) noexcept {
    detail::InterruptState& s = detail::t_interrupt;
    saved_poll_ = s.poll;
    saved_ctx_ = s.ctx;
    saved_next_ = s.next_poll;
    s.poll = poll;
    s.ctx = ctx;
    // A call that ends within one interval never pays for a poll.
    s.next_poll = Clock::now() + kPollInterval;
}

PollScope::~PollScope() {
    detail::InterruptState& s = detail::t_interrupt;
    s.poll = saved_poll_;
    s.ctx = saved_ctx_;
    s.next_poll = saved_next_;
}

HeldLockScope::HeldLockScope(const HeldLock* lock) noexcept : saved_(detail::t_interrupt.held_lock) {
    detail::t_interrupt.held_lock = lock;
}

HeldLockScope::~HeldLockScope() { detail::t_interrupt.held_lock = saved_; }

namespace detail {

void check_interrupt() {
    InterruptState& s = t_interrupt;
    s.budget = kCheckEvery;
    if (s.cancelled && s.cancelled->load(std::memory_order_relaxed)) throw Interrupted();
    if (!s.poll) return;
    const Clock::time_point now = Clock::now();
    if (now < s.next_poll) return;
    s.next_poll = now + kPollInterval;
    if (s.poll(s.ctx)) throw Interrupted();
}

bool poll_now() {
    InterruptState& s = t_interrupt;
    if (!s.poll) return false;
    s.next_poll = Clock::now() + kPollInterval;
    return s.poll(s.ctx);
}

}  // namespace detail
}  // namespace vok
