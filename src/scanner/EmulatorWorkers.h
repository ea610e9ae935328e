#pragma once

#include "scanner/EmulatorSession.h"
#include "profile/CameraPicture.h"

#include <QHostAddress>

class HelloBuffer;
class ProfileFeed;
class ScannerFaults;
class TcpTransport;
class UdpHello;
class UdpTransport;
class UserParamsStore;

// What the three workers share: the record, the profile, the hello/factory
// block and the picture. All outlive the session.
struct EmulatorState {
    UserParamsStore& params;
    const ProfileFeed& profile;
    HelloBuffer& hello;
    const CameraPicture& picture;
    QHostAddress streamSource{QHostAddress::AnyIPv4};
    ScannerFaults* faults = nullptr;  // none: no faults, nothing counted
    int areaWidth = 640;
    int areaHeight = 480;
};

struct EmulatorWorkers {
    UdpHello* hello;
    UdpTransport* stream;
    TcpTransport* server;
};

// Creates the hello announcer, the profile stream and the command server on
// the shared state, plugs them into the idle session in that order and pauses
// the stream while a command client is connected. The caller wires its own
// controls to the returned workers before session.start().
EmulatorWorkers plugEmulatorWorkers(EmulatorSession& session, const EmulatorState& state);
