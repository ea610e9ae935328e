#pragma once

#include "udp/Destinations.h"

#include <QObject>

class QSocketNotifier;

// Tells `interfaces` when the host's links or IPv4 addresses change, so that
// a stream held by a refused address or a hello without a network goes once
// a network comes up after the start. The kernel's routing messages wake it,
// nothing polls; what they say is not read: any one means "ask again". Lives
// on the thread that made it, which must run an event loop.
class InterfaceWatch : public QObject {
public:
    explicit InterfaceWatch(QObject* parent, RecentInterfaceNets& interfaces = hostInterfaces());
    ~InterfaceWatch() override;

private:
    void drain();

    RecentInterfaceNets& interfaces_;
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
