#include "scanner/FileWriter.h"

#include <algorithm>
#include <pthread.h>

FileWriter::FileWriter() : thread_([this] { loop(); }) {}

FileWriter::~FileWriter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void FileWriter::post(const void* owner, Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back({owner, std::move(job)});
    }
    changed_.notify_all();
}

void FileWriter::finish(const void* owner) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !holds(owner); });
}

bool FileWriter::holds(const void* owner) const {
    return running_ == owner ||
           std::any_of(queue_.begin(), queue_.end(), [owner](const Posted& p) { return p.owner == owner; });
}

void FileWriter::loop() {
    pthread_setname_np(pthread_self(), "px310-files");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;  // stopping, and nothing is left to write
        Posted next = std::move(queue_.front());
        queue_.pop_front();
        running_ = next.owner;
        lock.unlock();
        next.job();
        lock.lock();
        running_ = nullptr;
        changed_.notify_all();
    }
}
