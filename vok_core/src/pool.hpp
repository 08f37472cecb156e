// The process-wide worker pool: an ordered parallel map over an index range.
//
// One pool per process, created lazily by the first call that needs it and
// kept until the process ends. The caller hands over one job (a range 0..n and
// a body) and blocks until every index is done; it computes nothing itself.
// A range is divided by recursive halving with a split budget (initially the
// worker count, halved at each split); idle workers steal pending halves, and
// a stolen half gets its budget raised back to the worker count. Pieces are
// contiguous and run in ascending index order.
//
// Workers never touch Python objects. Not reentrant: a body must not submit
// another job. A child process forked while the pool exists gets a new pool
// on its first use.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffer.hpp"

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

// CPUs available to the process (affinity mask and cgroup quota), at least 1.
std::size_t available_cpus();

// Parses a thread-count variable: its value (0 included), or nothing when it
// is absent or not a decimal that fits.
std::optional<std::size_t> parse_thread_count(const char* text);

namespace detail {
// Runs body(ctx, begin, end) over pieces covering 0..n exactly once.
// Creates the pool on first use; throws InternalError if it cannot start.
using RangeFn = void (*)(void* ctx, std::size_t begin, std::size_t end);
void run_range(std::size_t n, RangeFn body, void* ctx);
}  // namespace detail

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
        n,
        [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Body*>(ctx))(b, e); },
        static_cast<void*>(&body));
}

// out[i] = f(i) for i in 0..n. Below `inline_below` elements the work is too
// small to repay a hand-off and runs on the calling thread (same values; the
// pool is still created).
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
