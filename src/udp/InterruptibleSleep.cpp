#include "udp/InterruptibleSleep.h"

void InterruptibleSleep::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
}

void InterruptibleSleep::wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++wakeCount_;
    }
    changed_.notify_all();
}

bool InterruptibleSleep::sleepUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t wakesBefore = wakeCount_;
    changed_.wait_until(lock, deadline, [&] { return stop_.load() || wakeCount_ != wakesBefore; });
    return !stop_.load();
}
