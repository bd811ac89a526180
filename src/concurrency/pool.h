// The process-wide worker pool: the packet check spreads its channels over it, the CSV export its
// event parsing and row formatting.
//
// One job at a time: the caller hands a range [0, count) to the pool and blocks until every index is
// done. Workers take contiguous sub-ranges of at most `grain` indices as they become free. The caller
// is not a worker (it may hold the Python interpreter lock; the work never touches Python), and no
// exception ever leaves a worker: a throwing body is recorded and reported by the return value.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace brimo::concurrency {

// More workers than the 96 channels of the largest packet never help; an absurd environment value
// must not start millions of threads.
inline constexpr std::size_t MAX_WORKERS = 96;

class WorkerPool {
public:
    // Starts `workers` threads (capped at MAX_WORKERS). When the system refuses a thread the pool
    // keeps those it got; a pool without threads runs every job on the caller's thread.
    explicit WorkerPool(std::size_t workers);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Number of worker threads actually running.
    std::size_t size() const { return threads_.size(); }

    // Calls body(begin, end) over contiguous sub-ranges covering [0, count), each at most `grain`
    // long, and returns once all are done. Returns false when a call of body threw (the other
    // sub-ranges still ran). An empty range returns at once without waking anyone; a range that is
    // one sub-range, a pool without workers, or a call from inside a worker runs on the caller.
    template <class F>
    bool parallel_for(std::size_t count, std::size_t grain, F&& body) {
        using Fn = std::remove_reference_t<F>;
        return run(count, grain,
                   [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Fn*>(ctx))(b, e); },
                   const_cast<void*>(static_cast<const void*>(&body)));
    }

private:
    using RangeFn = void (*)(void*, std::size_t, std::size_t);
    struct Job {
        RangeFn fn;
        void* ctx;
        std::size_t count;
        std::size_t grain;
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        std::size_t pending = 0;  // workers that have not yet finished this job; guarded by mutex_
    };

    bool run(std::size_t count, std::size_t grain, RangeFn fn, void* ctx);
    static void execute(Job& job) noexcept;
    void worker_main() noexcept;

    std::vector<std::thread> threads_;
    std::mutex mutex_;  // guards job_, generation_, busy_, stop_ and Job::pending
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::condition_variable idle_cv_;
    Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    bool busy_ = false;  // a job is in flight (one at a time)
    bool stop_ = false;
};

// While one lives, the thread that created it calls `fn(ctx)` about every `period` whenever it waits
// in parallel_for for the workers, so that it can keep answering something (an interrupt check of
// the caller) while the work runs on other threads. `fn` runs on the waiting thread, never on a
// worker; pool work it starts runs inline on that thread. Scopes nest: the innermost one is used.
class WaitCallback {
public:
    using Fn = void (*)(void*);
    WaitCallback(Fn fn, void* ctx, std::chrono::milliseconds period);
    ~WaitCallback();
    WaitCallback(const WaitCallback&) = delete;
    WaitCallback& operator=(const WaitCallback&) = delete;

private:
    friend class WorkerPool;
    Fn fn_;
    void* ctx_;
    std::chrono::milliseconds period_;
    WaitCallback* outer_;
};

// Worker count from the environment: RAYON_NUM_THREADS when it holds a whole number > 0; when it is
// unset or not a number, RAYON_RS_NUM_CPUS under the same rule; otherwise (a 0 included) `available`.
// A null pointer stands for an unset variable. The result is at least 1 and at most MAX_WORKERS.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t available);

// Processors this process may run on (its CPU affinity mask), at least 1.
std::size_t available_processors();

// The process-wide pool, started on first use and kept until the process ends. A child created by
// fork() gets a fresh pool of its own on its first use (the parent's threads do not exist there).
WorkerPool& global_pool();

}  // namespace brimo::concurrency
