#include "udp/UdpTransport.h"

#include "params/UserParams.h"
#include "udp/ProfilePacket.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QUdpSocket>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdlib>
#include <ctime>

namespace {

using Clock = UdpTransport::Clock;

// How often a waiting loop re-reads the record (wUDP, frequency), whose
// changes come without notice.
constexpr std::chrono::milliseconds kPollInterval(5);
// Below this period the measurement counter is brought up to date in steps
// instead of one wake-up per period.
constexpr std::chrono::milliseconds kMinMeasurementSleep(1);
constexpr double kUnpacedBelowMs = 1.0;

constexpr quint16 kFirstSourcePort = 12345;
constexpr int kSourcePortRange = 2000;

uint16_t helloU16(const HelloBytes& packet, int offset) { return uint16_t(packet[offset] | packet[offset + 1] << 8); }

}  // namespace

bool isInterfaceBroadcast(const QHostAddress& address) {
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if (!(interface.flags() & QNetworkInterface::IsUp))
            continue;
        for (const QNetworkAddressEntry& entry : interface.addressEntries())
            if (!entry.broadcast().isNull() && entry.broadcast() == address)
                return true;
    }
    return false;
}

UdpTransport::UdpTransport(QObject* parent, int width, int height, UserParamsStore* params,
                           const ProfileFeed* profile, HelloBuffer* hello, const QHostAddress& source)
    : QObject(parent), params_(params), profile_(profile), hello_(hello), socket_(new QUdpSocket(this)) {
    Q_UNUSED(width);
    Q_UNUSED(height);
    qCDebug(lcStream) << "udp created";
    // Until the panel's first calls the trailer carries what the hello packet announces.
    const HelloBytes announced = hello_->packet();
    xemr_ = helloU16(announced, hello::kXemr);
    zdiap_ = helloU16(announced, hello::kZdiap);
    // The result is not checked: an unbound socket still sends, from a port the system picks.
    socket_->bind(source, kFirstSourcePort + std::rand() % kSourcePortRange,
                  QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

UdpTransport::~UdpTransport() {
    requestStop();
    waitForMeasurementTask();  // it uses this object
}

void UdpTransport::writeUdpSettings(QString address, int port, ushort xemr, ushort zdiap) {
    Q_UNUSED(address);  // packets always go to 127.0.0.1 on the record's port
    Q_UNUSED(port);
    qCDebug(lcStream) << "udp settings have been written";
    xemr_ = xemr;
    zdiap_ = zdiap;
}

void UdpTransport::run() {
    qCDebug(lcStream) << "udp transport ran";
    resetSchedule();
    measurementTask_ = QtConcurrent::run(this, &UdpTransport::IncMeasurment);
    while (const std::optional<StreamSettings> settings = waitUntilStreaming()) {
        buildPacket(*settings);
        sendPacket(*settings);
        if (!sleepUntilPacketDue(periodMs_))
            break;
        schedule_.countPacket();
    }
    waitForMeasurementTask();
    if (faults_)
        faults_->discardHeld();
    socket_->close();
}

void UdpTransport::shutdown() { paused_ = true; }

void UdpTransport::resume() {
    qCDebug(lcStream) << "RESUME";
    paused_ = false;
    sleep_.wake();
}

void UdpTransport::onXemrChanged(int xemr) {
    xemr_ = static_cast<uint16_t>(xemr);
    qCDebug(lcStream) << "udp xemr = " << xemr_.load();
}

void UdpTransport::onZdiapChanged(int zdiap) {
    zdiap_ = static_cast<uint16_t>(zdiap);
    qCDebug(lcStream) << "udp zdiap = " << zdiap_.load();
}

// A stream that has been stopped stays stopped; protocol 1 only keeps it going.
void UdpTransport::onProtocolChanged(int prtc) {
    if (prtc != 1)
        requestStop();
}

void UdpTransport::onFreqChanged(int freq) {
    params_->update([freq](USER_PARAMS& p) { p.udp_frequency_u16 = static_cast<uint16_t>(freq); });
    resetSchedule();
}

void UdpTransport::onXResChagned(int value) { Q_UNUSED(value); }  // the profile store holds the point count

void UdpTransport::onNoizeChanged(int value) {
    qCDebug(lcStream) << "udp noize = " << value;
    noize_ = value;
}

void UdpTransport::onModeChanged(int) { resetSchedule(); }

void UdpTransport::IncMeasurment() {
    std::lock_guard<std::mutex> running(measurementRunning_);
    while (!sleep_.stopRequested()) {
        const double periodMs = periodMs_;
        if (paused_ || periodMs <= 0) {
            sleep_.sleepFor(kPollInterval);
            continue;
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point next = schedule_.advanceMeasurements(periodMs, now);
        sleep_.sleepUntil(std::max(next, now + kMinMeasurementSleep));
    }
}

void UdpTransport::SwitchStepdir(bool enable) { stepdirForward_ = enable ? 1 : 0; }

StreamSettings UdpTransport::readSettings() const {
    return params_->read([](const USER_PARAMS& p) {
        StreamSettings s;
        s.enabled = p.wUDP;
        s.frequency = p.udp_frequency_u16;
        s.port = p.udp_port_u16;
        s.extSyncSignal = p.ext_sync_signal_u16;
        s.invertXZ = p.invertXZ;
        s.localSAPEnabled = p.localSAPEnabled;
        s.tcpAddress = ipv4FieldToNumber(p.tcp_ip_address_u8);
        s.tcpSubnetMask = ipv4FieldToNumber(p.tcp_subnet_mask_u8);
        return s;
    });
}

// Holds while paused, disabled (wUDP 0) or at frequency 0; nothing is sent and
// the packet counter stands still. The time spent at frequency 0 is not owed:
// an infinite period asks for no packets. Returns nothing once stopped.
std::optional<StreamSettings> UdpTransport::waitUntilStreaming() {
    std::optional<Clock::time_point> zeroFrequencySince;
    while (!sleep_.stopRequested()) {
        const StreamSettings settings = readSettings();
        if (settings.frequency == 0 && !zeroFrequencySince)
            zeroFrequencySince = Clock::now();
        if (settings.frequency != 0 && zeroFrequencySince) {
            schedule_.skip(*zeroFrequencySince, Clock::now());
            zeroFrequencySince.reset();
        }
        periodMs_ = settings.frequency ? 1000.0 / settings.frequency : 0.0;
        if (!paused_ && settings.enabled && settings.frequency)
            return settings;
        sleep_.sleepFor(kPollInterval);
    }
    return std::nullopt;
}

void UdpTransport::buildPacket(const StreamSettings& settings) {
    PacketFields fields;
    fields.measurementCounter = schedule_.measurementCounter();
    profile_->copyProfile(fields.measurementCounter, snapshot_, kMaxPacketPoints + 1);
    cutToPacket();
    transformProfile(snapshot_, settings.invertXZ, streamNoise(noize_));

    fields.packetCounter = schedule_.packetCounter();
    fields.extSyncSignal = settings.extSyncSignal;
    fields.serial = hello_->serialBytes();
    fields.xemr = xemr_;
    fields.zdiap = zdiap_;
    fields.stepdirForward = stepdirForward_;
    encodeProfilePacket(snapshot_, fields, datagram_);
}

// Every datagram goes through the fault layer, which may hold it back, copy,
// change or lose it.
void UdpTransport::sendPacket(const StreamSettings& settings) {
    sendSettings_ = settings;
    if (faults_)
        faults_->send(datagram_, Clock::now(), writeCopies_);
    else
        writeCopies(datagram_);
}

// Send failures are not reported; the stream goes on. The subnet copy goes
// only to a broadcast address of this machine's own networks: any other
// address the record yields (a single host, with a full mask) would aim the
// whole stream at it.
void UdpTransport::writeCopies(const QByteArray& datagram) {
    const StreamSettings& settings = sendSettings_;
    socket_->writeDatagram(datagram, loopback_, settings.port);
    if (!settings.localSAPEnabled)
        return;
    const QHostAddress broadcast(broadcastAddress(settings.tcpAddress, settings.tcpSubnetMask));
    if (broadcast != lastBroadcast_) {  // once per address, not once per packet
        qCDebug(lcStream).noquote() << broadcast.toString() + '\t' + QHostAddress(settings.tcpSubnetMask).toString() + '\t' +
                                  QHostAddress(settings.tcpAddress).toString();
        lastBroadcast_ = broadcast;
        broadcastAllowed_ = isInterfaceBroadcast(broadcast);
        if (!broadcastAllowed_)
            qWarning().noquote() << "udp: no subnet copy to" << broadcast.toString()
                                 << "- not the broadcast address of a local network";
    }
    if (broadcastAllowed_)
        socket_->writeDatagram(datagram, broadcast, broadcastPort_);
}

void UdpTransport::sendHeldDatagrams() {
    if (faults_)
        faults_->sendDue(Clock::now(), writeCopies_);
}

// The earlier of the packet's slot and the next held datagram's due time.
Clock::time_point UdpTransport::wakeTime(Clock::time_point slot) const {
    const std::optional<Clock::time_point> held = faults_ ? faults_->nextDue() : std::nullopt;
    return held ? std::min(slot, *held) : slot;
}

// Sleeps until the current packet's slot has passed. The slot is fixed
// before sleeping: a reset meanwhile applies from the next packet on, and
// only a stop cuts the sleep short. Late packets are never skipped: when
// behind, this returns at once. A period below the stream's whole-millisecond
// sleeps is not paced: the worker then sends as fast as it builds packets.
// Datagrams the fault layer holds back leave at their own times meanwhile.
bool UdpTransport::sleepUntilPacketDue(double periodMs) {
    if (periodMs < kUnpacedBelowMs)
        return !sleep_.stopRequested();
    const Clock::time_point due = schedule_.packetDue(periodMs);
    while (Clock::now() < due) {
        if (!sleep_.sleepUntil(wakeTime(due)))
            return false;
        sendHeldDatagrams();
    }
    return !sleep_.stopRequested();
}

// Profiles longer than one datagram carries are cut; say so once per long spell.
void UdpTransport::cutToPacket() {
    if (snapshot_.count() <= kMaxPacketPoints) {
        cutLogged_ = false;
        return;
    }
    snapshot_.x.resize(kMaxPacketPoints);
    snapshot_.z.resize(kMaxPacketPoints);
    if (!cutLogged_)
        qWarning() << "udp: profile of more than" << kMaxPacketPoints << "points cut to" << kMaxPacketPoints
                   << "per packet";
    cutLogged_ = true;
}

void UdpTransport::waitForMeasurementTask() {
    measurementTask_.waitForFinished();  // runs the task here if the pool never started it
    // The task held this lock until it returned. Taking it once more makes the
    // hand-over visible to race detectors, which do not see inside Qt's futures.
    std::lock_guard<std::mutex> ended(measurementRunning_);
}

void UdpTransport::resetSchedule() {
    schedule_.reset(Clock::now());
    sleep_.wake();
}
