#include "pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

namespace vok {

std::optional<std::size_t> parse_thread_count(const char* text) {
    if (!text) return std::nullopt;
    const char* p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;  // does not fit: not a count
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_threads() {
    // RAYON_NUM_THREADS=0 asks for the default outright: only an absent or
    // unparsable value hands the choice to RAYON_RS_NUM_CPUS.
    if (const auto n = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : available_cpus();
    if (const auto n = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
    return available_cpus();
}

namespace {

// Set while this thread submits a job or runs a piece of one.
thread_local bool t_in_job = false;

// A contiguous piece of the current job and its remaining split budget.
struct Piece {
    std::size_t begin, end, budget;
};

// One submitted range; lives in the submitter's frame (see pool.hpp for who
// may read it and until when).
struct Job {
    Job(detail::RangeFn f, void* c, std::size_t n) : fn(f), ctx(c), remaining(n) {}
    detail::RangeFn fn;
    void* ctx;
    std::atomic<std::size_t> remaining;  // elements not yet done
    std::atomic<bool> cancelled{false};  // a body failed, or the submitter stopped it
    std::exception_ptr error;            // the first failure; under the pool mutex

    bool over() const {
        return remaining.load(std::memory_order_acquire) == 0 || cancelled.load(std::memory_order_acquire);
    }
};

// Signals a worker must not take: the asynchronous ones go to the other
// threads; those a fault raises on the faulting thread stay deliverable.
sigset_t worker_signal_mask() {
    sigset_t set;
    sigfillset(&set);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&set, sig);
    return set;
}

class Pool {
public:
    // Each worker's queue is made just before its thread, so an absurd count
    // from the environment fails when the system refuses a thread, long
    // before the queues could exhaust memory.
    explicit Pool(std::size_t n) {
        try {
            for (std::size_t i = 0; i < n; ++i) {
                workers_.push_back(std::make_unique<Worker>(Worker{this, i, {}, {}}));
                start(*workers_.back());
            }
        } catch (...) {
            shutdown();
            throw;
        }
    }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return workers_.size(); }

    void run(std::size_t n, detail::RangeFn fn, void* ctx) {
        Job job{fn, ctx, n};
        bool stopped_by_poll = false;
        std::unique_lock<std::mutex> lock(mutex_);
        // Jobs run one at a time; a later submitter waits for the pool.
        if (!wait_turn(lock)) throw Interrupted();
        workers_[0]->pieces.push_back(Piece{0, n, size()});  // may fail: nothing is published yet
        pending_ = 1;
        job_ = &job;
        ++generation_;
        job_started_.notify_all();
        if (!wait_polling(lock, [&] { return job.over() && readers_ == 0; })) {
            stopped_by_poll = true;
            job.cancelled.store(true, std::memory_order_release);
            work_changed_.notify_all();
            job_over_.wait(lock, [&] { return readers_ == 0; });
        }
        // No worker reads the job any more: forget it and its leftover pieces.
        for (auto& w : workers_) w->pieces.clear();
        pending_ = 0;
        job_ = nullptr;
        job_over_.notify_all();  // the pool is free for a waiting submitter
        lock.unlock();
        if (stopped_by_poll) throw Interrupted();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    struct Worker {
        Pool* pool;
        std::size_t index;
        std::deque<Piece> pieces;  // under mutex_
        pthread_t thread;
    };

    void start(Worker& w) {
        pthread_attr_t attr;
        if (int rc = pthread_attr_init(&attr)) throw std::system_error(rc, std::generic_category());
        int rc = pthread_attr_setstacksize(&attr, kWorkerStackBytes);
        if (rc == 0) {
            // The new thread inherits the creator's mask: block first, so no
            // signal can reach the worker before it runs.
            const sigset_t blocked = worker_signal_mask();
            sigset_t saved;
            pthread_sigmask(SIG_BLOCK, &blocked, &saved);
            rc = pthread_create(&w.thread, &attr, &Pool::worker_entry, &w);
            pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        }
        pthread_attr_destroy(&attr);
        if (rc) throw std::system_error(rc, std::generic_category());
        ++started_;
    }

    static void* worker_entry(void* arg) {
        auto& w = *static_cast<Worker*>(arg);
        w.pool->worker_main(w.index);
        return nullptr;
    }

    // Waits under `lock` until done() holds. With a poll installed on this
    // thread, wakes at least every poll interval and asks it (without the
    // lock); returns false as soon as it says stop. Without one, simply waits.
    template <class Done>
    bool wait_polling(std::unique_lock<std::mutex>& lock, Done done) {
        if (!detail::has_poll()) {
            job_over_.wait(lock, done);
            return true;
        }
        for (;;) {
            if (job_over_.wait_for(lock, kPollInterval, done)) return true;
            lock.unlock();
            const bool stop = detail::poll_now();
            lock.lock();
            if (stop) return false;
        }
    }

    // Waits under `lock` until no job is current, as wait_polling does, but
    // without the lock the thread declared held (HeldLockScope): that is
    // given up while the thread waits and taken back, without the pool's
    // mutex, before each poll and before the thread's own job starts.
    bool wait_turn(std::unique_lock<std::mutex>& lock) {
        const HeldLock* held = detail::t_interrupt.held_lock;
        if (!held) return wait_polling(lock, [&] { return job_ == nullptr; });
        while (job_ != nullptr) {
            held->release(held->ctx);
            job_over_.wait_for(lock, kPollInterval, [&] { return job_ == nullptr; });
            lock.unlock();
            held->acquire(held->ctx);
            const bool stop = detail::poll_now();
            lock.lock();
            if (stop) return false;
        }
        return true;
    }

    // Under mutex_. Own queue from the back (most recent, smallest half),
    // else steal from the front of another worker's queue (oldest, largest).
    bool take(std::size_t self, Piece& out) {
        if (pending_ == 0) return false;
        const std::size_t n = size();
        for (std::size_t k = 0; k < n; ++k) {
            std::deque<Piece>& q = workers_[(self + k) % n]->pieces;
            if (q.empty()) continue;
            --pending_;
            if (k == 0) {
                out = q.back();
                q.pop_back();
            } else {
                out = q.front();
                q.pop_front();
                out.budget = std::max(out.budget, n);  // stolen work may be divided again
            }
            return true;
        }
        return false;
    }

    void push(std::size_t self, Piece p) {
        std::lock_guard<std::mutex> lock(mutex_);
        workers_[self]->pieces.push_back(p);
        ++pending_;
        work_changed_.notify_one();
    }

    // Records the first failure and cancels the job; the others stop.
    void fail(Job& job) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!job.error) job.error = std::current_exception();
        job.cancelled.store(true, std::memory_order_release);
        work_changed_.notify_all();
    }

    void process(Job& job, std::size_t self, Piece p) {
        try {
            // Recursive halving: keep the lower half, leave the upper half
            // for this worker or a thief; each split halves the budget.
            while (p.end - p.begin >= 2 && p.budget > 0) {
                p.budget /= 2;
                const std::size_t mid = p.begin + (p.end - p.begin) / 2;
                push(self, Piece{mid, p.end, p.budget});
                p.end = mid;
            }
            job.fn(job.ctx, p.begin, p.end);
        } catch (...) {
            fail(job);
            return;
        }
        const std::size_t done = p.end - p.begin;
        if (job.remaining.fetch_sub(done, std::memory_order_acq_rel) == done) {
            std::lock_guard<std::mutex> lock(mutex_);
            work_changed_.notify_all();  // the job is over: sleepers go back to waiting for one
        }
    }

    void worker_main(std::size_t self) {
        std::uint64_t seen = 0;  // the last job this worker helped with
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            job_started_.wait(lock, [&] { return stop_ || (job_ && generation_ != seen); });
            if (stop_) return;
            seen = generation_;
            // Help with that job while it is current and not over. Under the
            // mutex the job may be looked at freely; outside it, only while
            // this worker holds a piece and counts as a reader.
            while (job_ && generation_ == seen && !job_->over()) {
                Piece p;
                if (!take(self, p)) {
                    work_changed_.wait(lock);
                    continue;
                }
                Job& job = *job_;
                ++readers_;
                lock.unlock();
                {
                    const detail::CancelScope cancel(&job.cancelled);
                    t_in_job = true;
                    process(job, self, p);
                    t_in_job = false;
                }
                lock.lock();
                if (--readers_ == 0 && job.over()) job_over_.notify_all();
            }
        }
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        job_started_.notify_all();
        for (std::size_t i = 0; i < started_; ++i) pthread_join(workers_[i]->thread, nullptr);
    }

    std::vector<std::unique_ptr<Worker>> workers_;
    std::size_t started_ = 0;  // threads running (the first started_ workers)
    std::mutex mutex_;
    std::condition_variable job_started_;   // workers: a job is current, or stop
    std::condition_variable work_changed_;  // workers: a piece was queued, or the job is over
    std::condition_variable job_over_;      // submitters: readers left, or the pool is free
    // Under mutex_:
    Job* job_ = nullptr;
    std::size_t pending_ = 0;       // pieces in the queues
    std::uint64_t generation_ = 0;  // jobs published so far
    std::size_t readers_ = 0;       // workers holding a piece of job_
    bool stop_ = false;
};

// The process-wide pool. Created under the interpreter lock by the first call
// that needs it; never destroyed (workers live until the process ends).
std::mutex g_create_mutex;
Pool* g_pool = nullptr;
std::string* g_start_failure = nullptr;  // set once, never retried

// A child forked while the pool exists has none of its threads: forget the
// parent's pool (its memory is abandoned) so the child's first call builds
// its own. The creation mutex is re-initialised for the same reason.
void after_fork_in_child() {
    new (&g_create_mutex) std::mutex();
    g_pool = nullptr;
}

Pool& global_pool() {
    std::lock_guard<std::mutex> lock(g_create_mutex);
    if (g_pool) return *g_pool;
    if (g_start_failure) throw InternalError(*g_start_failure);
    static const bool registered = (pthread_atfork(nullptr, nullptr, after_fork_in_child), true);
    (void)registered;
    try {
        g_pool = new Pool(configured_threads());
    } catch (const std::exception& e) {
        g_start_failure = new std::string(std::string("The global thread pool has not been initialized.: ") + e.what());
        throw InternalError(*g_start_failure);
    }
    return *g_pool;
}

}  // namespace

