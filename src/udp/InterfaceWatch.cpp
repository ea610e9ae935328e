#include "udp/InterfaceWatch.h"

#include "log/LogCategories.h"

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <cstring>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void warnUnwatched(const char* call) {
    qCWarning(lcStream).noquote() << "interfaces: changes are not watched:" << call << "failed:"
                                  << QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

InterfaceWatch::InterfaceWatch(QObject* parent, RecentInterfaceNets& interfaces)
    : QObject(parent), interfaces_(interfaces) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd_ < 0) {
        warnUnwatched("socket");
        return;
    }
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&groups), sizeof groups) < 0) {
        warnUnwatched("bind");
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &InterfaceWatch::drain);
}

InterfaceWatch::~InterfaceWatch() {
    delete notifier_;  // before its descriptor goes
    if (fd_ >= 0)
        ::close(fd_);
}

// One ask for a burst: an address added comes with several messages. A full
// receive queue (ENOBUFS) lost some, which still means a change.
void InterfaceWatch::drain() {
    std::array<char, 8192> message;
    for (;;) {
        if (::recv(fd_, message.data(), message.size(), MSG_DONTWAIT) >= 0 || errno == ENOBUFS || errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            warnUnwatched("recv");
            notifier_->setEnabled(false);
        }
        break;
    }
    interfaces_.changed();
}
