#include "scanner/SendScheduler.h"

#include <sys/prctl.h>
#include <utility>

namespace {

// Sleeps end within a few microseconds of their deadline instead of the
// default 50 us slack.
constexpr unsigned long kTimerSlackNs = 1000;

}  // namespace

SendScheduler::SendScheduler() : thread_([this] { loop(); }) {}

SendScheduler::~SendScheduler() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    for (auto& job : jobs_)
        job.first->setWaker({});
}

void SendScheduler::add(SendJob* job) {
    job->setWaker([this, job] { wake(job); });
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = jobs_[job];
    entry.queued = queue_.end();
    enqueue(job, entry, Clock::now());
}

void SendScheduler::remove(SendJob* job) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto found = jobs_.find(job);
        if (found == jobs_.end())
            return;
        // A busy scheduler takes the lock back at once: without the mark the
        // job would be running again whenever this wait looked.
        found->second.leaving = true;
        changed_.wait(lock, [&] { return !found->second.running; });
        if (found->second.queued != queue_.end())
            queue_.erase(found->second.queued);
        jobs_.erase(found);
    }
    job->setWaker({});
}

void SendScheduler::wake(SendJob* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = jobs_.find(job);
    if (found == jobs_.end())
        return;
    Entry& entry = found->second;
    if (entry.running) {
        entry.wokenWhileRunning = true;  // it may have read its state before the change
        return;
    }
    if (entry.queued != queue_.end())
        queue_.erase(entry.queued);
    enqueue(job, entry, Clock::now());
}

void SendScheduler::loop() {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    std::vector<SendJob*> due;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point next = queue_.begin()->first;
        if (Clock::now() < next) {
            changed_.wait_until(lock, next);
            continue;
        }
        takeDue(Clock::now(), due);
        lock.unlock();
        // Each job gets the time it is run at: a long pass must not make
        // later jobs think they are early.
        std::vector<std::optional<Clock::time_point>> nextRuns;
        nextRuns.reserve(due.size());
        for (SendJob* job : due)
            nextRuns.push_back(job->runDue(Clock::now()));
        lock.lock();
        for (size_t i = 0; i < due.size(); ++i)
            requeue(due[i], nextRuns[i]);
        changed_.notify_all();
    }
}

void SendScheduler::takeDue(Clock::time_point now, std::vector<SendJob*>& due) {
    due.clear();
    while (!queue_.empty() && queue_.begin()->first <= now) {
        const auto head = queue_.begin();
        Entry& entry = jobs_.at(head->second);
        entry.running = true;
        entry.queued = queue_.end();
        due.push_back(head->second);
        queue_.erase(head);
    }
}

void SendScheduler::requeue(SendJob* job, std::optional<Clock::time_point> next) {
    Entry& entry = jobs_.at(job);
    entry.running = false;
    if (std::exchange(entry.wokenWhileRunning, false))
        next = Clock::now();
    if (next && !entry.leaving)
        enqueue(job, entry, *next);
}

void SendScheduler::enqueue(SendJob* job, Entry& entry, Clock::time_point at) {
    const bool newHead = queue_.empty() || at < queue_.begin()->first;
    entry.queued = queue_.emplace(at, job);
    if (newHead)
        changed_.notify_all();
}
