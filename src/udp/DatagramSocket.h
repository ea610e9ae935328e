#pragma once

#include "udp/Destinations.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>


// A plain UDP socket for senders that run on a scheduler thread: no event
// loop and no thread affinity. Datagrams go one per system call (sendTo) or
// queued and sent together (queue, flush). Addresses are IPv4 numbers in host
// order.
class DatagramSocket {
public:
    DatagramSocket() = default;
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Makes the socket and binds it to `address` and a free port the system
    // picks, never shared: a port some receiver holds is never taken over.
    // False, with errorString() saying why, when either fails; without a
    // socket every send fails, and a socket whose bind failed still sends
    // from any address.
    bool open(uint32_t address);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    QString errorString() const { return error_; }

    // False when the system refused the datagram.
    bool sendTo(const char* data, size_t size, uint32_t address, uint16_t port);
    // Holds `datagram` (shared, not copied) until the next flush; a full
    // queue is flushed first.
    void queue(const QByteArray& datagram, uint32_t address, uint16_t port);
    // Sends what is queued in one system call where it can; what the system
    // refuses is dropped, as sendTo drops it.
    void flush();

    static constexpr int kQueueCapacity = 64;

private:
    struct Queued {
        QByteArray datagram;
        uint32_t address = 0;
        uint16_t port = 0;
    };

    void sendQueued();
    bool fail(int error, const QString& what);

    int fd_ = -1;
    QString error_;
    std::array<Queued, kQueueCapacity> queued_;
    int queuedCount_ = 0;
};
