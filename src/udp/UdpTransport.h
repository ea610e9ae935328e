#pragma once

#include "faults/DatagramFaults.h"
#include "log/LogCategories.h"
#include "profile/ProfileSource.h"
#include "udp/ProfilePacket.h"
#include "udp/DatagramSocket.h"
#include "state/ScannerState.h"
#include "udp/StreamRoute.h"
#include "udp/SendJob.h"
#include "udp/StreamSchedule.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <optional>
#include <utility>

// What the stream reads from the record, once per packet.
struct StreamSettings {
    uint8_t enabled = 0;  // wUDP
    uint16_t frequency = 0;
    Endpoint record;  // udp_ip_address_u8 and udp_port_u16
    Endpoint destination;  // where the packet goes
    uint16_t extSyncSignal = 0;
    uint8_t invertXZ = 0;
    uint8_t localSAPEnabled = 0;
    uint32_t tcpAddress = 0;
    uint32_t tcpSubnetMask = 0;
};

// What the stream takes from the scanner's state, read again only when the
// state has moved.
struct StreamView {
    StreamSettings settings;
    std::optional<Endpoint> destination;  // none while the route refuses the record's
    TrailerSettings trailer;
    SerialBytes serial{};
};

// The subnet broadcast address of the command server's address.
inline uint32_t broadcastAddress(uint32_t address, uint32_t mask) { return address | ~mask; }

// Whether `address` is the broadcast address of one of the machine's
// interfaces that are up.
bool isInterfaceBroadcast(const QHostAddress& address);

// Streams the scanner's profile source as profile packets to 127.0.0.1, or
// where its route says (and, when asked, to the subnet broadcast address),
// on an absolute timetable. A scheduler thread runs it (runDue); the pause
// slots may be called from any other thread. It reads the scanner's state as
// it builds each packet and sleeps on it while held; a change wakes it.
// Packet k carries the measurement of its slot, so what it shows does not
// depend on when the packet happens to be built.
class UdpTransport : public QObject, public SendJob {
    Q_OBJECT
public:
    static constexpr quint16 kDefaultBroadcastPort = 31001;
    // Packets an unpaced stream sends per scheduler run, at most, and the
    // time after which the run ends sooner: a heavy source must not hold the
    // other streams on the same thread for a whole batch, nor take more than
    // about half of it.
    static constexpr int kUnpacedBatchSize = 32;
    static constexpr std::chrono::microseconds kUnpacedBudget{1000};
    // How long after its slot a packet may wait for other scanners' packets
    // to share its wake-up; rig_bench weighs it against a scheduler's CPU.
    static constexpr std::chrono::microseconds kLateness{250};

    // Datagrams leave from the address the settings send from.
    UdpTransport(QObject* parent, ScannerState* state, const ProfileFeed* profile);

    ~UdpTransport() override;

    std::optional<Due> runDue(Clock::time_point now) override;
    // Off the scheduler: drops what the fault layer holds and closes the socket.
    void finish();

    void setBroadcastPort(quint16 port) { broadcastPort_ = port; }
    // Thread-safe: the measurement of the last packet sent (0 before the first).
    uint32_t measurementCounter() const { return lastMeasurement_; }
    // Before the start: every datagram leaves through `faults`, which outlive this worker.
    void useFaults(DatagramFaults* faults) { faults_ = faults; }
    // Before the start: packets go where `route` (which outlives this
    // worker) says; without one, to 127.0.0.1.
    void useRoute(StreamRoute* route) { route_ = route; }

signals:
    void finished();

public slots:
    void shutdown();
    void resume();

private:
    std::optional<Clock::time_point> step(Clock::time_point now);
    void followTimeline(Clock::time_point now);
    StreamSettings readSettings() const;
    const StreamView& view();
    std::optional<StreamSettings> streamingSettings(Clock::time_point now);
    void sendPacket(const StreamSettings& settings, Clock::time_point now);
    void buildPacket(const StreamSettings& settings, size_t slot);
    void countLateness(Clock::time_point slot, Clock::time_point now, double periodMs);
    void writeCopies(const QByteArray& datagram);
    void checkBroadcast(const QHostAddress& broadcast);
    Clock::time_point earlierHeld(Clock::time_point time) const;
    void stopWatchingState();
    void reportCut();

    ScannerState* state_;
    const ProfileFeed* profile_;
    DatagramSocket socket_{lcStream, state_->sockets()};
    uint32_t sourceAddress_ = 0;
    QHostAddress lastBroadcast_;  // the subnet copy's address is checked when it or the interfaces change
    uint64_t broadcastRevision_ = 0;  // of the interfaces it was checked on
    bool broadcastAllowed_ = false;

    StreamSchedule schedule_;
    uint64_t timeline_;  // the state's timeline the schedule started with
    // Set after a packet went out: the run at this time counts it and sends the next.
    std::optional<Clock::time_point> sleepingUntil_;
    uint64_t timelineAtSleep_ = 0;  // the timeline that slot belongs to
    std::optional<Clock::time_point> unowedSince_;  // at frequency 0, or refused by the route
    // Slots before it were owed (held, or waited for), not missed.
    Clock::time_point onTimeFrom_{};
    bool held_ = true;
    std::atomic<bool> paused_{false};
    std::atomic<quint16> broadcastPort_{kDefaultBroadcastPort};
    std::atomic<uint32_t> lastMeasurement_{0};
    std::optional<int> stateWatch_;
    std::optional<int> interfacesWatch_;
    StreamView view_;
    std::optional<std::array<uint64_t, 3>> viewRevision_;  // the state's, the identity's and the interfaces'
    ProfileSnapshot snapshot_;  // reused by every packet
    // One per packet of a step, all free again once the step's datagrams are flushed.
    std::array<QByteArray, kUnpacedBatchSize> datagrams_;
    std::array<EncodedPoints, kUnpacedBatchSize> encodedPoints_;  // what each datagram holds
    size_t nextDatagram_ = 0;
    bool cutLogged_ = false;
    DatagramFaults* faults_ = nullptr;
    StreamRoute* route_ = nullptr;
    const DatagramFaults::Sink writeCopies_{[this](const QByteArray& datagram) { writeCopies(datagram); }};
    StreamSettings sendSettings_;  // where the datagrams leaving now go
};
