#include "UdpCommands.h"

#include "ClientError.h"
#include "CommandLine.h"
#include "JsonOutput.h"
#include "PacketCounterTracker.h"
#include "ProgressLine.h"

#include "capture/PcapRecorder.h"
#include "udp/HelloDecoder.h"
#include "udp/ProfilePacketDecoder.h"

#include "StopSignals.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QSet>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sys/socket.h>

namespace {

constexpr quint16 kHelloPort = 6001;
constexpr quint16 kStreamPort = 6003;
constexpr int kMaxSeconds = 3600;

// Hello listeners share their port on purpose (each receives a broadcast
// hello); a stream's port is held alone, so that a port some other socket
// holds is refused rather than silently split with it.
void bindOrFail(QUdpSocket& socket, quint16 port, QUdpSocket::BindMode mode) {
    if (!socket.bind(QHostAddress::AnyIPv4, port, mode))
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
        if (path.isEmpty())
            return;
        if (const MaybeFailure failure = recorder_.open(path))
            fail(kExitFile, failure->message);
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
               !recorder_.failure();
    }

    // False when nothing was to be recorded.
    bool finish() {
        if (path_.isEmpty())
            return false;
        if (!recorder_.close())
            fail(kExitFile, recorder_.failure()->message);
        return true;
    }

    const QString& path() const { return path_; }
    long long written() const { return recorder_.written(); }

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

QJsonObject helloJson(const HelloInfo& h) {
    QJsonObject device = factoryJson(h.factory, h.mac);
    device.insert(QStringLiteral("device_type"), h.deviceType);
    device.insert(QStringLiteral("address"), h.address);
    return device;
}

struct StreamTally {
    PacketCounterTracker counters;
    long long checksumFailures = 0;
    long long malformed = 0;
    long long bytes = 0;
    int lastPoints = -1;
    qint64 firstMs = -1;
    qint64 lastMs = -1;

    void take(const QByteArray& datagram, qint64 nowMs) {
        if (firstMs < 0)
            firstMs = nowMs;
        lastMs = nowMs;
        bytes += datagram.size();
        const PacketDecode decoded = decodeProfilePacket(datagram);
        if (decoded.failure.code == PacketFault::Checksum)
            ++checksumFailures;
        if (decoded.failure.code == PacketFault::Malformed)
            ++malformed;
        if (!decoded.ok())
            return;
        counters.note(decoded.packet.packetCounter);
        lastPoints = int(decoded.packet.x.size());
    }

    long long datagrams() const { return counters.packets() + checksumFailures + malformed; }
    // Lost on the way: the counters' gaps less what this client dropped itself.
    long long lost(uint32_t droppedHere) const { return std::max(0LL, counters.lost() - droppedHere); }

    // Packets per second between the first and the last arrival.
    double rate() const {
        if (datagrams() < 2 || lastMs <= firstMs)
            return 0.0;
        return (datagrams() - 1) * 1000.0 / double(lastMs - firstMs);
    }
};

// A sender of datagrams: IPv4 address and UDP port.
using Sender = std::pair<quint32, quint16>;

QString senderText(const Sender& sender) {
    return QStringLiteral("%1:%2").arg(QHostAddress(sender.first).toString()).arg(sender.second);
}

// --from ADDR or ADDR:PORT: the one sender whose datagrams are counted and
// recorded; without it, every sender's.
struct SenderFilter {
    QString text;
    std::optional<quint32> address;
    std::optional<quint16> port;

    bool keeps(const Sender& sender) const {
        return (!address || *address == sender.first) && (!port || *port == sender.second);
    }
};

SenderFilter senderFilter(const QString& text) {
    SenderFilter filter{text, std::nullopt, std::nullopt};
    if (text.isEmpty())
        return filter;
    const QString addressText = text.section(':', 0, 0);
    const QHostAddress address(addressText);
    long long port = 0;
    const bool portOk = !text.contains(':') || (parseNumber(text.section(':', 1), port) && port >= 1 && port <= 65535);
    if (address.protocol() != QAbstractSocket::IPv4Protocol || !portOk)
        fail(kExitUsage, QStringLiteral("--from takes an IPv4 address, optionally with :PORT, not \"%1\"").arg(text));
    filter.address = address.toIPv4Address();
    if (text.contains(':'))
        filter.port = quint16(port);
    return filter;
}

// The stream counted per sender: two emulators streaming to one port would
// otherwise look like one sender that loses and restarts all the time.
class StreamSenders {
public:
    // Senders counted apart; a flood of forged ones must not grow the map.
    static constexpr size_t kMaxSenders = 64;

