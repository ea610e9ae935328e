#pragma once

#include "log/Failure.h"
#include "udp/Destinations.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>

// What a scanner's sockets failed at, over all its starts.
struct SocketCounters {
    std::atomic<uint64_t> refused{0};  // datagrams the system refused to send
    std::atomic<uint64_t> failed{0};   // sockets it refused to make or bind
};

// A plain UDP socket for senders that run on a scheduler thread: no event
// loop and no thread affinity. Datagrams go one per system call (sendTo) or
// queued and sent together (queue, flush). Addresses are IPv4 numbers in host
// order. Failures are counted in `counters` (the owner's, so that they
// outlive the socket); the first refusal for each reason is logged to `log`
// with the system's words.
class DatagramSocket {
public:
    using LogCategory = const QLoggingCategory& (*)();
    DatagramSocket(LogCategory log, SocketCounters& counters);
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Makes the socket and binds it to `address` and a free port the system
    // picks, never shared: a port some receiver holds is never taken over.
    // False, with failure() saying why (and the errno), when either fails; without a
    // socket every send fails, and a socket whose bind failed still sends
    // from any address.
    bool open(uint32_t address);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const MaybeFailure& failure() const { return failure_; }
    QString errorString() const { return messageOf(failure_); }

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
    void noteRefusal(int error);

    static constexpr size_t kReasonsLogged = 256;  // errno values below this are logged once each

    const LogCategory log_;
    SocketCounters& counters_;
    int fd_ = -1;
    MaybeFailure failure_;
    std::array<Queued, kQueueCapacity> queued_;
    int queuedCount_ = 0;
    std::bitset<kReasonsLogged> loggedReasons_;  // the sending thread's
};
