#pragma once

#include "scanner/PlacedHeap.h"
#include "udp/SendJob.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

// One thread that runs every scanner's send jobs at their absolute times:
// a deadline queue and no thread or timer per job. Jobs that may wait for
// each other share a wake-up: the thread sleeps until the last deadline
// before the earliest time any job must run, then runs every job due.
// Jobs are added, woken and removed from any other thread.
class SendScheduler {
public:
    using Clock = SendJob::Clock;

    SendScheduler();
    ~SendScheduler();
    SendScheduler(const SendScheduler&) = delete;
    SendScheduler& operator=(const SendScheduler&) = delete;

    // The job runs first at once. It must stay alive until remove().
    void add(SendJob* job);
    // Returns once the job is off the queue and not running; then it may go.
    void remove(SendJob* job);
    // Runs the job at once, or again once its run ends; nothing for a job that is not on.
    void wake(SendJob* job);

private:
    struct Entry {
        SendJob* job = nullptr;
        Clock::time_point at;
        Clock::time_point latest;  // at + lateness
        std::size_t atPlace = kNotInHeap;  // off both heaps while running or parked
        std::size_t latestPlace = kNotInHeap;
        bool running = false;
        bool wokenWhileRunning = false;
        bool leaving = false;  // remove() waits for the run to end: not queued again
    };
    using ByDeadline = PlacedHeap<Entry, Clock::time_point, &Entry::at, &Entry::atPlace>;
    using ByLatest = PlacedHeap<Entry, Clock::time_point, &Entry::latest, &Entry::latestPlace>;

    void loop();
    Clock::time_point passTime() const;
    void takeDue(Clock::time_point now, std::vector<Entry*>& due);
    void requeue(Entry& entry, std::optional<SendJob::Due> next);
    void enqueue(Entry& entry, SendJob::Due due);
    void dequeue(Entry& entry);

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // the next pass moved earlier, or a run ended
    ByDeadline byDeadline_;
    ByLatest byLatest_;
    std::unordered_map<SendJob*, Entry> jobs_;  // its nodes stay where they are: the heaps point at them
    bool stopping_ = false;
    std::thread thread_;
};
