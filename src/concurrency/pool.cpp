#include "concurrency/pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>

namespace brimo::concurrency {

namespace {

// The pool whose worker is running on this thread, so that a job started from inside a worker runs
// inline instead of waiting for itself.
thread_local const WorkerPool* t_worker_of = nullptr;

// The innermost WaitCallback of this thread.
thread_local WaitCallback* t_wait_callback = nullptr;
// This thread is inside a WaitCallback's call, so it already has a job in flight: anything it starts
// now (the callback ran an interpreter signal handler that checks a packet) runs inline instead of
// waiting for the job it is itself part of.
thread_local bool t_in_wait_callback = false;

}  // namespace

WaitCallback::WaitCallback(Fn fn, void* ctx, std::chrono::milliseconds period)
    : fn_(fn), ctx_(ctx), period_(period), outer_(t_wait_callback) {
    t_wait_callback = this;
}

WaitCallback::~WaitCallback() { t_wait_callback = outer_; }

WorkerPool::WorkerPool(std::size_t workers) {
    workers = std::min(workers, MAX_WORKERS);
    try {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { worker_main(); });
    } catch (...) {
        // Out of memory or threads: keep the workers already started.
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_cv_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void WorkerPool::execute(Job& job) noexcept {
    // Sub-ranges are claimed by compare-and-swap so that the shared cursor never passes the end
    // (a plain fetch-and-add could wrap around for a range near the size_t limit).
    std::size_t begin = job.next.load(std::memory_order_relaxed);
    for (;;) {
        if (begin >= job.count) return;
        const std::size_t end = begin + std::min(job.grain, job.count - begin);
        if (!job.next.compare_exchange_weak(begin, end, std::memory_order_relaxed)) continue;
        try {
            job.fn(job.ctx, begin, end);
        } catch (...) {
            job.failed.store(true, std::memory_order_relaxed);
        }
        begin = end;
    }
}

void WorkerPool::worker_main() noexcept {
    t_worker_of = this;
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_cv_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        Job* job = job_;
        lock.unlock();
        execute(*job);
        lock.lock();
        // Every worker checks in for every job, so the job (on the caller's stack) outlives all uses.
        // The last one frees the pool for the next job at once, even while the caller of this one
        // has not yet noticed (it may be busy in its WaitCallback).
        if (--job->pending == 0) {
            job_ = nullptr;
            busy_ = false;
            done_cv_.notify_all();
            idle_cv_.notify_all();
        }
    }
}

bool WorkerPool::run(std::size_t count, std::size_t grain, RangeFn fn, void* ctx) {
    if (count == 0) return true;
    if (grain == 0) grain = 1;
    Job job{fn, ctx, count, grain};
    if (threads_.empty() || count <= grain || t_worker_of != nullptr || t_in_wait_callback) {
        execute(job);
        return !job.failed.load();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // One job at a time. The pool is free again as soon as the workers are done with the previous
    // job; its caller need not have returned. (A caller that holds the interpreter lock may wait
    // here while the previous caller, in its WaitCallback, waits for that lock.)
    idle_cv_.wait(lock, [&] { return !busy_; });
    busy_ = true;
    job.pending = threads_.size();
    job_ = &job;
    ++generation_;
    lock.unlock();
    work_cv_.notify_all();
    lock.lock();
    const auto done = [&] { return job.pending == 0; };
    if (WaitCallback* cb = t_wait_callback) {
        while (!done_cv_.wait_for(lock, cb->period_, done)) {
            lock.unlock();
            // The job lives on this stack until every worker is done: nothing may unwind here.
            t_in_wait_callback = true;
            try {
                cb->fn_(cb->ctx_);
            } catch (...) {
            }
            t_in_wait_callback = false;
            lock.lock();
        }
    } else {
        done_cv_.wait(lock, done);
    }
    return !job.failed.load();
}

namespace {

// The value of a worker-count variable: its number (0 included) when it is a whole number written in
// decimal digits with an optional leading '+', nothing when it is unset, empty, has any other
// character, or lies beyond the range of size_t.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*text - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t clamp_workers(std::size_t n) { return std::clamp<std::size_t>(n, 1, MAX_WORKERS); }

}  // namespace

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t available) {
    // An explicit 0 in the first variable asks for the default; it does not consult the second.
    if (const auto n = parse_count(rayon_num_threads)) return clamp_workers(*n > 0 ? *n : available);
    if (const auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return clamp_workers(*n);
    return clamp_workers(available);
}

std::size_t available_processors() {
    // The affinity mask may be wider than the fixed cpu_set_t on very large machines.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        if (sched_getaffinity(0, bytes, set) == 0) {
            const int count = CPU_COUNT_S(bytes, set);
            CPU_FREE(set);
            if (count > 0) return static_cast<std::size_t>(count);
            break;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

namespace {

// The global pool is created under g_mutex and published through g_pool. It is never destroyed:
// workers stay parked until the process ends, and a destructor running at exit could join threads
// that are gone. Around fork() the mutex is held so that the child never inherits it locked, and
// the child forgets the parent's pool (whose threads it does not have) to start its own.
std::mutex g_mutex;
std::atomic<WorkerPool*> g_pool{nullptr};
bool g_atfork_registered = false;

void before_fork() { g_mutex.lock(); }
void after_fork_parent() { g_mutex.unlock(); }
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_mutex.unlock();
}

}  // namespace

WorkerPool& global_pool() {
    if (WorkerPool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (WorkerPool* pool = g_pool.load(std::memory_order_relaxed)) return *pool;
    if (!g_atfork_registered)
        g_atfork_registered = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
    const std::size_t workers = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"),
                                                   std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
    WorkerPool* pool = new (std::nothrow) WorkerPool(workers);
    if (pool == nullptr) {
        // Without memory for a pool every job runs on the caller; try again on the next call.
        static WorkerPool inline_only(0);
        return inline_only;
    }
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

}  // namespace brimo::concurrency
