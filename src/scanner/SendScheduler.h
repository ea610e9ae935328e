#pragma once

#include "udp/SendJob.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
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
    struct Entry;
    using Queue = std::multimap<Clock::time_point, Entry*>;  // by deadline
    using Latest = std::multiset<Clock::time_point>;  // deadline + lateness of each queued job
    struct Entry {
        SendJob* job = nullptr;
        Queue::iterator queued;  // end() while running or parked
        Latest::iterator latest;
        // The entry's nodes while it is off the queue: queueing it again allocates nothing.
        Queue::node_type queueNode;
        Latest::node_type latestNode;
        bool running = false;
        bool wokenWhileRunning = false;
        bool leaving = false;  // remove() waits for the run to end: not queued again
    };

    void loop();
    Clock::time_point passTime() const;
    void takeDue(Clock::time_point now, std::vector<Entry*>& due);
    void requeue(Entry& entry, std::optional<SendJob::Due> next);
    void enqueue(Entry& entry, SendJob::Due due);
    void dequeue(Entry& entry);

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // the next pass moved earlier, or a run ended
    Queue queue_;
    Latest latest_;
    std::unordered_map<SendJob*, Entry> jobs_;  // its nodes stay where they are: the queue points at them
    bool stopping_ = false;
    std::thread thread_;
};