    explicit StreamSenders(const SenderFilter& filter) : filter_(filter) { clock_.start(); }

    // False for a datagram the filter (or the bound) leaves out.
    bool take(const QNetworkDatagram& datagram) {
        const Sender sender{datagram.senderAddress().toIPv4Address(), quint16(datagram.senderPort())};
        if (!filter_.keeps(sender)) {
            ++filteredOut_;
            return false;
        }
        if (tallies_.size() >= kMaxSenders && tallies_.count(sender) == 0) {
            ++pastBound_;
            return false;
        }
        tallies_[sender].take(datagram.data(), clock_.elapsed());
        return true;
    }

    const std::map<Sender, StreamTally>& tallies() const { return tallies_; }
    long long datagrams() const { return sum(&StreamTally::datagrams); }
    long long bytes() const { return sum([](const StreamTally& t) { return t.bytes; }); }
    long long checksumFailures() const { return sum([](const StreamTally& t) { return t.checksumFailures; }); }
    long long malformed() const { return sum([](const StreamTally& t) { return t.malformed; }); }
    double rate() const { return sum(&StreamTally::rate); }
    long long filteredOut() const { return filteredOut_; }
    long long pastBound() const { return pastBound_; }
    double elapsedSeconds() const { return clock_.elapsed() / 1000.0; }
    const SenderFilter& filter() const { return filter_; }

    // Two senders whose first-to-last spans overlap streamed at once; one
    // that follows another (an emulator restarted from a new port) did not.
    bool sentAtOnce() const {
        qint64 lastSoFar = -1;
        std::vector<std::pair<qint64, qint64>> spans;
        for (const auto& entry : tallies_)
            spans.emplace_back(entry.second.firstMs, entry.second.lastMs);
        std::sort(spans.begin(), spans.end());
        for (const auto& [first, last] : spans) {
            if (first <= lastSoFar)
                return true;
            lastSoFar = std::max(lastSoFar, last);
        }
        return false;
    }

private:
    template <typename Value>
    auto sum(Value value) const -> std::decay_t<decltype(std::invoke(value, std::declval<const StreamTally&>()))> {
        std::decay_t<decltype(std::invoke(value, std::declval<const StreamTally&>()))> total{};
        for (const auto& entry : tallies_)
            total += std::invoke(value, entry.second);
        return total;
    }

