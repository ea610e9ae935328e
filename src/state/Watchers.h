#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

// Whoever acts on a piece of shared state watches it instead of polling:
// the writer calls notify() after each write, on its own thread and outside
// the state's lock (a watcher may read the state, never write it). Once
// remove() has returned, that watcher runs no more and is not running.
// A reader that keeps a copy of the state reads it again only when the
// revision has moved: it goes up before the watchers run.
class Watchers {
public:
    int add(std::function<void()> watcher);
    void remove(int id);
    void notify();
    uint64_t revision() const { return revision_.load(std::memory_order_acquire); }

private:
    std::atomic<uint64_t> revision_{0};
    std::mutex mutex_;  // held while they run
    std::map<int, std::function<void()>> watchers_;
    int next_ = 0;
};
