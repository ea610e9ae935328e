#pragma once

#include "scanner/WorkerThread.h"
#include "support/TestUtil.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QThreadPool>
#include <QUdpSocket>
#include <algorithm>
#include <cstdint>
#include <vector>

// A datagram receiver on a loopback address with a port the system picks.
class Receiver {
public:
    explicit Receiver(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost)) {
        socket_.bind(address, 0);
        socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 << 20);
    }

    quint16 port() const { return socket_.localPort(); }

    // Takes in what has arrived so far, or the first `upTo` datagrams: a
    // sender that is faster than this reader would otherwise keep it here.
    void drain(size_t upTo = SIZE_MAX) {
        while (datagrams.size() < upTo && socket_.hasPendingDatagrams()) {
            QByteArray data(static_cast<int>(socket_.pendingDatagramSize()), Qt::Uninitialized);
            quint16 senderPort = 0;
            socket_.readDatagram(data.data(), data.size(), nullptr, &senderPort);
            datagrams.push_back(data);
            senderPorts.push_back(senderPort);
        }
    }

    bool waitForCount(size_t count, int timeoutMs = 5000) {
        return waitUntil([&] { drain(count); return datagrams.size() >= count; }, timeoutMs);
    }

    std::vector<QByteArray> datagrams;
    std::vector<quint16> senderPorts;

private:
    QUdpSocket socket_;
};

// A worker in its own thread, stopped as the session stops it.
template <typename Worker>
class RunningWorker {
public:
    explicit RunningWorker(Worker* worker) : worker_(worker), thread_(worker, [worker] { worker->requestStop(); }) {
        // The stream's counter task holds a pool thread for its lifetime.
        QThreadPool* pool = QThreadPool::globalInstance();
        pool->setMaxThreadCount(std::max(pool->maxThreadCount(), 4));
        thread_.start();
    }

    // How long the stop took, in milliseconds.
    qint64 stop() {
        QElapsedTimer timer;
        timer.start();
        thread_.stop();
        return timer.elapsed();
    }

    Worker* operator->() const { return worker_; }

private:
    Worker* worker_;
    WorkerThread thread_;
};
