#pragma once

#include "scanner/WorkerThread.h"
#include "support/TestUtil.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QThreadPool>
#include <QUdpSocket>
#include <QVariant>
#include <algorithm>

// A datagram receiver on a loopback address with a port the system picks.
class Receiver {
public:
    explicit Receiver(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost)) {
        socket_.bind(address, 0);
        socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 << 20);
    }

    quint16 port() const { return socket_.localPort(); }

    // Takes in what has arrived, at most up to `upTo` datagrams: a fast sender would keep it here.
    void drain(size_t upTo = SIZE_MAX) {
        while (datagrams.size() < upTo && socket_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            datagrams.push_back(datagram.data());
            senderPorts.push_back(static_cast<quint16>(datagram.senderPort()));
        }
    }

    bool waitForCount(size_t count, int timeoutMs = 5000) {
        return waitUntil(
            [&] {
                drain(count);
                return datagrams.size() >= count;
            },
            timeoutMs);
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
        // The stream's and the server's counter tasks hold a pool thread each.
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
