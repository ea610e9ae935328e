#include "udp/Destinations.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace {

constexpr uint32_t kLoopbackNet = 0x7F000000;
constexpr uint32_t kLoopbackMask = 0xFF000000;
constexpr uint32_t kMulticastNet = 0xE0000000;
constexpr uint32_t kMulticastMask = 0xF0000000;
constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFF;
constexpr int kAddressBits = 32;

// Four decimal numbers only: the system's parser takes "198.51.100" for
// 198.51.0.100, which would aim datagrams at a host nobody named.
std::optional<uint32_t> parseAddress(const QString& text) {
    static const QRegularExpression kDottedQuad(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    QHostAddress address;
    if (!kDottedQuad.match(text).hasMatch() || !address.setAddress(text) ||
        address.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return address.toIPv4Address();
}

uint32_t maskOf(int bits) { return bits == 0 ? 0 : ~uint32_t(0) << (kAddressBits - bits); }

QString addressText(uint32_t address) { return QHostAddress(address).toString(); }

// A destination no datagram can be sent to, or one refused wherever it is given.
// `choices` names the words the option takes besides an address.
Outcome<uint32_t> destinationAddress(const QString& text, const char* option, const char* choices) {
    const std::optional<uint32_t> address = parseAddress(text);
    if (!address)
        return inputFailure(QStringLiteral("%1 takes an IPv4 address, not \"%2\" (%3)")
                                .arg(QLatin1String(option), text, QLatin1String(choices)));
    if (*address == 0)
        return refusedFailure(QStringLiteral("%1: 0.0.0.0 is no destination (%2)")
                                  .arg(QLatin1String(option), QLatin1String(choices)));
    return *address;
}

// The configured broadcast address, or the subnet's highest, which some
// interfaces take as one without saying so.
bool isBroadcast(uint32_t address, const std::vector<InterfaceNet>& attached) {
    constexpr uint32_t kPointToPointMask = 0xFFFFFFFE;
    return address == kLimitedBroadcast || std::any_of(attached.begin(), attached.end(), [address](const InterfaceNet& net) {
               const bool subnetTop = net.mask < kPointToPointMask && address == (net.address | ~net.mask);
               return (net.broadcast != 0 && net.broadcast == address) || subnetTop;
           });
}

}  // namespace

std::vector<InterfaceNet> upInterfaceNets() {
    std::vector<InterfaceNet> nets;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!(interface.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries())
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                nets.push_back({entry.ip().toIPv4Address(), entry.netmask().toIPv4Address(),
                                entry.broadcast().isNull() ? 0 : entry.broadcast().toIPv4Address()});
    }
    return nets;
}

std::vector<InterfaceNet> RecentInterfaceNets::at(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!askedAt_ || now - *askedAt_ >= kMaxAge) {
        nets_ = ask_();
        askedAt_ = now;
    }
    return nets_;
}

// Asked on the thread that heard of the change: the streams that judge again
// on the send thread then find them fresh, and ask nothing there.
void RecentInterfaceNets::changed() {
    std::vector<InterfaceNet> nets = ask_();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nets_ = std::move(nets);
        askedAt_ = Clock::now();
    }
    changes_.notify();
}

RecentInterfaceNets& hostInterfaces() {
    static RecentInterfaceNets process;
    return process;
}

Outcome<StreamTarget> parseStreamTarget(const QString& text) {
    if (text == QLatin1String("loopback"))
        return StreamTarget{};
    if (text == QLatin1String("record"))
        return StreamTarget{StreamTarget::Kind::Record, {}};
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    StreamTarget target{StreamTarget::Kind::Fixed, {}};
    if (colon >= 0) {
        bool ok = false;
        const uint port = text.mid(colon + 1).toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return inputFailure(
                QStringLiteral("--stream-to takes a port from 1 to 65535 after the address, not \"%1\"").arg(text));
        target.fixed.port = uint16_t(port);
    }
    const Outcome<uint32_t> address = destinationAddress(text.left(colon), "--stream-to", "or loopback or record");
    if (!address.ok())
        return address.failure();
    target.fixed.address = *address;
    return target;
}

