#include "udp/DatagramSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

DatagramSocket::~DatagramSocket() { close(); }

void DatagramSocket::open(uint32_t address, uint16_t port, bool shareAddress) {
    close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return;
    const int on = 1;
    // The subnet copy goes to a broadcast address.
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (shareAddress)
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in local = socketAddress(address, port);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

void DatagramSocket::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool DatagramSocket::sendTo(const char* data, size_t size, uint32_t address, uint16_t port) {
    if (fd_ < 0)
        return false;
    const sockaddr_in to = socketAddress(address, port);
    return ::sendto(fd_, data, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(size);
}
