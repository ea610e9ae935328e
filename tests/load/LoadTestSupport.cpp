#include "LoadTestSupport.h"

#include "tcp/TcpTestSupport.h"

#include <QFile>
#include <QNetworkDatagram>

long processRssKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

LiveEmulator::LiveEmulator(int profilePoints) { prepare(profilePoints); }

LiveEmulator::LiveEmulator(Engine& engine) : scanner(engine) { prepare(1280); }

void LiveEmulator::prepare(int profilePoints) {
    streamReceiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
    scanner.setLocalAddress(QStringLiteral("127.0.0.1"));
    params().update([this](USER_PARAMS& p) {
        p.tcp_port_u16 = 0;
        p.udp_port_u16 = streamReceiver.localPort();
        p.udp_frequency_u16 = 100;
        p.wUDP = 1;
    });
    scanner.profile().replace(rampProfile(profilePoints));
    QObject::connect(&scanner, &Scanner::clientConnected, [this] { ++connects; });
}

void LiveEmulator::start() {
    scanner.start();
    waitUntil([this] { return serverPort() != 0; });
}

std::unique_ptr<QTcpSocket> LiveEmulator::connectClient() {
    const int before = connects;
    auto client = connectTo(serverPort());
    waitUntil([&] { return connects > before; });
    return client;
}

int LiveEmulator::drainStream() {
    int count = 0;
    for (; streamReceiver.hasPendingDatagrams(); ++count)
        streamReceiver.receiveDatagram();
    return count;
}

QByteArray LiveEmulator::nextStreamDatagram(int timeoutMs) {
    drainStream();
    if (!waitUntil([this] { return streamReceiver.hasPendingDatagrams(); }, timeoutMs))
        return {};
    return streamReceiver.receiveDatagram().data();
}
