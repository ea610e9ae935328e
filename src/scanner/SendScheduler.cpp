#include "scanner/SendScheduler.h"

#include <pthread.h>
#include <algorithm>
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
        if (byDeadline_.empty()) {
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
    Clock::time_point pass = byDeadline_.top().at;
    byDeadline_.visitUpTo(byLatest_.top().latest, [&](const Entry& entry) { pass = std::max(pass, entry.at); });
    return pass;
}

void SendScheduler::takeDue(Clock::time_point now, std::vector<Entry*>& due) {
    due.clear();
    while (!byDeadline_.empty() && byDeadline_.top().at <= now) {
        Entry& entry = byDeadline_.top();
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
    entry.at = due.at;
    entry.latest = due.at + std::max(due.lateness, Clock::duration::zero());
    const bool sooner = byLatest_.empty() || entry.latest < byLatest_.top().latest;
    byDeadline_.push(entry);
    byLatest_.push(entry);
    if (sooner)  // a later one leaves the pass where it is or moves it later
        changed_.notify_all();
}

void SendScheduler::dequeue(Entry& entry) {
    if (!ByDeadline::holds(entry))
        return;
    byDeadline_.erase(entry);
    byLatest_.erase(entry);
}
