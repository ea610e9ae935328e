#include "scanner/EmulatorSession.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What the test workers report: lifetimes, the thread run() ran on, and the
// order of events across all workers.
struct Tracker {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    std::atomic<int> ranOffGuiThread{0};
    std::mutex mutex;
    std::vector<std::string> events;

    void log(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
};

// A worker whose run() occupies its thread until asked to stop, sleeping
// between rounds in a wait that the stop request interrupts.
class BlockingWorker : public QObject {
    Q_OBJECT
public:
    BlockingWorker(Tracker& tracker, std::string name) : tracker_(tracker), name_(std::move(name)) {
        ++tracker_.created;
    }
    ~BlockingWorker() override { ++tracker_.destroyed; }

    void requestStop() {
        tracker_.log("stop " + name_);
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        wake_.notify_all();
    }

public slots:
    void run() {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++tracker_.ranOffGuiThread;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopRequested_)
            wake_.wait_for(lock, std::chrono::hours(1));
        tracker_.log("ended " + name_);
    }

private:
    Tracker& tracker_;
    std::string name_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;
};

// A worker that sets up a socket in run() and then lives on its thread's
// event loop, like a server.
class EventLoopWorker : public QObject {
    Q_OBJECT
public:
    explicit EventLoopWorker(Tracker& tracker) : tracker_(tracker) { ++tracker_.created; }
    ~EventLoopWorker() override { ++tracker_.destroyed; }

    void requestStop() { tracker_.log("stop server"); }

public slots:
    void run() {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            ++tracker_.ranOffGuiThread;
        auto* socket = new QUdpSocket(this);
        socket->bind(QHostAddress(QHostAddress::LocalHost), 0);
    }

private:
    Tracker& tracker_;
};

int osThreadCount() { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

struct PluggedWorkers {
    QPointer<QObject> hello, stream, server;
};

PluggedWorkers plugAll(EmulatorSession& session, Tracker& tracker) {
    PluggedWorkers plugged;
    plugged.hello = session.plug(EmulatorSession::Hello, new BlockingWorker(tracker, "hello"));
    plugged.stream = session.plug(EmulatorSession::Stream, new BlockingWorker(tracker, "stream"));
    plugged.server = session.plug(EmulatorSession::Server, new EventLoopWorker(tracker));
    return plugged;
}

}  // namespace

TEST(WorkerThread, RunsTheWorkerOnItsOwnThreadAndDeletesBothOnStop) {
    Tracker tracker;
    auto* worker = new BlockingWorker(tracker, "w");
    QPointer<QObject> watchedWorker = worker;
    QPointer<QThread> watchedThread;
    {
        WorkerThread thread(worker, [worker] { worker->requestStop(); });
        watchedThread = thread.thread();
        EXPECT_EQ(worker->thread(), thread.thread());
        thread.start();
        ASSERT_TRUE(waitUntil([&] { return tracker.ranOffGuiThread == 1; }));
        thread.stop();
        EXPECT_TRUE(watchedThread->isFinished());
        EXPECT_FALSE(thread.isRunning());
        thread.stop();  // a second stop is harmless
    }
    EXPECT_TRUE(watchedWorker.isNull());
    EXPECT_TRUE(watchedThread.isNull());
    EXPECT_EQ(tracker.destroyed, 1);
}

TEST(WorkerThread, WorkerThatNeverStartedIsStillDeleted) {
    Tracker tracker;
    {
        auto* worker = new EventLoopWorker(tracker);
        WorkerThread thread(worker, [worker] { worker->requestStop(); });
    }
    EXPECT_EQ(tracker.destroyed, 1);
    EXPECT_TRUE(tracker.events.empty());  // nothing to stop
}

TEST(EmulatorSession, StopsInOrderAndEachThreadEndsBeforeTheNextIsAsked) {
    Tracker tracker;
    EmulatorSession session;
    PluggedWorkers plugged = plugAll(session, tracker);
    session.start();
    ASSERT_TRUE(waitUntil([&] { return tracker.ranOffGuiThread == 3; }));
    EXPECT_TRUE(session.isRunning());

    session.stop();

    EXPECT_FALSE(session.isRunning());
    EXPECT_EQ(tracker.events, (std::vector<std::string>{"stop hello", "ended hello", "stop stream",
                                                        "ended stream", "stop server"}));
    EXPECT_TRUE(plugged.hello.isNull());
    EXPECT_TRUE(plugged.stream.isNull());
    EXPECT_TRUE(plugged.server.isNull());
    EXPECT_FALSE(session.hasWorker(EmulatorSession::Hello));
}

TEST(EmulatorSession, FiftyStartStopCyclesLeaveNoThreadOrWorkerBehind) {
    Tracker tracker;
    EmulatorSession session;
    auto runCycle = [&](int cycle) {
        plugAll(session, tracker);
        session.start();
        ASSERT_TRUE(waitUntil([&] { return tracker.ranOffGuiThread == 3 * (cycle + 1); }));
        session.stop();
        ASSERT_EQ(tracker.destroyed, tracker.created);
    };
    // One cycle first, so that threads a runtime starts once (a sanitizer's
    // helper thread, say) count in the baseline.
    runCycle(0);
    const int threadsBefore = osThreadCount();
    QElapsedTimer clock;
    clock.start();
    for (int cycle = 1; cycle < 50; ++cycle) {
        runCycle(cycle);
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(tracker.created, 150);
    // The workers wait an hour per round unless the stop request wakes them.
    EXPECT_LT(clock.elapsed(), 60000);
    // Qt's threads are detached, so the last ones may take a moment to vanish.
    EXPECT_TRUE(waitUntil([&] { return osThreadCount() <= threadsBefore; }, 10000));
}

TEST(EmulatorSession, DestroyingARunningSessionStopsItsWorkers) {
    Tracker tracker;
    {
        EmulatorSession session;
        plugAll(session, tracker);
        session.start();
        ASSERT_TRUE(waitUntil([&] { return tracker.ranOffGuiThread == 3; }));
    }
    EXPECT_EQ(tracker.destroyed, 3);
}

#include "SessionTest.moc"
