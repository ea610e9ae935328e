#include "scanner/Engine.h"

#include "tcp/TcpTransport.h"
#include "udp/InterfaceWatch.h"

Engine::Engine() : servingContext_(new QObject) {
    serving_.setObjectName(QStringLiteral("px310-serving"));
    // Goes with the context to the thread, whose start publishes it; gone with the context.
    new InterfaceWatch(servingContext_);
    servingContext_->moveToThread(&serving_);
    // Goes with the thread's end, on that thread.
    QObject::connect(&serving_, &QThread::finished, servingContext_, &QObject::deleteLater);
    QObject::connect(
        &serving_, &QThread::finished, servingContext_, [this] { std::lock_guard<std::mutex> lock(handOver_); },
        Qt::DirectConnection);
    serving_.start();
}

Engine::~Engine() {
    serving_.quit();
    serving_.wait();
    std::lock_guard<std::mutex> lock(handOver_);
}

void Engine::startServing(TcpTransport* server) {
    server->moveToThread(&serving_);
    handOver([server] { server->run(); }, Qt::QueuedConnection);
}

// Deleted on its own thread, the server closes its sockets there.
void Engine::stopServing(TcpTransport* server) {
    server->requestStop();
    if (QThread::currentThread() == &serving_) {
        delete server;
        return;
    }
    handOver([server] { delete server; }, Qt::BlockingQueuedConnection);
    std::lock_guard<std::mutex> lock(handOver_);  // the deletion shows as done before what follows
}

// Work for the serving thread. This thread's writes so far are published
// through handOver_, which the work takes first.
void Engine::handOver(std::function<void()> work, Qt::ConnectionType type) {
    { std::lock_guard<std::mutex> lock(handOver_); }
    QMetaObject::invokeMethod(
        servingContext_,
        [this, work = std::move(work)] {
            std::lock_guard<std::mutex> lock(handOver_);
            work();
        },
        type);
}