std::size_t pool_size() { return global_pool().size(); }

void run_detached(void (*fn)(void* ctx), void* ctx) {
    struct Task {
        void (*fn)(void*);
        void* ctx;
    };
    auto* task = new (std::nothrow) Task{fn, ctx};
    pthread_t thread;
    pthread_attr_t attr;
    int rc = task ? pthread_attr_init(&attr) : -1;
    if (rc == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const sigset_t blocked = worker_signal_mask();
        sigset_t saved;
        pthread_sigmask(SIG_BLOCK, &blocked, &saved);
        rc = pthread_create(
            &thread, &attr,
            [](void* t) -> void* {
                const Task task = *static_cast<Task*>(t);
                delete static_cast<Task*>(t);
                task.fn(task.ctx);
                return nullptr;
            },
            task);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (rc != 0) {
        delete task;
        fn(ctx);
    }
}

void detail::run_range(std::size_t n, RangeFn body, void* ctx) {
    Pool& pool = global_pool();
    // A job submitted from inside another (a body on a worker, or a poll that
    // runs Python code which calls the library again) would wait for a pool
    // that waits for it: it runs here instead, as one piece.
    if (t_in_job) return body(ctx, 0, n);
    t_in_job = true;
    struct Reset {
        ~Reset() { t_in_job = false; }
    } reset;
    pool.run(n, body, ctx);
}

}  // namespace vok
