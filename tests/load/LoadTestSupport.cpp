#include "LoadTestSupport.h"

#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/TcpTransport.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkDatagram>

namespace {

long statusField(const char* name) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    return -1;
}

}  // namespace

long processRssKb() { return statusField("VmRSS"); }

int openDescriptorCount() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size(); }

LiveEmulator::LiveEmulator() {
    streamReceiver_.bind(QHostAddress(QHostAddress::LocalHost), 0);
    params.update([this](USER_PARAMS& p) {
        ipv4TextToField(QStringLiteral("127.0.0.1"), p.tcp_ip_address_u8);
        ipv4TextToField(QStringLiteral("255.255.255.0"), p.tcp_subnet_mask_u8);
        p.tcp_port_u16 = 0;
        p.udp_port_u16 = streamReceiver_.localPort();
        p.udp_frequency_u16 = 100;
        p.wUDP = 1;
    });
    profile.replace(rampProfile(1280));
}

LiveEmulator::~LiveEmulator() { stop(); }

void LiveEmulator::start() {
    workers_ = plugEmulatorWorkers(session_, EmulatorState{params, feed, hello, picture});
    QObject::connect(workers_.server, &TcpTransport::Connected, [this] { ++connects; });
    QObject::connect(workers_.server, &TcpTransport::Disconnected, [this] { ++disconnects; });
    session_.start();
    waitUntil([this] { return serverPort() != 0; });
}

void LiveEmulator::stop() {
    session_.stop();
    workers_ = EmulatorWorkers{};
}

quint16 LiveEmulator::serverPort() const { return workers_.server ? workers_.server->listeningPort() : 0; }

std::unique_ptr<QTcpSocket> LiveEmulator::connectClient() {
    const int before = connects;
    auto client = connectTo(serverPort());
    waitUntil([&] { return connects > before; });
    return client;
}

QByteArray LiveEmulator::nextStreamDatagram(int timeoutMs) {
    while (streamReceiver_.hasPendingDatagrams())
        streamReceiver_.receiveDatagram();
    if (!waitUntil([this] { return streamReceiver_.hasPendingDatagrams(); }, timeoutMs))
        return {};
    return streamReceiver_.receiveDatagram().data();
}
