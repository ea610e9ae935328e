#include "scanner/EmulatorSession.h"

std::atomic<int> EmulatorSession::runningSessions_{0};

EmulatorSession::EmulatorSession(QObject* parent) : QObject(parent) {}

EmulatorSession::~EmulatorSession() { stop(); }

void EmulatorSession::adopt(Role role, std::unique_ptr<WorkerThread> thread) {
    Q_ASSERT_X(!running_, "EmulatorSession::plug", "workers are plugged in while idle");
    threads_[role] = std::move(thread);
}

void EmulatorSession::start() {
    if (running_)
        return;
    running_ = true;
    ++runningSessions_;
    for (auto& thread : threads_)
        if (thread)
            thread->start();
}

void EmulatorSession::stop() {
    for (auto& thread : threads_)
        if (thread)
            thread->stop();
    for (auto& thread : threads_)
        thread.reset();
    if (running_)
        --runningSessions_;
    running_ = false;
}
