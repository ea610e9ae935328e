#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

// Periodic sending work that a scheduler thread runs at the times it asks
// for: no thread or sleep of its own, so many scanners share one thread.
class SendJob {
public:
    using Clock = std::chrono::steady_clock;
    using Waker = std::function<void()>;

    // When a job is to run next, and how much later than `at` it may run:
    // the scheduler waits for the jobs due within that time and runs them in
    // one wake-up, so that many jobs cost few wake-ups.
    struct Due {
        Clock::time_point at;
        Clock::duration lateness{};
    };

    virtual ~SendJob() = default;

    // Does what is due by `now` and says when to run next: a time already
    // past runs it again after the other due jobs; nothing parks it until
    // wake(). May run early (after a wake) and must then only do what is due.
    virtual std::optional<Due> runDue(Clock::time_point now) = 0;

    // Set by the scheduler while the job is on it.
    void setWaker(Waker waker) {
        std::lock_guard<std::mutex> lock(wakerMutex_);
        waker_ = std::move(waker);
    }

protected:
    // From any thread: run soon, e.g. because a pause ended.
    void wake() const {
        std::lock_guard<std::mutex> lock(wakerMutex_);
        if (waker_)
            waker_();
    }

private:
    mutable std::mutex wakerMutex_;
    Waker waker_;
};
