#pragma once

#include "scanner/Scanner.h"

#include <QTcpSocket>
#include <QUdpSocket>
#include <atomic>
#include <memory>

// What /proc/self/status says about this process.
long processRssKb();

// A scanner on loopback: the stream goes to a receiver of this process, the
// command server listens on a port the system picks.
class LiveEmulator {
public:
    explicit LiveEmulator(int profilePoints = 1280);
    // On `engine`, shared with other scanners.
    explicit LiveEmulator(Engine& engine);

    void start();
    void stop() { scanner.stop(); }
    quint16 serverPort() const { return scanner.listeningPort(); }
    UserParamsStore& params() { return scanner.params(); }

    // Connects and waits until the server has taken the client.
    std::unique_ptr<QTcpSocket> connectClient();
    // Datagrams that arrived so far, dropped.
    int drainStream();
    // Waits for a new profile datagram, after dropping what arrived before.
    QByteArray nextStreamDatagram(int timeoutMs = 5000);

    QUdpSocket streamReceiver;
    Scanner scanner;
    std::atomic<int> connects{0};

private:
    void prepare(int profilePoints);
};
