// A way for the caller of an export to stop it midway (an interrupt from the user).
//
// The caller supplies a check; the export asks it only on the thread that created the Cancellation
// (the caller's), between pieces of work, and at most once per kPollInterval so that an expensive
// check (one that has to take a lock) costs nothing noticeable. Once the check says stop, the answer
// is kept and every thread of the export sees it through cancelled().
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace brimo {

class Cancellation {
public:
    // How often the check is asked at most; the export stops within about this long plus the time of
    // one event.
    static constexpr std::chrono::milliseconds kPollInterval{50};

    using Check = bool (*)(void* ctx);  // true: stop

    // Never cancelled.
    Cancellation() = default;
    Cancellation(Check check, void* ctx, std::chrono::milliseconds interval = kPollInterval)
        : check_(check), ctx_(ctx), interval_(interval) {}
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // Any thread. Asks the check when called on the creating thread and the interval has passed;
    // true once the export is to stop.
    bool poll() {
        if (cancelled()) return true;
        if (check_ == nullptr || std::this_thread::get_id() != owner_) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) return false;
        next_ = now + interval_;
        if (check_(ctx_)) cancelled_.store(true, std::memory_order_relaxed);
        return cancelled();
    }

    // Any thread: the check has said stop.
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    bool has_check() const { return check_ != nullptr; }
    std::chrono::milliseconds interval() const { return interval_; }

private:
    Check check_ = nullptr;
    void* ctx_ = nullptr;
    std::chrono::milliseconds interval_ = kPollInterval;
    std::thread::id owner_ = std::this_thread::get_id();
    std::chrono::steady_clock::time_point next_{};  // used on the owning thread only
    std::atomic<bool> cancelled_{false};
};

}  // namespace brimo
