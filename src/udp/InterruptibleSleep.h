#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// The sleeps of a worker loop. A stop request or a wake() cuts every current
// sleep short, so Stop never waits out a period and a loop that waits for a
// state change sees it at once.
class InterruptibleSleep {
public:
    using Clock = std::chrono::steady_clock;

    // Thread-safe; a stop cannot be taken back.
    void requestStop();
    bool stopRequested() const { return stop_.load(); }

    // Makes the current sleepers return early so that they re-check their state.
    void wake();

    // Sleep until `deadline`, a wake() or a stop. Return false once a stop has
    // been requested.
    bool sleepUntil(Clock::time_point deadline);
    bool sleepFor(std::chrono::milliseconds duration) { return sleepUntil(Clock::now() + duration); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    uint64_t wakeCount_ = 0;  // guarded by mutex_
};