Outcome<HelloTarget> parseHelloTarget(const QString& text) {
    if (text == QLatin1String("loopback"))
        return HelloTarget{};
    if (text == QLatin1String("broadcast"))
        return HelloTarget{HelloTarget::Kind::Broadcast, 0};
    const Outcome<uint32_t> address = destinationAddress(text, "--hello-to", "or loopback or broadcast");
    if (!address.ok())
        return address.failure();
    return HelloTarget{HelloTarget::Kind::Fixed, *address};
}

Outcome<std::vector<Ipv4Net>> parseNetList(const QString& text) {
    std::vector<Ipv4Net> nets;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QStringList pieces = part.trimmed().split(QLatin1Char('/'));
        const std::optional<uint32_t> address = parseAddress(pieces.front());
        bool ok = pieces.size() == 1;
        const int bits = ok ? kAddressBits : pieces.back().toInt(&ok);
        if (!address || pieces.size() > 2 || !ok || bits < 0 || bits > kAddressBits)
            return inputFailure(
                QStringLiteral("--stream-allow takes networks such as 198.51.100.0/24, comma-separated, not \"%1\"")
                    .arg(part));
        nets.push_back({*address & maskOf(bits), maskOf(bits)});
    }
    return nets;
}

QString streamTargetText(const StreamTarget& target) {
    switch (target.kind) {
    case StreamTarget::Kind::Loopback: return QStringLiteral("loopback");
    case StreamTarget::Kind::Record: return QStringLiteral("record");
    case StreamTarget::Kind::Fixed: break;
    }
    return target.fixed.port ? endpointText(target.fixed) : addressText(target.fixed.address);
}

QString helloTargetText(const HelloTarget& target) {
    switch (target.kind) {
    case HelloTarget::Kind::Loopback: return QStringLiteral("loopback");
    case HelloTarget::Kind::Broadcast: return QStringLiteral("broadcast");
    case HelloTarget::Kind::Fixed: break;
    }
    return addressText(target.fixed);
}

QString endpointText(const Endpoint& endpoint) {
    return QStringLiteral("%1:%2").arg(addressText(endpoint.address)).arg(endpoint.port);
}

QString netText(const Ipv4Net& net) {
    int bits = 0;
    while (bits < kAddressBits && (net.mask & (uint32_t(1) << (kAddressBits - 1 - bits))))
        ++bits;
    return QStringLiteral("%1/%2").arg(addressText(net.address)).arg(bits);
}

QString refusalOf(uint32_t address, const std::vector<Ipv4Net>& allowed, const std::vector<InterfaceNet>& attached) {
    if (std::any_of(allowed.begin(), allowed.end(), [address](const Ipv4Net& net) { return net.contains(address); }))
        return {};
    const QString shown = addressText(address);
    if (address == 0)
        return QStringLiteral("%1 is no destination").arg(shown);
    if ((address & kMulticastMask) == kMulticastNet)
        return QStringLiteral("%1 is a multicast address, which needs --stream-allow").arg(shown);
    if (isBroadcast(address, attached))
        return QStringLiteral("%1 is a broadcast address, which needs --stream-allow").arg(shown);
    if ((address & kLoopbackMask) == kLoopbackNet)
        return {};
    const bool onAttachedNet = std::any_of(attached.begin(), attached.end(), [address](const InterfaceNet& net) {
        return Ipv4Net{net.address, net.mask}.contains(address);
    });
    return onAttachedNet ? QString()
                         : QStringLiteral("%1 is on no network of this machine and not in --stream-allow").arg(shown);
}

std::vector<HelloLeg> helloLegs(const HelloTarget& target, uint32_t scannerAddress, uint32_t source,
                                const std::vector<InterfaceNet>& interfaces) {
    switch (target.kind) {
    case HelloTarget::Kind::Loopback: return {{source, kLoopbackAddress, 0}};
    case HelloTarget::Kind::Fixed: return {{source, target.fixed, 0}};
    case HelloTarget::Kind::Broadcast: break;
    }
    std::vector<HelloLeg> legs;
    for (const InterfaceNet& net : interfaces)
        if (net.broadcast != 0 && (scannerAddress == 0 || net.address == scannerAddress))
            legs.push_back({net.address, net.broadcast, scannerAddress == 0 ? net.address : 0});
    return legs;
}
