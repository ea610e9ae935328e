#include "scanner/WorkerThread.h"

WorkerThread::WorkerThread(QObject* worker, StopRequest requestStop)
    : thread_(new QThread), worker_(worker), requestStop_(std::move(requestStop)) {
    worker->moveToThread(thread_);
    QObject::connect(thread_, &QThread::finished, [this] { std::lock_guard<std::mutex> lock(endOfThread_); });
}

WorkerThread::~WorkerThread() {
    stop();
    // The thread has ended (or never ran), so nothing in it touches the
    // worker any more and both can go from here.
    delete worker_.data();
    delete thread_;
}

void WorkerThread::start() {
    if (started_)
        return;
    started_ = true;
    thread_->start(QThread::InheritPriority);
}

void WorkerThread::stop() {
    if (!started_ || stopped_)
        return;
    stopped_ = true;
    if (requestStop_)
        requestStop_();
    thread_->quit();
    thread_->wait();
    std::lock_guard<std::mutex> lock(endOfThread_);
}
