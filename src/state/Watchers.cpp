#include "state/Watchers.h"

int Watchers::add(std::function<void()> watcher) {
    std::lock_guard<std::mutex> lock(mutex_);
    watchers_.emplace(next_, std::move(watcher));
    return next_++;
}

void Watchers::remove(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    watchers_.erase(id);
}

void Watchers::notify() {
    revision_.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& watcher : watchers_)
        watcher.second();
}
