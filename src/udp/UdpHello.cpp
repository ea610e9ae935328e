#include "udp/UdpHello.h"

#include "faults/ScannerFaults.h"
#include "params/UserParams.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStringList>

MacBytes parseHardwareAddress(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(':'));
    MacBytes mac{};
    for (int i = 0; i < kMacSize && i < parts.size(); ++i)
        mac[i] = static_cast<uint8_t>(parts[i].toUInt(nullptr, 16) & 0xFF);  // 0 when not hex
    return mac;
}

std::optional<MacBytes> firstNonLoopbackMac(const std::vector<NetworkInterfaceEntry>& interfaces) {
    for (const NetworkInterfaceEntry& entry : interfaces)
        if (!entry.loopback)
            return parseHardwareAddress(entry.hardwareAddress);
    return std::nullopt;
}

std::vector<NetworkInterfaceEntry> systemInterfaces() {
    std::vector<NetworkInterfaceEntry> entries;
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces())
        entries.push_back({iface.flags().testFlag(QNetworkInterface::IsLoopBack), iface.hardwareAddress()});
    return entries;
}

UdpHello::UdpHello(QObject* parent, ScannerState* state) : QObject(parent), state_(state) {
    qCDebug(lcHello) << "HELLO";
}

std::optional<SendJob::Due> UdpHello::runDue(Clock::time_point now) {
    const HelloBytes packet = state_->identity().packet();
    if (!faults_ || faults_->announceHello())
        for (size_t leg = 0; leg < legs_.size(); ++leg)
            sendLeg(leg, packet);
    return Due{now + std::chrono::milliseconds(kPeriodMs), kLateness};
}

void UdpHello::finish() {
    sockets_.clear();
    legs_.clear();
}

void UdpHello::open() {
    qCDebug(lcHello) << "udp hello ran";
    const ScannerSettings settings = state_->settings();
    destinationPort_ = settings.helloPort;
    openLegs(settings);
    stampMac(settings.macOffset);
}

// The interfaces are asked once per start; a failed bind still sends, from any
// address. A scanner on 0.0.0.0 announces itself on every interface.
void UdpHello::openLegs(const ScannerSettings& settings) {
    const QHostAddress scannerAddress(settings.localAddress);
    legs_ = helloLegs(settings.helloTo, scannerAddress.toIPv4Address(), settings.sendingAddress(), upInterfaceNets());
    if (legs_.empty())
        qCWarning(lcHello).noquote() << "hello: no interface has a broadcast address for"
                                     << scannerAddress.toString() << "- no hello is sent";
    for (const HelloLeg& leg : legs_) {
        sockets_.push_back(std::make_unique<DatagramSocket>(lcHello, state_->sockets()));
        if (!sockets_.back()->open(leg.source))
            qCWarning(lcHello).noquote() << "hello:" << sockets_.back()->errorString();
    }
}

// A leg on behalf of one interface names that interface's address.
void UdpHello::sendLeg(size_t leg, HelloBytes packet) {
    if (const uint32_t named = legs_[leg].named)
        for (int i = 0; i < 4; ++i)
            packet[size_t(hello::kAddress + i)] = uint8_t(named >> (24 - 8 * i));
    sockets_[leg]->sendTo(reinterpret_cast<const char*>(packet.data()), packet.size(), legs_[leg].destination,
                          destinationPort_);
}

// Later changes reach the packet at the scanner's next start.
void UdpHello::takePorts() {
    struct Ports {
        uint16_t udp, tcp;
    };
    // Copied by value: the record is packed, so its fields cannot be bound to references.
    const Ports ports = state_->record().read([](const USER_PARAMS& p) { return Ports{p.udp_port_u16, p.tcp_port_u16}; });
    state_->identity().markRunning(ports.udp, ports.tcp);
}

void UdpHello::stampMac(int macOffset) {
    qCDebug(lcHello) << "hardware address:";
    std::optional<MacBytes> mac = firstNonLoopbackMac(systemInterfaces());
    if (!mac)
        return;  // the packet keeps the MAC it has
    (*mac)[kMacSize - 1] = static_cast<uint8_t>((*mac)[kMacSize - 1] + macOffset);
    for (int i = 0; i < kMacSize; ++i)
        qCDebug(lcHello) << "Mac[" << i << "] == " << (*mac)[i];
    state_->identity().setMac(*mac);
}