    SenderFilter filter_;
    QElapsedTimer clock_;
    std::map<Sender, StreamTally> tallies_;
    long long filteredOut_ = 0;
    long long pastBound_ = 0;
};

// Rate, losses and faults of one sender; `droppedHere` is taken off its lost.
void printTally(QTextStream& out, const StreamTally& t, const QString& prefix, uint32_t droppedHere) {
    out << prefix << QStringLiteral("rate %1 packets/s").arg(t.rate(), 0, 'f', 1);
    if (t.lastPoints >= 0)
        out << QStringLiteral(", %1 points per packet").arg(t.lastPoints);
    out << '\n' << prefix
        << QStringLiteral("lost %1, reordered %2, duplicates %3, counter restarts %4\n")
               .arg(t.lost(droppedHere))
               .arg(t.counters.reordered())
               .arg(t.counters.duplicates())
               .arg(t.counters.restarts());
    out << prefix << QStringLiteral("checksum failures %1, malformed %2\n").arg(t.checksumFailures).arg(t.malformed);
}

void printSenders(QTextStream& out, const StreamSenders& senders, quint16 port, double seconds, uint32_t droppedHere) {
    const auto& tallies = senders.tallies();
    const bool one = tallies.size() == 1;
    out << QStringLiteral("received %1 packets (%2 bytes) on UDP port %3 from %4 in %5 s\n")
               .arg(senders.datagrams())
               .arg(senders.bytes())
               .arg(port)
               .arg(one ? senderText(tallies.begin()->first) : QStringLiteral("%1 senders").arg(tallies.size()))
               .arg(seconds);
    if (one) {
        // The client's own drops show as gaps in the one sender's counter.
        printTally(out, tallies.begin()->second, QString(), droppedHere);
        out << QStringLiteral("dropped by this client's full receive buffer %1 (not in lost)\n").arg(droppedHere);
    } else {
        out << (senders.sentAtOnce()
                    ? QStringLiteral("warning: %1 senders streamed to this port at once; each is counted apart, "
                                     "--from ADDR[:PORT] keeps one\n")
                    : QStringLiteral("%1 senders one after the other (a restarted emulator sends from a new port)\n"))
                   .arg(tallies.size());
        for (const auto& [sender, tally] : tallies) {
            const QString prefix = senderText(sender) + QStringLiteral(": ");
            out << prefix << QStringLiteral("received %1 packets (%2 bytes)\n").arg(tally.datagrams()).arg(tally.bytes);
            printTally(out, tally, prefix, 0);
        }
        out << QStringLiteral("all senders: checksum failures %1, malformed %2\n")
                   .arg(senders.checksumFailures())
                   .arg(senders.malformed());
        out << QStringLiteral("dropped by this client's full receive buffer %1 (in the senders' lost)\n").arg(droppedHere);
    }
    if (senders.filteredOut() > 0)
        out << QStringLiteral("ignored %1 datagrams from other senders than %2\n")
                   .arg(senders.filteredOut())
                   .arg(senders.filter().text);
    if (senders.pastBound() > 0)
        out << QStringLiteral("ignored %1 datagrams from senders past the first %2\n")
                   .arg(senders.pastBound())
                   .arg(StreamSenders::kMaxSenders);
}

// One sender's figures; `droppedHere` is taken off its lost.
QJsonObject tallyJson(const StreamTally& t, uint32_t droppedHere) {
    return {{QStringLiteral("received"), double(t.datagrams())},
            {QStringLiteral("bytes"), double(t.bytes)},
            {QStringLiteral("packets_per_second"), t.rate()},
            {QStringLiteral("points_per_packet"), t.lastPoints < 0 ? QJsonValue() : QJsonValue(t.lastPoints)},
            {QStringLiteral("lost"), double(t.lost(droppedHere))},
            {QStringLiteral("reordered"), double(t.counters.reordered())},
            {QStringLiteral("duplicates"), double(t.counters.duplicates())},
            {QStringLiteral("counter_restarts"), double(t.counters.restarts())},
            {QStringLiteral("checksum_failures"), double(t.checksumFailures)},
            {QStringLiteral("malformed"), double(t.malformed)}};
}

// Totals and one object per sender; with a single sender its figures stand
// at the top level too, as the text report gives them.
QJsonObject sendersJson(const StreamSenders& senders, quint16 port, double seconds, uint32_t droppedHere) {
    const auto& tallies = senders.tallies();
    QJsonObject summary = tallies.size() == 1 ? tallyJson(tallies.begin()->second, droppedHere) : QJsonObject();
    QJsonArray each;
    for (const auto& [sender, tally] : tallies) {
        QJsonObject one = tallyJson(tally, tallies.size() == 1 ? droppedHere : 0);
        one.insert(QStringLiteral("sender"), senderText(sender));
        each.append(one);
    }
    summary.insert(QStringLiteral("port"), port);
    summary.insert(QStringLiteral("seconds"), seconds);
    summary.insert(QStringLiteral("received"), double(senders.datagrams()));
    summary.insert(QStringLiteral("bytes"), double(senders.bytes()));
    summary.insert(QStringLiteral("checksum_failures"), double(senders.checksumFailures()));
    summary.insert(QStringLiteral("malformed"), double(senders.malformed()));
    summary.insert(QStringLiteral("dropped_by_client"), double(droppedHere));
    summary.insert(QStringLiteral("senders"), each);
    summary.insert(QStringLiteral("sent_at_once"), senders.sentAtOnce());
    summary.insert(QStringLiteral("ignored_other_senders"), double(senders.filteredOut()));
    summary.insert(QStringLiteral("ignored_past_bound"), double(senders.pastBound()));
    return summary;
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
    CommandLine line(QStringLiteral("discover [--port P] [--seconds S] [--json]"),
                     QStringLiteral("Listens for hello packets (one every 2 s per emulator) and prints each device "
                                    "once: type, address, MAC, serial number, XEMR, ZDIAP, XSMR, ZBASE and ports."),
                     CommandLine::NoServer);
    addJsonOption(line);
    const std::optional<Listening> listening = parseListening(line, arguments, out, kHelloPort, 3);
    if (!listening)
        return kExitOk;
    const auto [port, seconds] = *listening;

    QUdpSocket socket;
    bindOrFail(socket, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    QSet<QString> seen;
    int ignored = 0;
    receiveDatagrams(socket, seconds, [&](const QNetworkDatagram& datagram) {
        const std::optional<HelloInfo> hello = decodeHelloPacket(datagram.data());
        if (!hello) {
            ++ignored;
            return true;
        }
        const QString text = helloLine(*hello);
        if (seen.contains(text))
            return true;
        seen.insert(text);
        if (wantsJson(line))
            printJson(out, helloJson(*hello));
        else
            out << text << Qt::flush;
        return true;
    });
    if (ignored > 0 && !wantsJson(line))
        out << QStringLiteral("ignored %1 datagrams that are no hello packet\n").arg(ignored);
    if (seen.isEmpty())
        fail(kExitNoEmulator, QStringLiteral("no hello packet on UDP port %1 within %2 s").arg(port).arg(seconds));
    return kExitOk;
}

int runStream(const QStringList& arguments, QTextStream& out) {
    CommandLine line(
        QStringLiteral("stream [--port P] [--seconds S] [--from ADDR[:PORT]] [--record FILE.pcap] [--json]"),
        QStringLiteral("Receives the profile stream and prints the packet rate, lost and reordered packets (from the "
                       "packet counter) and checksum failures, per sender when more than one sends. The emulator "
                       "pauses the stream while a command client is connected."),
        CommandLine::NoServer);
    line.addOption(QStringLiteral("record"),
                   QStringLiteral("Write every datagram counted to a pcap file (raw IPv4) with its receive time."),
                   QStringLiteral("FILE.pcap"));
    line.addOption(QStringLiteral("from"),
                   QStringLiteral("Count and record only the datagrams from this address (and port)."),
                   QStringLiteral("ADDR[:PORT]"));
    addJsonOption(line);
    const std::optional<Listening> listening = parseListening(line, arguments, out, kStreamPort, 5);
    if (!listening)
        return kExitOk;
    const auto [port, seconds] = *listening;

    StreamSenders senders(senderFilter(line.value(QStringLiteral("from"))));
    StreamRecording recording(line.value(QStringLiteral("record")));
    QUdpSocket socket;
    bindOrFail(socket, port, QUdpSocket::DontShareAddress);
    enlargeReceiveBuffer(socket);
    uint32_t droppedHere = 0;  // by this client's full receive buffer
    {
        ProgressLine progress;  // gone before the summary
        droppedHere = receiveDatagrams(socket, seconds, [&](const QNetworkDatagram& datagram) {
            if (!senders.take(datagram))
                return true;
            progress.show(QStringLiteral("%1 packets, %2 packets/s, %3 bytes")
                              .arg(senders.datagrams())
                              .arg(senders.rate(), 0, 'f', 1)
                              .arg(senders.bytes()));
            return recording.take(datagram, port);
        });
    }
    const bool recorded = recording.finish();
    const double listened = std::min<double>(seconds, senders.elapsedSeconds());
    if (wantsJson(line)) {
        QJsonObject summary = sendersJson(senders, port, listened, droppedHere);
        if (recorded)
            summary.insert(QStringLiteral("recorded"), double(recording.written()));
        printJson(out, summary);
    } else if (senders.datagrams() > 0) {
        if (recorded)
            out << QStringLiteral("recorded %1 datagrams to %2\n").arg(recording.written()).arg(recording.path());
        printSenders(out, senders, port, listened, droppedHere);
    }
    if (senders.datagrams() == 0) {
        const QString from = senders.filter().text.isEmpty()
                                 ? QString()
                                 : QStringLiteral(" from %1 (%2 from other senders ignored)")
                                       .arg(senders.filter().text)
                                       .arg(senders.filteredOut());
        fail(kExitNoEmulator,
             QStringLiteral("no profile packet on UDP port %1 within %2 s%3").arg(port).arg(seconds).arg(from));
    }
    if (senders.checksumFailures() + senders.malformed() > 0)
        fail(kExitProtocol, QStringLiteral("%1 packets failed their checksum, %2 were malformed")
                                .arg(senders.checksumFailures())
                                .arg(senders.malformed()));
    return kExitOk;
}
