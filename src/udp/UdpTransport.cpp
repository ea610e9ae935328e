#include "udp/UdpTransport.h"

#include "params/UserParams.h"
#include "udp/ProfilePacket.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <algorithm>
#include <utility>

namespace {

using Clock = UdpTransport::Clock;

// A period below this is not paced: the stream sends as fast as it builds.
constexpr double kUnpacedBelowMs = 1.0;

double periodOf(uint16_t frequency) { return 1000.0 / frequency; }

}  // namespace

bool isInterfaceBroadcast(const QHostAddress& address) {
    const std::vector<InterfaceNet> nets = recentInterfaceNets();
    return std::any_of(nets.begin(), nets.end(), [wanted = address.toIPv4Address()](const InterfaceNet& net) {
        return net.broadcast != 0 && net.broadcast == wanted;
    });
}

UdpTransport::UdpTransport(QObject* parent, ScannerState* state, const ProfileFeed* profile)
    : QObject(parent),
      state_(state),
      profile_(profile),
      sourceAddress_(state->settings().sendingAddress()),
      timeline_(state->timeline()) {
    qCDebug(lcStream) << "udp created";
    if (!socket_.open(sourceAddress_))
        qCWarning(lcStream).noquote() << "udp:" << socket_.errorString();
    // A held stream sleeps until the state or the interfaces change; a new timeline ends a wait.
    stateWatch_ = state_->watch([this] { wake(); });
    interfacesWatch_ = hostInterfaces().changes().add([this] { wake(); });
}

UdpTransport::~UdpTransport() { stopWatchingState(); }

void UdpTransport::stopWatchingState() {
    if (stateWatch_)
        state_->unwatch(*std::exchange(stateWatch_, std::nullopt));
    if (interfacesWatch_)
        hostInterfaces().changes().remove(*std::exchange(interfacesWatch_, std::nullopt));
}

// What a step sent leaves in one system call.
std::optional<SendJob::Due> UdpTransport::runDue(Clock::time_point now) {
    const std::optional<Clock::time_point> next = step(now);
    socket_.flush();
    nextDatagram_ = 0;  // the flush let go of every buffer: a paced stream keeps to the first
    if (!next)
        return std::nullopt;
    return Due{*next, kLateness};
}

// One step of the stream: the packet whose slot has come (late ones back to
// back, one per run, so other scanners' packets interleave); while held,
// nothing until a wake. Datagrams the fault layer holds back leave at their own times.
std::optional<Clock::time_point> UdpTransport::step(Clock::time_point now) {
    if (faults_)
        faults_->sendDue(now, writeCopies_);
    followTimeline(now);
    if (sleepingUntil_) {
        // A new timeline ends the wait for the old one's slot: a 1 Hz stream
        // set to 491 Hz must not wait out its second and then owe the new rate's packets.
        if (now < *sleepingUntil_ && timeline_ == timelineAtSleep_)
            return earlierHeld(*sleepingUntil_);
        onTimeFrom_ = std::max(onTimeFrom_, std::min(now, *std::exchange(sleepingUntil_, std::nullopt)));
        schedule_.countPacket();
    }
    std::optional<StreamSettings> settings = streamingSettings(now);
    if (!settings)
        return faults_ ? faults_->nextDue() : std::nullopt;
    double periodMs = periodOf(settings->frequency);
    // Unpaced: a batch per run, so the scheduler's own cost is shared out.
    // A batch that overran its time waits as long as it overran: the other
    // streams on this thread catch up first.
    const Clock::time_point batchEnd = now + kUnpacedBudget;
    for (int sent = 0; periodMs < kUnpacedBelowMs; periodMs = periodOf(settings->frequency)) {
        sendPacket(*settings, now);
        schedule_.countPacket();
        if (++sent == kUnpacedBatchSize || !(settings = streamingSettings(now)))
            return now;
        if (const Clock::time_point at = Clock::now(); at >= batchEnd)
            return at + (at - batchEnd);
    }
    countLateness(schedule_.currentSlot(periodMs), now, periodMs);
    sendPacket(*settings, now);
    timelineAtSleep_ = timeline_;
    sleepingUntil_ = schedule_.packetDue(periodMs);
    return earlierHeld(*sleepingUntil_);
}

// A new rate or mode starts the counters again from now.
void UdpTransport::followTimeline(Clock::time_point now) {
    const uint64_t timeline = state_->timeline();
    if (timeline != std::exchange(timeline_, timeline))
        schedule_.reset(now);
}

void UdpTransport::finish() {
    stopWatchingState();
    if (faults_)
        faults_->discardHeld();
    socket_.close();
}

void UdpTransport::shutdown() { paused_ = true; }

void UdpTransport::resume() {
    qCDebug(lcStream) << "RESUME";
    paused_ = false;
    wake();
}

StreamSettings UdpTransport::readSettings() const {
    return state_->record().read([](const USER_PARAMS& p) {
        StreamSettings s;
        s.enabled = p.wUDP;
        s.frequency = p.udp_frequency_u16;
        s.record = {ipv4FieldToNumber(p.udp_ip_address_u8), p.udp_port_u16};
        s.extSyncSignal = p.ext_sync_signal_u16;
        s.invertXZ = p.invertXZ;
        s.localSAPEnabled = p.localSAPEnabled;
        s.tcpAddress = ipv4FieldToNumber(p.tcp_ip_address_u8);
        s.tcpSubnetMask = ipv4FieldToNumber(p.tcp_subnet_mask_u8);
        return s;
    });
}

