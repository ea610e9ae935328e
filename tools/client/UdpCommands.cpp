#include "UdpCommands.h"

#include "ClientError.h"
#include "CommandLine.h"
#include "PacketCounterTracker.h"
#include "ProgressLine.h"

#include "capture/PcapRecorder.h"
#include "udp/HelloDecoder.h"
#include "udp/ProfilePacketDecoder.h"

#include "StopSignals.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/socket.h>

namespace {

constexpr quint16 kHelloPort = 6001;
constexpr quint16 kStreamPort = 6003;
constexpr int kMaxSeconds = 3600;

// Several listeners (another client, a test) may share the port.
void bindOrFail(QUdpSocket& socket, quint16 port) {
    if (!socket.bind(QHostAddress::AnyIPv4, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
        fail(kExitNoEmulator, QStringLiteral("cannot listen on UDP port %1: %2").arg(port).arg(socket.errorString()));
}

// Room for a long pause of this client (at the highest rate, seconds of
// packets); past the system's limit only for a user with the right to.
constexpr int kReceiveBufferBytes = 8 << 20;
// Datagrams handled before the wait looks at its deadline and stop signals again.
constexpr int kDatagramsPerTurn = 256;

void enlargeReceiveBuffer(QUdpSocket& socket) {
    const int fd = int(socket.socketDescriptor());
    const int bytes = kReceiveBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
}

// The kernel's count of datagrams it dropped for a full receive buffer before
// it queued the next datagram (peeked, left for the reader).
uint32_t dropsBeforeNextDatagram(QUdpSocket& socket) {
    alignas(cmsghdr) char control[256];
    msghdr message{};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(int(socket.socketDescriptor()), &message, MSG_PEEK | MSG_DONTWAIT) < 0)
        return 0;
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        uint32_t drops = 0;
        if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&drops, CMSG_DATA(part), sizeof drops);
            return drops;
        }
    }
    return 0;  // none so far: the kernel adds the count only once it is not 0
}

// Hands every datagram that arrives within `seconds` to `take` until it
// returns false. SIGINT and SIGTERM end the wait early, as the deadline does.
// Returns how many datagrams the kernel dropped for a full receive buffer
// (seen once enlargeReceiveBuffer asked for the count).
uint32_t receiveDatagrams(QUdpSocket& socket, int seconds, const std::function<bool(const QNetworkDatagram&)>& take) {
    uint32_t dropped = 0;
    QEventLoop loop;
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &loop, &QEventLoop::quit);
    // A coarse timer may end the listening 5% early.
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    const auto takePending = [&] {
        for (int i = 0; i < kDatagramsPerTurn && socket.hasPendingDatagrams(); ++i) {
            dropped = std::max(dropped, dropsBeforeNextDatagram(socket));
            const QNetworkDatagram datagram = socket.receiveDatagram();
            if (datagram.isValid() && !take(datagram))
                return loop.quit();
        }
    };
    QObject::connect(&socket, &QUdpSocket::readyRead, &loop, takePending);  // also for what is already queued
    loop.exec();
    return dropped;
}

// --record: every datagram as received, with its addresses and arrival time.
class StreamRecording {
public:
    explicit StreamRecording(const QString& path) : path_(path) {
        QString error;
        if (!path.isEmpty() && !recorder_.open(path, error))
            fail(kExitFile, error);
    }

    // False once the file cannot take more.
    bool take(const QNetworkDatagram& datagram, quint16 port) {
        if (path_.isEmpty())
            return true;
        DatagramAddresses addresses;
        addresses.source = datagram.senderAddress().toIPv4Address();
        addresses.sourcePort = quint16(datagram.senderPort());
        addresses.destination = datagram.destinationAddress().toIPv4Address();
        addresses.destinationPort = port;
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        return recorder_.write(datagram.data(), addresses,
                               std::chrono::duration_cast<std::chrono::microseconds>(now).count()) ||
               recorder_.error().isEmpty();
    }

