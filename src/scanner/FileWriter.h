#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One thread that writes the scanners' files, in the order they were asked
// for: a slow disk holds up the client that asked and no other. Jobs are
// posted and waited for from any thread. Each scanner keeps at most one job
// here (its server asks for the next save once the last one is done), so the
// queue is bounded by the rig's size.
class FileWriter {
public:
    using Job = std::function<void()>;

    FileWriter();
    // Runs what is still queued, then ends the thread.
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Runs `job` on the writing thread after the jobs posted before it.
    void post(const void* owner, Job job);
    // Returns once none of `owner`'s jobs is queued or running.
    void finish(const void* owner);

private:
    struct Posted {
        const void* owner;
        Job job;
    };

    void loop();
    bool holds(const void* owner) const;

    std::mutex mutex_;
    std::condition_variable changed_;  // a job came, or one ended
    std::deque<Posted> queue_;
    const void* running_ = nullptr;  // the owner of the job being run
    bool stopping_ = false;
    std::thread thread_;
};
