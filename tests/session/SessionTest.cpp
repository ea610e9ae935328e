#include "scanner/EmulatorSession.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Lifetimes of the test workers and the order of events across them.
struct Tracker {
    std::atomic<int> destroyed{0};
    std::atomic<int> ranOffGuiThread{0};
    std::mutex mutex;
    std::vector<std::string> events;

    void log(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
};

// Occupies its thread in run() until asked to stop, as the senders do;
// `blocks` false returns at once and leaves the thread to its event loop, as
// the server does.
class Worker : public QObject {
    Q_OBJECT
public:
    Worker(Tracker& tracker, std::string name, bool blocks = true)
        : tracker_(tracker), name_(std::move(name)), blocks_(blocks) {}
    ~Worker() override { ++tracker_.destroyed; }

    void requestStop() {
        tracker_.log("stop " + name_);
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        wake_.notify_all();
    }

public slots:
    void run() {
        tracker_.ranOffGuiThread += QThread::currentThread() != QCoreApplication::instance()->thread();
        std::unique_lock<std::mutex> lock(mutex_);
        if (!blocks_)
            return;
        wake_.wait(lock, [this] { return stopRequested_; });
        tracker_.log("ended " + name_);
    }

private:
    Tracker& tracker_;
    std::string name_;
    bool blocks_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopRequested_ = false;
};

void plugAll(EmulatorSession& session, Tracker& tracker) {
    session.plug(EmulatorSession::Hello, new Worker(tracker, "hello"));
    session.plug(EmulatorSession::Stream, new Worker(tracker, "stream"));
    session.plug(EmulatorSession::Server, new Worker(tracker, "server", false));
}

}  // namespace

TEST(EmulatorSession, StopsInOrderAndEachThreadEndsBeforeTheNextIsAsked) {
    Tracker tracker;
    EmulatorSession session;
    plugAll(session, tracker);
    session.start();
    ASSERT_TRUE(waitUntil([&] { return tracker.ranOffGuiThread == 3; }));
    EXPECT_TRUE(session.isRunning());

    session.stop();

    EXPECT_FALSE(session.isRunning());
    EXPECT_EQ(tracker.events, (std::vector<std::string>{"stop hello", "ended hello", "stop stream",
                                                        "ended stream", "stop server"}));
    EXPECT_EQ(tracker.destroyed, 3);
    EXPECT_FALSE(session.hasWorker(EmulatorSession::Hello));
    session.stop();  // a second stop is harmless

    plugAll(session, tracker);  // workers that never ran go too
    session.stop();
    EXPECT_EQ(tracker.destroyed, 6);
}

#include "SessionTest.moc"
