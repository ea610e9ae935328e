#pragma once

#include "faults/DatagramFaults.h"
#include "profile/ProfileSource.h"
#include "udp/HelloPacket.h"
#include "udp/InterruptibleSleep.h"
#include "udp/StreamSchedule.h"

#include <QByteArray>
#include <QFuture>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <atomic>
#include <mutex>
#include <optional>

class QUdpSocket;
class UserParamsStore;

// What the stream reads from the record, once per packet.
struct StreamSettings {
    uint8_t enabled = 0;  // wUDP
    uint16_t frequency = 0;
    uint16_t port = 0;
    uint16_t extSyncSignal = 0;
    uint8_t invertXZ = 0;
    uint8_t localSAPEnabled = 0;
    uint32_t tcpAddress = 0;
    uint32_t tcpSubnetMask = 0;
};

// The subnet broadcast address of the command server's address.
inline uint32_t broadcastAddress(uint32_t address, uint32_t mask) { return address | ~mask; }

// Whether `address` is the broadcast address of one of the machine's
// interfaces that are up.
bool isInterfaceBroadcast(const QHostAddress& address);

// Streams the scanner's profile source (frame of each packet's measurement) as profile packets to 127.0.0.1 (and, when asked,
// to the subnet broadcast address) on an absolute schedule. run() executes in
// the worker's own thread; every slot may be called from any other thread.
class UdpTransport : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    static constexpr quint16 kDefaultBroadcastPort = 31001;

    // Datagrams leave from `source` (any local address by default).
    UdpTransport(QObject* parent, int width, int height, UserParamsStore* params, const ProfileFeed* profile,
                 HelloBuffer* hello, const QHostAddress& source = QHostAddress(QHostAddress::AnyIPv4));
    ~UdpTransport() override;

    void setBroadcastPort(quint16 port) { broadcastPort_ = port; }
    // Thread-safe: the measurement the stream is at.
    uint32_t measurementCounter() const { return schedule_.measurementCounter(); }
    // Before the start: every datagram leaves through `faults`, which outlive this worker.
    void useFaults(DatagramFaults* faults) { faults_ = faults; }
    // Thread-safe; run() returns at once, after the measurement task has ended.
    void requestStop() { sleep_.requestStop(); }

signals:
    void finished();
    void arrayClean();

public slots:
    void writeUdpSettings(QString address, int port, ushort xemr, ushort zdiap);
    void run();
    void shutdown();
    void resume();
    void onXemrChanged(int xemr);
    void onZdiapChanged(int zdiap);
    void onProtocolChanged(int prtc);
    void onFreqChanged(int freq);
    void onXResChagned(int value);
    void onNoizeChanged(int value);
    void onModeChanged(int);
    void IncMeasurment();
    void SwitchStepdir(bool enable);

private:
    StreamSettings readSettings() const;
    std::optional<StreamSettings> waitUntilStreaming();
    void buildPacket(const StreamSettings& settings);
    void sendPacket(const StreamSettings& settings);
    void writeCopies(const QByteArray& datagram);
    void sendHeldDatagrams();
    Clock::time_point wakeTime(Clock::time_point slot) const;
    bool sleepUntilPacketDue(double periodMs);
    void cutToPacket();
    void resetSchedule();
    void waitForMeasurementTask();

    UserParamsStore* params_;
    const ProfileFeed* profile_;
    HelloBuffer* hello_;
    QUdpSocket* socket_;
    const QHostAddress loopback_{QHostAddress::LocalHost};
    QHostAddress lastBroadcast_;  // the subnet copy's address is checked and logged when it changes
    bool broadcastAllowed_ = false;

    InterruptibleSleep sleep_;
    StreamSchedule schedule_;
    std::atomic<bool> paused_{false};
    std::atomic<double> periodMs_{0.0};  // 0 while the frequency is 0: nothing is due
    std::atomic<uint16_t> xemr_{0};
    std::atomic<uint16_t> zdiap_{0};
    std::atomic<int> noize_{0};
    std::atomic<uint8_t> stepdirForward_{0};
    std::atomic<quint16> broadcastPort_{kDefaultBroadcastPort};

    QFuture<void> measurementTask_;
    std::mutex measurementRunning_;  // held by IncMeasurment while it runs
    ProfileSnapshot snapshot_;  // reused by every packet
    QByteArray datagram_;
    bool cutLogged_ = false;
    DatagramFaults* faults_ = nullptr;
    const DatagramFaults::Sink writeCopies_{[this](const QByteArray& datagram) { writeCopies(datagram); }};
    StreamSettings sendSettings_;  // where the datagrams leaving now go
};
