#pragma once

#include "state/ScannerState.h"
#include "udp/HelloPacket.h"
#include "udp/DatagramSocket.h"
#include "udp/Destinations.h"
#include "udp/SendJob.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class ScannerFaults;

using MacBytes = std::array<uint8_t, kMacSize>;

// A hardware address text "AA:BB:..."; parts that are missing or not hex give 0.
MacBytes parseHardwareAddress(const QString& text);

struct NetworkInterfaceEntry {
    bool loopback = false;
    QString hardwareAddress;
};

// The MAC of the first interface that is not a loopback, whether up or not.
std::optional<MacBytes> firstNonLoopbackMac(const std::vector<NetworkInterfaceEntry>& interfaces);
std::vector<NetworkInterfaceEntry> systemInterfaces();

// Announces the emulated scanner: sends its identity's hello packet every 2
// seconds while a scheduler runs it, to 127.0.0.1 unless the settings' target
// says otherwise. Where it sends from and to is read from the settings as it
// starts; the packet is read from the identity at every send.
class UdpHello : public QObject, public SendJob {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultPort = 6001;
    static constexpr int kPeriodMs = 2000;
    // A hello waits this long for a stream's wake-up to go along with.
    static constexpr std::chrono::milliseconds kLateness{50};

    UdpHello(QObject* parent, ScannerState* state);

    // Stamps the packet with the record's ports and marks it running. The
    // scanner calls it as it starts, before its server listens: a client's
    // write cannot reach the ports of this start, however late the first run.
    void takePorts();
    // Reads where to send from and to, opens a socket for each leg and stamps
    // the packet with the host's MAC. Called before the scheduler runs it:
    // asking the host's interfaces then holds up no scanner's stream.
    void open();
    std::optional<Due> runDue(Clock::time_point now) override;
    // Off the scheduler: closes the sockets; the next open stamps the MAC again.
    void finish();
    // Of this start.
    const std::vector<HelloLeg>& legs() const { return legs_; }

    // Before the start: `faults` (which outlive this worker) may silence the announcements.
    void useFaults(ScannerFaults* faults) { faults_ = faults; }
private:
    // The MAC taken from the host is raised by `macOffset` in its last byte,
    // so that scanners of one host differ.
    void stampMac(int macOffset);
    void openLegs(const ScannerSettings& settings);
    void sendLeg(size_t leg, HelloBytes packet);

    ScannerState* state_;
    quint16 destinationPort_ = kDefaultPort;  // of this start
    std::vector<HelloLeg> legs_;  // of this start, each with its socket
    std::vector<std::unique_ptr<DatagramSocket>> sockets_;
    ScannerFaults* faults_ = nullptr;
};
