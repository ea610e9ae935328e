#include "udp/DatagramSocket.h"

#include <QHostAddress>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

sockaddr_in socketAddress(uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return to;
}

}  // namespace

DatagramSocket::DatagramSocket(LogCategory log, SocketCounters& counters) : log_(log), counters_(counters) {}

DatagramSocket::~DatagramSocket() { close(); }

bool DatagramSocket::open(uint32_t address) {
    close();
    failure_.reset();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return fail(errno, QStringLiteral("cannot make a UDP socket"));
    const int on = 1;
    // The subnet copy and a broadcast hello go to broadcast addresses.
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const sockaddr_in local = socketAddress(address, 0);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int bindError = errno;
        return fail(bindError, QStringLiteral("cannot send from %1").arg(QHostAddress(address).toString()));
    }
    return true;
}

bool DatagramSocket::fail(int error, const QString& what) {
    counters_.failed.fetch_add(1, std::memory_order_relaxed);
    failure_ = systemFailure(error, QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(error))));
    return false;
}

void DatagramSocket::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    for (Queued& queued : queued_)
        queued.datagram.clear();
    queuedCount_ = 0;
}

bool DatagramSocket::sendTo(const char* data, size_t size, uint32_t address, uint16_t port) {
    if (fd_ < 0)
        return false;
    const sockaddr_in to = socketAddress(address, port);
    if (::sendto(fd_, data, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
        return true;
    noteRefusal(errno);
    return false;
}

void DatagramSocket::noteRefusal(int error) {
    counters_.refused.fetch_add(1, std::memory_order_relaxed);
    const size_t reason = size_t(error) < kReasonsLogged ? size_t(error) : 0;
    if (loggedReasons_.test(reason))
        return;
    loggedReasons_.set(reason);
    qCWarning(log_).noquote() << QStringLiteral("the system refuses datagrams (logged once): %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(error)));
}

void DatagramSocket::queue(const QByteArray& datagram, uint32_t address, uint16_t port) {
    if (queuedCount_ == kQueueCapacity)
        flush();
    queued_[size_t(queuedCount_++)] = Queued{datagram, address, port};
}

// A datagram the system refuses is skipped, and the rest still go.
void DatagramSocket::flush() {
    if (queuedCount_ == 1) {  // a paced stream's usual step: the plainer call is the cheaper one
        const Queued& queued = queued_[0];
        sendTo(queued.datagram.constData(), size_t(queued.datagram.size()), queued.address, queued.port);
    } else {
        sendQueued();
    }
    for (int i = 0; i < queuedCount_; ++i)
        queued_[size_t(i)].datagram.clear();
    queuedCount_ = 0;
}

void DatagramSocket::sendQueued() {
    std::array<sockaddr_in, kQueueCapacity> to{};
    std::array<iovec, kQueueCapacity> data{};
    std::array<mmsghdr, kQueueCapacity> messages{};
    for (int i = 0; i < queuedCount_; ++i) {
        const Queued& queued = queued_[size_t(i)];
        to[size_t(i)] = socketAddress(queued.address, queued.port);
        data[size_t(i)] = {const_cast<char*>(queued.datagram.constData()), size_t(queued.datagram.size())};
        msghdr& header = messages[size_t(i)].msg_hdr;
        header.msg_name = &to[size_t(i)];
        header.msg_namelen = sizeof(sockaddr_in);
        header.msg_iov = &data[size_t(i)];
        header.msg_iovlen = 1;
    }
    for (int sent = 0; fd_ >= 0 && sent < queuedCount_;) {
        const int accepted = ::sendmmsg(fd_, messages.data() + sent, unsigned(queuedCount_ - sent), MSG_DONTWAIT);
        if (accepted > 0) {
            sent += accepted;
        } else {
            noteRefusal(errno);  // the first of those left; the rest are tried again
            ++sent;
        }
    }
}
