#pragma once

#include "support/TestUtil.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QThread>
#include <QThreadPool>
#include <QUdpSocket>
#include <algorithm>
#include <cstdint>
#include <mutex>
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

// Runs a worker's run() in its own thread, as the session does, and stops it
// with the session's sequence.
template <typename Worker>
class WorkerThread {
public:
    explicit WorkerThread(Worker* worker) : worker_(worker) {
        // The stream's counter task holds a pool thread for its lifetime.
        QThreadPool* pool = QThreadPool::globalInstance();
        pool->setMaxThreadCount(std::max(pool->maxThreadCount(), 4));
        worker_->moveToThread(&thread_);
        QObject::connect(&thread_, &QThread::started, worker_, &Worker::run);
        // Emitted in the worker's thread once run() has returned. Qt's own join
        // is invisible to ThreadSanitizer; this lock makes the hand-over visible.
        QObject::connect(&thread_, &QThread::finished, &thread_, [this] { std::lock_guard<std::mutex> lock(ended_); }, Qt::DirectConnection);
        thread_.start();
    }
    ~WorkerThread() { stop(); }

    // Returns how long the stop took, in milliseconds.
    qint64 stop() {
        if (!worker_)
            return 0;
        QElapsedTimer timer;
        timer.start();
        worker_->shutdown();
        worker_->requestStop();
        thread_.quit();
        thread_.wait();
        { std::lock_guard<std::mutex> lock(ended_); }
        delete worker_;
        worker_ = nullptr;
        return timer.elapsed();
    }

    Worker* operator->() const { return worker_; }

private:
    Worker* worker_;
    QThread thread_;
    std::mutex ended_;
};
