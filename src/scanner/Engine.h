#pragma once

#include "scanner/FileWriter.h"
#include "scanner/SendScheduler.h"

#include <QThread>
#include <functional>
#include <mutex>

class TcpTransport;

// The threads that every scanner of a process shares: one that sends the
// streams' and hellos' datagrams at their times, waking once for all that
// are due together (rig_bench: a second one cost more CPU than it took off
// this one), one event loop that serves every command server and hears of
// the host's interface changes, and one that writes the files clients ask
// for. A rig adds scanners, not threads.
class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void startSending(SendJob* job) { scheduler_.add(job); }
    // Returns once the job is no longer run; then it may go.
    void stopSending(SendJob* job) { scheduler_.remove(job); }

    // Takes a parentless server, moves it to the serving thread and starts it there.
    void startServing(TcpTransport* server);
    // Stops and deletes the server on the serving thread; returns once it is gone.
    void stopServing(TcpTransport* server);

    // Off the serving thread, after the writes asked for before; `owner` names whose it is.
    void writeFile(const void* owner, FileWriter::Job job) { files_.post(owner, std::move(job)); }
    // Returns once none of `owner`'s writes is waiting or running.
    void finishWriting(const void* owner) { files_.finish(owner); }

    // Threads this engine runs.
    static constexpr int kThreads = 3;

private:
    void handOver(std::function<void()> work, Qt::ConnectionType type);

    FileWriter files_;
    SendScheduler scheduler_;
    QThread serving_;
    QObject* servingContext_;  // lives on serving_: work handed to that thread runs in its name
    // Orders what the serving thread did before what this thread does next,
    // for race checkers, which cannot see Qt's futex-based hand-overs: taken
    // by each piece of handed-over work and by the thread as it ends.
    std::mutex handOver_;
};
