#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
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

namespace {

// CPU quota of the process's control group, as a whole number of CPUs
// (rounded up), or 0 when there is none.
std::size_t cgroup_quota_cpus() {
    std::ifstream self("/proc/self/cgroup");
    std::string line;
    std::string v2_path, v1_path;
    while (std::getline(self, line)) {
        // "hierarchy-id:controllers:path"
        const auto a = line.find(':');
        const auto b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        const std::string path = line.substr(b + 1);
        if (line.compare(0, a, "0") == 0 && controllers.empty()) v2_path = path;
        std::stringstream list(controllers);
        for (std::string c; std::getline(list, c, ',');)
            if (c == "cpu") v1_path = path;
    }
    auto ceil_div = [](double quota, double period) -> std::size_t {
        if (!(quota > 0) || !(period > 0)) return 0;
        return static_cast<std::size_t>(std::ceil(quota / period));
    };
    // cgroup v2: "<quota|max> <period>" in cpu.max, checked from the own
    // group up to the root; the tightest limit wins.
    std::size_t best = 0;
    if (!v2_path.empty()) {
        std::string dir = v2_path;
        for (;;) {
            std::ifstream f("/sys/fs/cgroup" + (dir == "/" ? std::string() : dir) + "/cpu.max");
            std::string quota;
            double period = 0;
            if (f >> quota >> period && quota != "max") {
                const std::size_t n = ceil_div(std::atof(quota.c_str()), period);
                if (n && (!best || n < best)) best = n;
            }
            if (dir.empty() || dir == "/") break;
            const auto cut = dir.rfind('/');
            dir = cut == 0 || cut == std::string::npos ? "/" : dir.substr(0, cut);
        }
        if (best) return best;
    }
    // cgroup v1: cpu.cfs_quota_us (-1 means none) over cpu.cfs_period_us.
    for (const char* root : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        for (const std::string& sub : {v1_path, std::string()}) {
            std::ifstream q(std::string(root) + sub + "/cpu.cfs_quota_us");
            std::ifstream p(std::string(root) + sub + "/cpu.cfs_period_us");
            double quota = 0, period = 0;
            if (q >> quota && p >> period) {
                if (const std::size_t n = ceil_div(quota, period)) return n;
            }
        }
    }
    return 0;
}

}  // namespace

std::size_t available_cpus() {
    std::size_t n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = static_cast<std::size_t>(CPU_COUNT(&set));
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    if (const std::size_t quota = cgroup_quota_cpus(); quota && quota < n) n = quota;
    return std::max<std::size_t>(n, 1);
}

std::size_t configured_threads() {
    // RAYON_NUM_THREADS=0 asks for the default outright: only an absent or
    // unparsable value hands the choice to RAYON_RS_NUM_CPUS.
    if (const auto n = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : available_cpus();
    if (const auto n = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
    return available_cpus();
}

namespace {

// A contiguous piece of the current job and its remaining split budget.
struct Piece {
    std::size_t begin, end, budget;
};

class Pool {
public:
    // Each worker's queue is made just before its thread, so an absurd count
    // from the environment fails when the system refuses a thread, long
    // before the queues could exhaust memory. Workers read the queues only
    // once a job arrives, after construction.
    explicit Pool(std::size_t n) {
        try {
            for (std::size_t i = 0; i < n; ++i) {
                queues_.push_back(std::make_unique<Queue>());
                threads_.emplace_back([this, i] { worker_main(i); });
            }
        } catch (...) {
            shutdown();
            throw;
        }
    }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return queues_.size(); }

    // One job at a time: the caller holds the interpreter lock, so no second
    // caller can arrive while a job runs.
    void run(std::size_t n, detail::RangeFn fn, void* ctx) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fn_ = fn;
            ctx_ = ctx;
            error_ = nullptr;
            remaining_.store(n, std::memory_order_relaxed);
            push(0, Piece{0, n, size()});
            ++epoch_;
        }
        wake_.notify_all();
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return remaining_.load(std::memory_order_acquire) == 0; });
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    struct Queue {
        std::mutex mutex;
        std::deque<Piece> pieces;
    };

    void push(std::size_t worker, Piece p) {
        {
            std::lock_guard<std::mutex> lock(queues_[worker]->mutex);
            queues_[worker]->pieces.push_back(p);
        }
        pending_.fetch_add(1, std::memory_order_release);
    }

    // Own queue from the back (most recent, smallest half), else steal from
    // the front of another worker's queue (oldest, largest half).
    bool take(std::size_t self, Piece& out) {
        if (pending_.load(std::memory_order_acquire) == 0) return false;
        {
            Queue& q = *queues_[self];
            std::lock_guard<std::mutex> lock(q.mutex);
            if (!q.pieces.empty()) {
                out = q.pieces.back();
                q.pieces.pop_back();
                pending_.fetch_sub(1, std::memory_order_relaxed);
                return true;
            }
        }
        const std::size_t n = size();
        for (std::size_t k = 1; k < n; ++k) {
            Queue& q = *queues_[(self + k) % n];
            std::lock_guard<std::mutex> lock(q.mutex);
            if (!q.pieces.empty()) {
                out = q.pieces.front();
                q.pieces.pop_front();
                pending_.fetch_sub(1, std::memory_order_relaxed);
                out.budget = std::max(out.budget, n);  // stolen work may be divided again
                return true;
            }
        }
        return false;
    }

    void process(std::size_t self, Piece p) {
        // Recursive halving: keep the lower half, leave the upper half for
        // this worker or a thief; each split halves the budget.
        while (p.end - p.begin >= 2 && p.budget > 0) {
            p.budget /= 2;
            const std::size_t mid = p.begin + (p.end - p.begin) / 2;
            push(self, Piece{mid, p.end, p.budget});
            if (sleeping_.load(std::memory_order_acquire) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                wake_.notify_one();
            }
            p.end = mid;
        }
        try {
            fn_(ctx_, p.begin, p.end);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) error_ = std::current_exception();
        }
        const std::size_t done = p.end - p.begin;
        if (remaining_.fetch_sub(done, std::memory_order_acq_rel) == done) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_all();
        }
    }

    void worker_main(std::size_t self) {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || epoch_ != seen; });
                if (stop_) return;
                seen = epoch_;
            }
            // Work on this job until every element is done.
            while (remaining_.load(std::memory_order_acquire) != 0) {
                Piece p;
                if (take(self, p)) {
                    process(self, p);
                    continue;
                }
                // Nothing to take: others are busy with their last pieces.
                std::unique_lock<std::mutex> lock(mutex_);
                sleeping_.fetch_add(1, std::memory_order_acq_rel);
                wake_.wait_for(lock, std::chrono::microseconds(200), [&] {
                    return stop_ || pending_.load(std::memory_order_acquire) != 0 ||
                           remaining_.load(std::memory_order_acquire) == 0;
                });
                sleeping_.fetch_sub(1, std::memory_order_acq_rel);
                if (stop_) return;
            }
        }
    }

    void shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::vector<std::unique_ptr<Queue>> queues_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::uint64_t epoch_ = 0;
    bool stop_ = false;
    detail::RangeFn fn_ = nullptr;
    void* ctx_ = nullptr;
    std::exception_ptr error_;
    std::atomic<std::size_t> remaining_{0};
    std::atomic<std::size_t> pending_{0};
    std::atomic<std::size_t> sleeping_{0};
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

void detail::run_range(std::size_t n, RangeFn body, void* ctx) { global_pool().run(n, body, ctx); }

}  // namespace vok