    void finish(QTextStream& out) {
        if (path_.isEmpty())
            return;
        if (!recorder_.close())
            fail(kExitFile, recorder_.error());
        out << QStringLiteral("recorded %1 datagrams to %2\n").arg(recorder_.written()).arg(path_);
    }

private:
    QString path_;
    PcapRecorder recorder_;
};

QString deviceName(uint16_t type) {
    return type == 310 ? QStringLiteral("PX310") : QStringLiteral("device type %1").arg(type);
}

QString helloLine(const HelloInfo& h) {
    return QStringLiteral("%1 at %2  MAC %3  serial %4  XEMR %5  ZDIAP %6  XSMR %7  ZBASE %8  TCP port %9  "
                          "UDP port %10\n")
        .arg(deviceName(h.deviceType), h.address, macText(h.mac))
        .arg(h.factory.serial)
        .arg(h.factory.xemr)
        .arg(h.factory.zdiap)
        .arg(h.factory.xsmr)
        .arg(h.factory.zbase)
        .arg(h.factory.tcpPort)
        .arg(h.factory.udpPort);
}

struct StreamTally {
    PacketCounterTracker counters;
    long long checksumFailures = 0;
    long long malformed = 0;
    long long bytes = 0;
    uint32_t droppedHere = 0;  // by this client's full receive buffer
    int lastPoints = -1;
    QElapsedTimer clock;
    qint64 firstMs = -1;
    qint64 lastMs = -1;

    void take(const QByteArray& datagram) {
        const qint64 now = clock.elapsed();
        if (firstMs < 0)
            firstMs = now;
        lastMs = now;
        bytes += datagram.size();
        const PacketDecode decoded = decodeProfilePacket(datagram);
        if (decoded.fault == PacketFault::Checksum)
            ++checksumFailures;
        if (decoded.fault == PacketFault::Malformed)
            ++malformed;
        if (!decoded.ok())
            return;
        counters.note(decoded.packet.packetCounter);
        lastPoints = int(decoded.packet.x.size());
    }

    long long datagrams() const { return counters.packets() + checksumFailures + malformed; }
    // Lost on the way: the counters' gaps less what this client dropped itself.
    long long lost() const { return std::max(0LL, counters.lost() - droppedHere); }

    // Packets per second between the first and the last arrival.
    double rate() const {
        if (datagrams() < 2 || lastMs <= firstMs)
            return 0.0;
        return (datagrams() - 1) * 1000.0 / double(lastMs - firstMs);
    }
};

void printTally(QTextStream& out, const StreamTally& t, quint16 port, double seconds) {
    out << QStringLiteral("received %1 packets (%2 bytes) on UDP port %3 in %4 s\n")
               .arg(t.datagrams())
               .arg(t.bytes)
               .arg(port)
               .arg(seconds);
    out << QStringLiteral("rate %1 packets/s, %2 points per packet\n").arg(t.rate(), 0, 'f', 1).arg(t.lastPoints);
    out << QStringLiteral("lost %1, reordered %2, duplicates %3, counter restarts %4\n")
               .arg(t.lost())
               .arg(t.counters.reordered())
               .arg(t.counters.duplicates())
               .arg(t.counters.restarts());
    out << QStringLiteral("checksum failures %1, malformed %2\n").arg(t.checksumFailures).arg(t.malformed);
    out << QStringLiteral("dropped by this client's full receive buffer %1 (not in lost)\n").arg(t.droppedHere);
}

struct Listening {
    quint16 port = 0;
    int seconds = 0;
};

