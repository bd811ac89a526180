// Carrying an exception from pool workers back to the caller.
//
// The core reports its failures as values; the one exception its work can still meet is an
// allocation failure (std::bad_alloc, std::length_error) while an event is parsed, corrected or
// formatted. On the caller's thread that exception reaches the Python binding, which turns it into
// MemoryError; on a worker it would end the process. So each worker body runs under a
// FirstException: the first exception of the job is kept, the other sub-ranges notice and stop
// early where they can, and the caller rethrows it once the pool is done.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

namespace brimo::concurrency {

class FirstException {
public:
    // Runs f(); an exception it throws is kept (only the first of the job) instead of propagating.
    // Returns false when f threw.
    template <class F>
    bool run(F&& f) noexcept {
        try {
            f();
            return true;
        } catch (...) {
            capture();
            return false;
        }
    }

    // Keeps the exception being handled, unless one is kept already. Call inside a catch block.
    void capture() noexcept {
        std::lock_guard lock(mutex_);
        if (!first_) {
            first_ = std::current_exception();
            any_.store(true, std::memory_order_release);
        }
    }

    // Whether a body has thrown: lets the other workers stop early.
    bool any() const noexcept { return any_.load(std::memory_order_acquire); }

    // On the caller, once the pool is done: throws the kept exception, if any.
    void rethrow_if_any() const {
        if (any()) std::rethrow_exception(first_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr first_;
    std::atomic<bool> any_{false};
};

}  // namespace brimo::concurrency
