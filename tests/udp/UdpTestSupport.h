#pragma once

#include "scanner/Engine.h"
#include "support/TestUtil.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>
#include <type_traits>

// A datagram receiver on a loopback address with a port the system picks.
class Receiver {
public:
    explicit Receiver(const QHostAddress& address = QHostAddress(QHostAddress::LocalHost)) {
        socket_.bind(address, 0);
        socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8 << 20);
    }

    quint16 port() const { return socket_.localPort(); }

    // Takes in what has arrived, at most up to `upTo` datagrams: a fast sender would keep it here.
    size_t drain(size_t upTo = SIZE_MAX) {
        while (datagrams.size() < upTo && socket_.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_.receiveDatagram();
            datagrams.push_back(datagram.data());
            senderPorts.push_back(static_cast<quint16>(datagram.senderPort()));
        }
        return datagrams.size();
    }

    bool waitForCount(size_t count, int timeoutMs = 5000) {
        return waitUntil([&] { return drain(count) >= count; }, timeoutMs);
    }

    std::vector<QByteArray> datagrams;
    std::vector<quint16> senderPorts;

private:
    QUdpSocket socket_;
};

// A worker on an engine of its own, stopped as a scanner stops it.
template <typename Worker>
class RunningWorker {
public:
    explicit RunningWorker(Worker* worker) : worker_(worker) {
        if constexpr (std::is_base_of_v<SendJob, Worker>)
            engine_.startSending(worker);
        else
            engine_.startServing(worker);
    }
    ~RunningWorker() { stop(); }

    // How long the stop took, in milliseconds.
    qint64 stop() {
        QElapsedTimer timer;
        timer.start();
        if (!worker_)
            return 0;
        if constexpr (std::is_base_of_v<SendJob, Worker>) {
            engine_.stopSending(worker_);
            worker_->finish();
            delete worker_;
        } else {
            engine_.stopServing(worker_);
        }
        worker_ = nullptr;
        return timer.elapsed();
    }

    Worker* operator->() const { return worker_; }

private:
    Engine engine_;
    Worker* worker_;
};
