#pragma once

#include "scanner/EmulatorSession.h"
#include "scanner/EmulatorWorkers.h"
#include "params/UserParams.h"
#include "profile/CameraPicture.h"
#include "profile/ProfileSource.h"
#include "udp/HelloPacket.h"

#include <QTcpSocket>
#include <QUdpSocket>
#include <atomic>
#include <memory>

// What /proc/self/status and /proc/self/fd say about this process.
long processRssKb();
int openDescriptorCount();

// The whole emulator as Start builds it, on loopback: the hello announcer,
// the stream (to a receiver of this process) and the command server.
class LiveEmulator {
public:
    LiveEmulator();
    ~LiveEmulator();

    void start();
    void stop();
    bool running() const { return session_.isRunning(); }
    quint16 serverPort() const;

    // Connects and waits until the server has taken the client.
    std::unique_ptr<QTcpSocket> connectClient();

    // Waits for a new profile datagram, after dropping what arrived before.
    QByteArray nextStreamDatagram(int timeoutMs = 5000);

    UserParamsStore params;
    ProfileStore profile;
    ProfileFeed feed{profile};
    CameraPicture picture{};
    HelloBuffer hello;
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};

private:
    QUdpSocket streamReceiver_;
    EmulatorSession session_;
    EmulatorWorkers workers_{};
};
