#pragma once

#include "scanner/WorkerThread.h"

#include <QObject>

#include <array>
#include <atomic>
#include <memory>

// The emulator's running workers: the hello announcer, the profile stream
// and the command server, each in its own thread. Workers are plugged in
// while idle, started together in that order and stopped in that order.
// Every worker thread has ended before any worker is deleted, so a direct
// connection from one worker to another can never reach a deleted object.
class EmulatorSession : public QObject {
    Q_OBJECT
public:
    enum Role { Hello = 0, Stream = 1, Server = 2 };
    static constexpr int kRoles = 3;

    explicit EmulatorSession(QObject* parent = nullptr);
    ~EmulatorSession() override;

    // Takes a parentless worker with a run() slot and a thread-safe
    // requestStop(), moves it to a new thread and returns it for wiring.
    // Its thread starts with the next start(). Replaces an idle worker that
    // was plugged into the same role before.
    template <typename Worker>
    Worker* plug(Role role, Worker* worker) {
        adopt(role, std::make_unique<WorkerThread>(worker, [worker] { worker->requestStop(); }));
        return worker;
    }

    void start();
    // Stops and deletes every worker; returns once all their threads have ended.
    void stop();

    bool isRunning() const { return running_; }
    // Sessions of this process that run now.
    static int runningCount() { return runningSessions_; }
    bool hasWorker(Role role) const { return threads_[role] != nullptr; }

private:
    void adopt(Role role, std::unique_ptr<WorkerThread> thread);

    std::array<std::unique_ptr<WorkerThread>, kRoles> threads_;
    bool running_ = false;
    static std::atomic<int> runningSessions_;
};