const StreamView& UdpTransport::view() {
    // Before the reads: a write in between moves it again, so nothing is missed.
    const std::array<uint64_t, 3> revision{state_->revision(), state_->identity().revision(),
                                           hostInterfaces().revision()};
    if (viewRevision_ == revision)
        return view_;
    viewRevision_ = revision;
    view_.settings = readSettings();
    const Endpoint& record = view_.settings.record;
    view_.destination = route_ ? route_->endpoint(record) : Endpoint{kLoopbackAddress, record.port};
    view_.trailer = state_->trailer();
    view_.serial = state_->identity().serialBytes();
    return view_;
}

// Nothing while paused, disabled (wUDP 0), at frequency 0 or with a
// destination the route refuses: nothing is sent and the packet counter
// stands still. The time spent at frequency 0 is not owed (an infinite
// period asks for no packets), nor the time held by a refusal (those
// packets had nowhere to go) or by an operator's pause.
std::optional<StreamSettings> UdpTransport::streamingSettings(Clock::time_point now) {
    const StreamView& current = view();
    StreamSettings settings = current.settings;
    const bool unowed = settings.frequency == 0 || !current.destination || state_->streamPaused();
    if (unowed && !unowedSince_)
        unowedSince_ = now;
    if (!unowed && unowedSince_) {
        schedule_.skip(*unowedSince_, now);
        unowedSince_.reset();
    }
    settings.destination = current.destination.value_or(Endpoint{});
    if (paused_ || !settings.enabled || unowed) {
        held_ = true;
        return std::nullopt;
    }
    if (std::exchange(held_, false))
        onTimeFrom_ = now;
    return settings;
}

// Every datagram goes through the fault layer, which may hold it back, copy,
// change or lose it.
void UdpTransport::sendPacket(const StreamSettings& settings, Clock::time_point now) {
    // A buffer the socket's queue no longer holds, so encoding into it copies nothing.
    const size_t slot = nextDatagram_++ % datagrams_.size();
    buildPacket(settings, slot);
    const QByteArray& datagram = datagrams_[slot];
    sendSettings_ = settings;
    if (faults_)
        faults_->send(datagram, now, writeCopies_);
    else
        writeCopies(datagram);
}

void UdpTransport::buildPacket(const StreamSettings& settings, size_t slot) {
    PacketFields fields;
    const TrailerSettings& trailer = view_.trailer;
    fields.measurementCounter = schedule_.measurementCounter();
    profile_->copyProfile(fields.measurementCounter, snapshot_, kMaxPacketPoints + 1);
    reportCut();
    transformProfile(snapshot_, settings.invertXZ, streamNoise(trailer.noise));

    fields.packetCounter = schedule_.packetCounter();
    fields.extSyncSignal = settings.extSyncSignal;
    fields.serial = view_.serial;
    fields.xemr = trailer.xemr;
    fields.zdiap = trailer.zdiap;
    fields.stepdirForward = trailer.stepdirForward ? 1 : 0;
    encodeProfilePacket(snapshot_, fields, datagrams_[slot], &encodedPoints_[slot]);
    lastMeasurement_ = fields.measurementCounter;
}

// A packet sent more than a period after its slot (or after the stream
// could first send it) missed its time: the process got none. It still goes.
void UdpTransport::countLateness(Clock::time_point slot, Clock::time_point now, double periodMs) {
    if (now - std::max(slot, onTimeFrom_) > std::chrono::duration<double, std::milli>(periodMs))
        ++state_->latePackets();
}

// Send failures are not reported; the stream goes on. The subnet copy goes
// only to a broadcast address of this machine's own networks: any other
// address the record yields (a single host, with a full mask) would aim the
// whole stream at it.
void UdpTransport::writeCopies(const QByteArray& datagram) {
    const StreamSettings& settings = sendSettings_;
    socket_.queue(datagram, settings.destination.address, settings.destination.port);
    if (!settings.localSAPEnabled)
        return;
    const QHostAddress broadcast(broadcastAddress(settings.tcpAddress, settings.tcpSubnetMask));
    checkBroadcast(broadcast);
    if (broadcastAllowed_)
        socket_.queue(datagram, broadcast.toIPv4Address(), broadcastPort_);
}

// Once per address or change of the interfaces, not once per packet; the
// refusal is told once per address, and again only after a network held it.
void UdpTransport::checkBroadcast(const QHostAddress& broadcast) {
    const uint64_t revision = hostInterfaces().revision();
    const bool sameAddress = broadcast == lastBroadcast_;
    if (sameAddress && revision == broadcastRevision_)
        return;
    const bool allowedBefore = sameAddress && broadcastAllowed_;
    if (!sameAddress) {
        const StreamSettings& settings = sendSettings_;
        qCDebug(lcStream).noquote() << broadcast.toString() + '\t' + QHostAddress(settings.tcpSubnetMask).toString() +
                                           '\t' + QHostAddress(settings.tcpAddress).toString();
    }
    lastBroadcast_ = broadcast;
    broadcastRevision_ = revision;  // before the ask: a change meanwhile checks again
    broadcastAllowed_ = isInterfaceBroadcast(broadcast);
    if (!broadcastAllowed_ && (!sameAddress || allowedBefore))
        qWarning().noquote() << "udp: no subnet copy to" << broadcast.toString()
                             << "- not the broadcast address of a local network";
}

Clock::time_point UdpTransport::earlierHeld(Clock::time_point time) const {
    const std::optional<Clock::time_point> held = faults_ ? faults_->nextDue() : std::nullopt;
    return held ? std::min(time, *held) : time;
}

// Profiles longer than one datagram carries are cut (the encoder takes the
// first points); say so once per long spell.
void UdpTransport::reportCut() {
    const bool cut = snapshot_.count() > kMaxPacketPoints;
    if (cut && !cutLogged_)
        qWarning() << "udp: profile of more than" << kMaxPacketPoints << "points cut to" << kMaxPacketPoints
                   << "per packet";
    cutLogged_ = cut;
}
