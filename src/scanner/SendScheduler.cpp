#include "scanner/SendScheduler.h"

#include <sys/prctl.h>
#include <iterator>
#include <utility>

namespace {

// Sleeps end within a few microseconds of their deadline instead of the
// default 50 us slack.
constexpr unsigned long kTimerSlackNs = 1000;

SendJob::Due dueNow() { return {SendJob::Clock::now(), {}}; }

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
    enqueue(job, entry, dueNow());
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
        dequeue(found->second);
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
    dequeue(entry);
    enqueue(job, entry, dueNow());
}

void SendScheduler::loop() {
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
    std::vector<SendJob*> due;
    std::vector<std::optional<SendJob::Due>> nextRuns;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (queue_.empty()) {
            changed_.wait(lock);
            continue;
        }
        const Clock::time_point pass = passTime();
        if (Clock::now() < pass) {
            changed_.wait_until(lock, pass);
            continue;
        }
        takeDue(Clock::now(), due);
        lock.unlock();
        // Each job gets the time it is run at: a long pass must not make
        // later jobs think they are early.
        nextRuns.clear();
        for (SendJob* job : due)
            nextRuns.push_back(job->runDue(Clock::now()));
        lock.lock();
        for (size_t i = 0; i < due.size(); ++i)
            requeue(due[i], nextRuns[i]);
        changed_.notify_all();
    }
}

// The last deadline by the time the most pressing job must run: waking then
// runs every job that can share the wake-up, and none later than it may be.
SendScheduler::Clock::time_point SendScheduler::passTime() const {
    return std::prev(queue_.upper_bound(*latest_.begin()))->first;
}

void SendScheduler::takeDue(Clock::time_point now, std::vector<SendJob*>& due) {
    due.clear();
    while (!queue_.empty() && queue_.begin()->first <= now) {
        SendJob* job = queue_.begin()->second;
        Entry& entry = jobs_.at(job);
        dequeue(entry);
        entry.running = true;
        due.push_back(job);
    }
}

void SendScheduler::requeue(SendJob* job, std::optional<SendJob::Due> next) {
    Entry& entry = jobs_.at(job);
    entry.running = false;
    if (std::exchange(entry.wokenWhileRunning, false))
        next = dueNow();
    if (next && !entry.leaving)
        enqueue(job, entry, *next);
}

void SendScheduler::enqueue(SendJob* job, Entry& entry, SendJob::Due due) {
    const Clock::time_point latest = due.at + due.lateness;
    const bool sooner = latest_.empty() || latest < *latest_.begin();
    entry.queued = queue_.emplace(due.at, job);
    entry.latest = latest_.insert(latest);
    if (sooner)  // a later one leaves the pass where it is or moves it later
        changed_.notify_all();
}

void SendScheduler::dequeue(Entry& entry) {
    if (entry.queued == queue_.end())
        return;
    queue_.erase(entry.queued);
    latest_.erase(entry.latest);
    entry.queued = queue_.end();
}
