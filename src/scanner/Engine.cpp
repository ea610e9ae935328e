#include "scanner/Engine.h"

#include "tcp/TcpTransport.h"

Engine::Engine() : servingContext_(new QObject) {
    serving_.setObjectName(QStringLiteral("px310-serving"));
    servingContext_->moveToThread(&serving_);
    // Goes with the thread's end, on that thread.
    QObject::connect(&serving_, &QThread::finished, servingContext_, &QObject::deleteLater);
    serving_.start();
}

Engine::~Engine() {
    serving_.quit();
    serving_.wait();
}

void Engine::startServing(TcpTransport* server) {
    server->moveToThread(&serving_);
    QMetaObject::invokeMethod(server, &TcpTransport::run, Qt::QueuedConnection);
}

// Deleted on its own thread, the server closes its sockets there.
void Engine::stopServing(TcpTransport* server) {
    server->requestStop();
    if (QThread::currentThread() == &serving_)
        delete server;
    else
        QMetaObject::invokeMethod(servingContext_, [server] { delete server; }, Qt::BlockingQueuedConnection);
}
