// The process-wide worker pool: an ordered parallel map over an index range.
//
// One pool per process (both extension modules reach it through the shared
// runtime library), created lazily by the first call that needs it and kept until the process
// ends. The caller hands over one job (a range 0..n and a body) and blocks
// until every index is done; it computes nothing itself. A range is divided
// by recursive halving with a split budget (initially the worker count,
// halved at each split); idle workers steal pending halves, and a stolen half
// gets its budget raised back to the worker count. Pieces are contiguous and
// run in ascending index order.
//
// Publication and termination. One mutex guards the pool's shared state:
// the current job pointer, the workers' piece queues, the count of queued
// pieces and the count of workers holding a piece of the job ("readers").
//   - A submitter publishes a job under the mutex, only when no job is
//     current: jobs from several threads run one after another, and a
//     submitter that waits for its turn still polls (interrupt.hpp) and
//     gives up the lock it declared held (HeldLockScope) meanwhile.
//   - Under the mutex a worker may look at the current job freely. It takes
//     a piece, under the mutex, only while the job is current and not over
//     (over = every element done, or cancelled), and becomes a reader; only
//     a reader touches the job outside the mutex, and it stops being one,
//     under the mutex, when it has finished its piece.
//   - The job's elements-left counter is decremented by a reader without
//     the mutex when it finishes a piece; the one that brings it to zero
//     wakes the sleeping workers so they wait for the next job.
//   - The submitter waits until the job is over and no worker is a reader,
//     then, still under the mutex, drops any queued pieces (a cancelled job
//     leaves some) and clears the job pointer. Only then does the job (which
//     lives in the submitter's frame) end, and the next job may start.
//     Workers that sleep are not readers: the submitter never waits for
//     them to wake.
// Pushing or taking a piece and going to sleep for want of one all happen
// under the mutex, so a sleeper can never miss the piece that would have
// woken it. Workers wait on one condition variable for "a job started" and
// on another for "work is available or the job is over"; submitters wait on
// a third for "the job is over" and "the pool is free".
//
// Cancellation: a worker whose body throws, or a submitter whose poll says
// stop, marks the job cancelled. Workers then take no further pieces, and a
// body running on a worker throws Interrupted from its next interruption
// point (a body without one finishes its piece). The submitter throws the first failure, or Interrupted when it was
// its own poll that stopped the job; an allocation failure on a worker
// (a queue growing) reaches it as std::bad_alloc.
//
// Workers never touch Python objects and block asynchronous signals, which
// are thus delivered to the process's other threads (the interpreter's). A
// job submitted from inside a job (by a body, or by a poll that calls back
// into the library) runs on the submitting thread as a single piece, where
// waiting for the pool would deadlock. A child process forked while
// the pool exists gets a new pool on its first use.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "interrupt.hpp"
#include "machine.hpp"

namespace vok {

// A failure inside the library that valid inputs never produce; the Python
// boundary raises it as the module's internal-failure exception.
struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Worker count the pool has (or will have): RAYON_NUM_THREADS when it holds
// a positive decimal (optional '+'); the default when it holds 0; when it is
// absent or unparsable, RAYON_RS_NUM_CPUS by the same rule. The default is the
// CPUs of the affinity mask limited by the cgroup CPU quota, at least 1.
std::size_t configured_threads();

// Parses a thread-count variable: its value (0 included), or nothing when it
// is absent or not a decimal that fits.
std::optional<std::size_t> parse_thread_count(const char* text);

// Stack reserved for each worker. The bodies that run on workers use a few
// KiB, but the C library's default is no contract: musl gives 128 KiB, glibc
// copies the stack rlimit (8 MiB usually, 2 MiB when unlimited, or a
// gigabyte if someone raised it). 8 MiB keeps glibc's usual behaviour
// everywhere; it is address space, and only the pages used are ever touched.
inline constexpr std::size_t kWorkerStackBytes = std::size_t{8} << 20;

namespace detail {
// Runs body(ctx, begin, end) over pieces covering 0..n exactly once.
// Creates the pool on first use; throws InternalError if it cannot start,
// Interrupted if the calling thread's poll stopped the job, or the first
// exception a body threw.
using RangeFn = void (*)(void* ctx, std::size_t begin, std::size_t end);
void run_range(std::size_t n, RangeFn body, void* ctx);
}  // namespace detail

// Runs fn(ctx) on a thread of its own, which blocks asynchronous signals as
// the workers do, and returns without waiting for it; when no thread can be
// started, runs it here. For work a caller need not wait for: freeing the
// gigabytes of a stopped search, which takes the system a noticeable time.
void run_detached(void (*fn)(void* ctx), void* ctx);

// Makes sure the pool exists (creating it on first use) and returns its size.
// Throws InternalError ("The global thread pool has not been initialized. ...")
// if the workers could not be started, on this and every later call.
std::size_t pool_size();

// Calls body(begin, end) for contiguous pieces covering 0..n, on the workers.
// With n < 2 the caller runs the (at most one) element itself.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
    pool_size();
    if (n < 2) {
        if (n == 1) body(std::size_t{0}, std::size_t{1});
        return;
    }
    detail::run_range(
        n, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Body*>(ctx))(b, e); },
        static_cast<void*>(&body));
}

// out[i] = f(i) for i in 0..n. Below `inline_below` elements the work is too
// small to repay a hand-off and runs on the calling thread (same values; the
// pool is still created). The output is not zero-filled first: every slot is
// written once, by the thread that computes it.
template <class T, class F>
Buffer<T> ordered_map(std::size_t n, F&& f, std::size_t inline_below = 2) {
    Buffer<T> out(n);
    T* slot = out.data();
    if (n < inline_below) {
        pool_size();
        for (std::size_t i = 0; i < n; ++i) slot[i] = f(i);
        return out;
    }
    parallel_for(n, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) slot[i] = f(i);
    });
    return out;
}

// Ordered filter-map: f(i) -> std::optional<T>; the kept values in index
// order. Each piece collects its own list; the lists are concatenated in
// piece order, so the result never depends on how the range was divided.
template <class T, class F>
std::vector<T> ordered_filter_map(std::size_t n, F&& f) {
    pool_size();
    std::vector<T> out;
    if (n < 2) {
        for (std::size_t i = 0; i < n; ++i)
            if (std::optional<T> v = f(i)) out.push_back(std::move(*v));
        return out;
    }
    // One list per possible piece start; pieces never overlap, so each slot is
    // written by exactly one worker.
    std::vector<std::vector<T>> by_start(n);
    std::vector<unsigned char> used(n, 0);
    parallel_for(n, [&](std::size_t b, std::size_t e) {
        std::vector<T>& local = by_start[b];
        used[b] = 1;
        for (std::size_t i = b; i < e; ++i)
            if (std::optional<T> v = f(i)) local.push_back(std::move(*v));
    });
    std::size_t total = 0;
    for (std::size_t b = 0; b < n; ++b) total += by_start[b].size();
    out.reserve(total);
    for (std::size_t b = 0; b < n; ++b)
        if (used[b])
            for (T& v : by_start[b]) out.push_back(std::move(v));
    return out;
}

}  // namespace vok
