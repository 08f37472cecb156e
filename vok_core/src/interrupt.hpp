// Interrupting a running call.
//
// A thread that calls into the library may install a poll for the length of
// a scope (PollScope). While a call runs, the library asks that poll whether
// to stop, always on the thread that installed it, and at least every
// kPollInterval or so:
//   - from interruption_point(), which long loops call between steps;
//   - from the pool, whose caller waits for a job in slices of at most
//     kPollInterval and polls after each one.
// When the poll returns true the call stops. A pool job is cancelled: the
// workers take no further pieces and throw Interrupted out of the body at its
// next interruption point; the caller waits until no worker reads the job any
// more and then throws Interrupted. The poll records why it said stop (for
// Python, the exception a signal handler raised; for a deadline, its own
// error), so whoever catches Interrupted only has to unwind.
//
// Interruption points never touch the values being computed: with no poll
// installed nothing is ever interrupted and every result is bit for bit what
// it would be without them.
//
// The state is per thread, and shared by both extension modules: they reach
// the kernel library through one shared runtime library.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace vok {

// Thrown out of a pool call, a long kernel or a search when the call was
// asked to stop (the caller's poll said so, or the job was cancelled). The
// poll that asked has already recorded why (for Python, the exception set by
// a signal handler), so the boundary only has to unwind.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the call should stop. Called on the installing thread
// only, never concurrently with itself; it may take its time (re-acquire an
// interpreter lock, run signal handlers) but must not throw: the pool asks it
// while a job is in flight.
using PollFn = bool (*)(void* ctx) noexcept;

// How often, at most, a running call asks the poll (and the pool's caller
// wakes to ask it while it waits for the workers).
inline constexpr std::chrono::milliseconds kPollInterval{50};

// Installs `poll` for the calling thread until the scope ends; the poll that
// was installed before (if any) is restored then. A null poll disables
// polling for the scope.
class PollScope {
public:
    PollScope(PollFn poll, void* ctx) noexcept;
    ~PollScope();
    PollScope(const PollScope&) = delete;
    PollScope& operator=(const PollScope&) = delete;

private:
    PollFn saved_poll_;
    void* saved_ctx_;
    std::chrono::steady_clock::time_point saved_next_;
};

// A lock the calling thread holds while it is in the library (for Python,
// the interpreter lock). The pool gives it up while the thread waits for
// another thread's job to end, and takes it back before the thread polls or
// runs its own job. So no thread waits for the pool while it holds the lock,
// and a poll that takes the lock (while its thread's job runs) always gets it.
struct HeldLock {
    void (*release)(void* ctx) noexcept;
    void (*acquire)(void* ctx) noexcept;  // may wait for the lock
    void* ctx;
};

// Declares `lock` held by the calling thread until the scope ends (null:
// the thread holds none); the previous declaration is restored then.
class HeldLockScope {
public:
    explicit HeldLockScope(const HeldLock* lock) noexcept;
    ~HeldLockScope();
    HeldLockScope(const HeldLockScope&) = delete;
    HeldLockScope& operator=(const HeldLockScope&) = delete;

private:
    const HeldLock* saved_;
};

namespace detail {

// Work (in element-operations: roughly one floating-point operation with its
// loads) between two looks at the clock and the cancellation flag: about
// 30 microseconds at a nanosecond each, so the clock read (~20 ns) costs
// under 0.1 %.
inline constexpr std::int64_t kCheckEvery = std::int64_t{1} << 15;

struct InterruptState {
    std::int64_t budget = kCheckEvery;  // work left before the next check
    PollFn poll = nullptr;              // the installing thread's poll
    void* ctx = nullptr;
    std::chrono::steady_clock::time_point next_poll{};  // poll no earlier than this
    const std::atomic<bool>* cancelled = nullptr;       // on a worker: the current job's flag
    const HeldLock* held_lock = nullptr;                // a lock the thread holds (HeldLockScope)
};

inline thread_local constinit InterruptState t_interrupt;

// The slow path of interruption_point(): throws Interrupted when the current
// job was cancelled, or when the poll is due and says stop.
void check_interrupt();

// Runs the calling thread's poll now; false when none is installed.
bool poll_now();
inline bool has_poll() { return t_interrupt.poll != nullptr; }

// Marks the calling (worker) thread as running a job with this cancellation
// flag until the scope ends.
class CancelScope {
public:
    explicit CancelScope(const std::atomic<bool>* flag) noexcept : saved_(t_interrupt.cancelled) {
        t_interrupt.cancelled = flag;
    }
    ~CancelScope() { t_interrupt.cancelled = saved_; }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    const std::atomic<bool>* saved_;
};

}  // namespace detail

// A point where a long loop may be stopped: `work` is the element-operations
// done since the previous call. Cheap (a thread-local counter); every
// kCheckEvery operations it throws Interrupted if the current pool job was
// cancelled (worker thread) or if the thread's poll is due and says stop
// (calling thread). A loop whose steps are tiny should add its work up
// locally and call this once per few thousand operations.
inline void interruption_point(std::size_t work = 1) {
    detail::InterruptState& s = detail::t_interrupt;
    s.budget -= static_cast<std::int64_t>(work);
    if (s.budget <= 0) detail::check_interrupt();
}

// Adds a loop's work up locally and passes it to interruption_point() in
// batches, so a loop with tiny steps touches the thread-local counter only
// once per kBatch operations.
class WorkMeter {
public:
    void add(std::size_t work) {
        pending_ += work;
        if (pending_ >= kBatch) {
            interruption_point(pending_);
            pending_ = 0;
        }
    }

private:
    static constexpr std::size_t kBatch = 4096;
    std::size_t pending_ = 0;
};

}  // namespace vok
