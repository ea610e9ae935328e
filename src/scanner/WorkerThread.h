#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>
#include <mutex>

// One worker object running in a thread of its own. The worker is created
// without a parent on the calling thread; its run() slot starts when the
// thread starts. Stopping asks the worker to stop, ends the thread's event
// loop and waits for the thread without a time limit; the worker and the
// thread are deleted afterwards, on the thread that owns this object.
class WorkerThread {
public:
    using StopRequest = std::function<void()>;

    // Takes ownership of `worker` (a parentless QObject with a run() slot).
    // `requestStop` must be safe to call from another thread while run() is
    // busy; it is called once by stop().
    template <typename Worker>
    WorkerThread(Worker* worker, StopRequest requestStop)
        : WorkerThread(static_cast<QObject*>(worker), std::move(requestStop)) {
        QObject::connect(thread_, &QThread::started, worker, &Worker::run);
    }
    ~WorkerThread();

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    void start();
    // Returns once the thread has ended; calling it again does nothing.
    void stop();

    bool isRunning() const { return started_ && !stopped_; }
    QObject* worker() const { return worker_; }
    QThread* thread() const { return thread_; }

private:
    WorkerThread(QObject* worker, StopRequest requestStop);

    QThread* thread_;
    QPointer<QObject> worker_;
    // Locked by the thread as it ends and by stop() after waiting for it, so
    // that the end of the worker thread visibly happens before the deletion
    // (QThread::wait synchronises through futexes that race checkers miss).
    std::mutex endOfThread_;
    StopRequest requestStop_;
    bool started_ = false;
    bool stopped_ = false;
};
