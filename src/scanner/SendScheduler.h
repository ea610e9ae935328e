#pragma once

#include "udp/SendJob.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

// One thread that runs every scanner's send jobs at their absolute times:
// a deadline queue, one wake-up for all jobs due together, and no thread
// or timer per job. Jobs are added and removed from any other thread.
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
    // Runs the job at the next pass; nothing for a job that is not on.
    void wake(SendJob* job);

private:
    using Queue = std::multimap<Clock::time_point, SendJob*>;
    struct Entry {
        Queue::iterator queued;  // end() while running or parked
        bool running = false;
        bool wokenWhileRunning = false;
        bool leaving = false;  // remove() waits for the run to end: not queued again
    };

    void loop();
    void takeDue(Clock::time_point now, std::vector<SendJob*>& due);
    void requeue(SendJob* job, std::optional<Clock::time_point> next);
    void enqueue(SendJob* job, Entry& entry, Clock::time_point at);

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // the queue's head moved, or a run ended
    Queue queue_;
    std::unordered_map<SendJob*, Entry> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};
