#include "scanner/SendScheduler.h"

#include <pthread.h>
#include <algorithm>
#include <iterator>
#include <utility>

namespace {

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
    entry.job = job;
    entry.queued = queue_.end();
    enqueue(entry, dueNow());
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
    enqueue(entry, dueNow());
}

// The kernel's timer slack stays at its default (50 us): within every job's
// lateness, and one more way for deadlines to share a wake-up.
void SendScheduler::loop() {
    pthread_setname_np(pthread_self(), "px310-send");
    std::vector<Entry*> due;
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
        for (Entry* entry : due)
            nextRuns.push_back(entry->job->runDue(Clock::now()));
        lock.lock();
        for (size_t i = 0; i < due.size(); ++i)
            requeue(*due[i], nextRuns[i]);
        changed_.notify_all();
    }
}

// The last deadline by the time the most pressing job must run: waking then
// runs every job that can share the wake-up, and none later than it may be.
SendScheduler::Clock::time_point SendScheduler::passTime() const {
    return std::prev(queue_.upper_bound(*latest_.begin()))->first;
}

void SendScheduler::takeDue(Clock::time_point now, std::vector<Entry*>& due) {
    due.clear();
    while (!queue_.empty() && queue_.begin()->first <= now) {
        Entry& entry = *queue_.begin()->second;
        dequeue(entry);
        entry.running = true;
        due.push_back(&entry);
    }
}

void SendScheduler::requeue(Entry& entry, std::optional<SendJob::Due> next) {
    entry.running = false;
    if (std::exchange(entry.wokenWhileRunning, false))
        next = dueNow();
    if (next && !entry.leaving)
        enqueue(entry, *next);
}

void SendScheduler::enqueue(Entry& entry, SendJob::Due due) {
    const Clock::time_point latest = due.at + std::max(due.lateness, Clock::duration::zero());
    const bool sooner = latest_.empty() || latest < *latest_.begin();
    if (entry.queueNode) {
        entry.queueNode.key() = due.at;
        entry.latestNode.value() = latest;
        entry.queued = queue_.insert(std::move(entry.queueNode));
        entry.latest = latest_.insert(std::move(entry.latestNode));
    } else {
        entry.queued = queue_.emplace(due.at, &entry);
        entry.latest = latest_.insert(latest);
    }
    if (sooner)  // a later one leaves the pass where it is or moves it later
        changed_.notify_all();
}

void SendScheduler::dequeue(Entry& entry) {
    if (entry.queued == queue_.end())
        return;
    entry.queueNode = queue_.extract(entry.queued);
    entry.latestNode = latest_.extract(entry.latest);
    entry.queued = queue_.end();
}
