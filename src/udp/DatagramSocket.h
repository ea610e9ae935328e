#pragma once

#include <QByteArray>

#include <array>
#include <cstddef>
#include <cstdint>

// 127.0.0.1, where every stream and hello datagram goes.
constexpr uint32_t kLoopbackAddress = 0x7F000001;

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

    // Makes the socket and binds it to `address`:`port` (port 0: any).
    // `shareAddress` lets other sockets bind the same port. Without a socket
    // every send fails; a failed bind keeps the socket, which still sends,
    // from a port the system picks.
    void open(uint32_t address, uint16_t port, bool shareAddress);
    void close();
    bool isOpen() const { return fd_ >= 0; }

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

    int fd_ = -1;
    std::array<Queued, kQueueCapacity> queued_;
    int queuedCount_ = 0;
};