// --port and --seconds of a listening command; nothing when --help was asked for.
std::optional<Listening> parseListening(CommandLine& line, const QStringList& arguments, QTextStream& out,
                                        quint16 defaultPort, int defaultSeconds) {
    line.addOption(QStringLiteral("port"), QStringLiteral("UDP port to listen on (default %1).").arg(defaultPort),
                   QStringLiteral("P"));
    line.addOption(QStringLiteral("seconds"), QStringLiteral("How long to listen (default %1).").arg(defaultSeconds),
                   QStringLiteral("S"));
    if (!line.parse(arguments, out))
        return std::nullopt;
    line.positional(0);
    return Listening{quint16(line.number(QStringLiteral("port"), 1, 65535, defaultPort)),
                     int(line.number(QStringLiteral("seconds"), 1, kMaxSeconds, defaultSeconds))};
}

}  // namespace

int runDiscover(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("discover [--port P] [--seconds S]"),
                     QStringLiteral("Listens for hello packets (one every 2 s per emulator) and prints each device "
                                    "once: type, address, MAC, serial number, XEMR, ZDIAP, XSMR, ZBASE and ports."),
                     CommandLine::NoServer);
    const std::optional<Listening> listening = parseListening(line, arguments, out, kHelloPort, 3);
    if (!listening)
        return kExitOk;
    const auto [port, seconds] = *listening;

    QUdpSocket socket;
    bindOrFail(socket, port);
    QSet<QString> seen;
    int ignored = 0;
    receiveDatagrams(socket, seconds, [&](const QNetworkDatagram& datagram) {
        const std::optional<HelloInfo> hello = decodeHelloPacket(datagram.data());
        if (!hello) {
            ++ignored;
            return true;
        }
        const QString text = helloLine(*hello);
        if (!seen.contains(text)) {
            seen.insert(text);
            out << text;
            out.flush();
        }
        return true;
    });
    if (ignored > 0)
        out << QStringLiteral("ignored %1 datagrams that are no hello packet\n").arg(ignored);
    if (seen.isEmpty())
        fail(kExitNoEmulator, QStringLiteral("no hello packet on UDP port %1 within %2 s").arg(port).arg(seconds));
    return kExitOk;
}

int runStream(const QStringList& arguments, QTextStream& out) {
    CommandLine line(QStringLiteral("stream [--port P] [--seconds S] [--record FILE.pcap]"),
                     QStringLiteral("Receives the profile stream and prints the packet rate, lost and reordered "
                                    "packets (from the packet counter) and checksum failures. The emulator pauses "
                                    "the stream while a command client is connected."),
                     CommandLine::NoServer);
    line.addOption(QStringLiteral("record"),
                   QStringLiteral("Write every received datagram to a pcap file (raw IPv4) with its receive time."),
                   QStringLiteral("FILE.pcap"));
    const std::optional<Listening> listening = parseListening(line, arguments, out, kStreamPort, 5);
    if (!listening)
        return kExitOk;
    const auto [port, seconds] = *listening;

    StreamRecording recording(line.value(QStringLiteral("record")));
    QUdpSocket socket;
    bindOrFail(socket, port);
    enlargeReceiveBuffer(socket);
    StreamTally tally;
    tally.clock.start();
    {
        ProgressLine progress;  // gone before the summary
        tally.droppedHere = receiveDatagrams(socket, seconds, [&](const QNetworkDatagram& datagram) {
            tally.take(datagram.data());
            progress.show(QStringLiteral("%1 packets, %2 packets/s, %3 bytes")
                              .arg(tally.datagrams())
                              .arg(tally.rate(), 0, 'f', 1)
                              .arg(tally.bytes));
            return recording.take(datagram, port);
        });
    }
    recording.finish(out);
    printTally(out, tally, port, std::min<double>(seconds, tally.clock.elapsed() / 1000.0));
    if (tally.datagrams() == 0)
        fail(kExitNoEmulator, QStringLiteral("no profile packet on UDP port %1 within %2 s").arg(port).arg(seconds));
    if (tally.checksumFailures + tally.malformed > 0)
        fail(kExitProtocol, QStringLiteral("%1 packets failed their checksum, %2 were malformed")
                                .arg(tally.checksumFailures)
                                .arg(tally.malformed));
    return kExitOk;
}
