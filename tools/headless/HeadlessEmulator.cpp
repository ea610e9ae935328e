#include "HeadlessEmulator.h"

#include "app/session/EmulatorWorkers.h"
#include "profile/CsvProfile.h"
#include "profile/ProfileModel.h"
#include "tcp/TcpTransport.h"
#include "udp/UdpHello.h"
#include "udp/UdpTransport.h"

#include <QFileInfo>

namespace {

constexpr int kPollMs = 20;
constexpr int kPointCountIndex = 3;  // "640", selected at every Start as the window does

// The window's panel as the form builds it, used when there is no parameter
// file: a record that streams at once.
void panelDefaults(USER_PARAMS& p, PanelExtras& extras) {
    p = USER_PARAMS{};
    p.udp_port_u16 = 6003;
    p.udp_frequency_u16 = 250;
    p.tcp_port_u16 = 620;
    p.wUDP = 1;
    p.interpolation_u8 = kPointCountIndex;
    ipv4TextToField(QStringLiteral("255.255.255.255"), p.udp_ip_address_u8);
    ipv4TextToField(QStringLiteral("255.255.255.0"), p.tcp_subnet_mask_u8);
    extras = PanelExtras{123, 1, 1};
}

}  // namespace

std::vector<ProfilePoint> builtInProfile() {
    ProfileStore store;
    UserParamsStore params;
    params.update([](USER_PARAMS& p) { p.interpolation_u8 = kPointCountIndex; });
    ProfileModel model(store, params);
    constexpr int kFloor = 400;
    constexpr int kTop = 250;
    const int corners[][2] = {{0, kFloor}, {200, kFloor}, {260, kTop}, {380, kTop}, {440, kFloor}, {kAreaWidth, kFloor}};
    for (size_t i = 0; i + 1 < std::size(corners); ++i) {
        Segment line = Segment::startingAt(corners[i][0], corners[i][1]);
        line.setEnd(corners[i + 1][0], corners[i + 1][1]);
        model.commitLine(line);
    }
    model.rebuild(kPointCountIndex);
    return store.points();
}

HeadlessEmulator::HeadlessEmulator(const HeadlessOptions& options, QObject* parent)
    : QObject(parent), options_(options), picture_(std::make_unique<CameraPicture>()) {
    picture_->fill(0);
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &HeadlessEmulator::pollServer);
}

HeadlessEmulator::~HeadlessEmulator() { stop(); }

bool HeadlessEmulator::start(QString* error) {
    if (session_.isRunning())
        return true;
    if (!loadParams(error) || !loadPicture(error) || !loadProfile(error))
        return false;
    applyOptions();
    plugAndPrime();
    session_.start();
    pollsUntilListening_ = kListenTimeoutMs / kPollMs;
    poll_.start();
    return true;
}

void HeadlessEmulator::stop() {
    poll_.stop();
    session_.stop();
    server_ = nullptr;
    // A flush the client already got "OK" for is saved, even when the stop
    // came before the next poll.
    if (flushRequests_.exchange(0) > 0)
        saveParams();
}

bool HeadlessEmulator::loadParams(QString* error) {
    USER_PARAMS record{};
    if (!QFileInfo::exists(options_.paramsPath)) {
        panelDefaults(record, extras_);
        emit notice(QStringLiteral("no parameter file %1: using the panel defaults (a flush writes the file)")
                        .arg(options_.paramsPath));
    } else if (!QFileInfo(options_.paramsPath).isFile()) {
        *error = QStringLiteral("%1 is no parameter file").arg(options_.paramsPath);
        return false;
    } else {
        const UserParamsIniLoad load = loadUserParamsIni(options_.paramsPath, record);
        extras_ = load.extras;
        for (const QString& warning : load.warnings)
            emit notice(warning);
    }
    params_.replace(record);
    return true;
}

bool HeadlessEmulator::loadPicture(QString* error) {
    QString why;
    if (loadCameraPicture(options_.picturePath, *picture_, &why))
        return true;
    // Only a picture asked for by name must be there; clients that never
    // fetch the picture should not need one.
    if (options_.pictureGiven) {
        *error = why;
        return false;
    }
    emit notice(QStringLiteral("%1: serving a blank camera picture").arg(why));
    return true;
}

bool HeadlessEmulator::loadProfile(QString* error) {
    if (options_.profilePath.isEmpty()) {
        profile_.replace(builtInProfile());
        return true;
    }
    const CsvImport import = readCsvProfile(options_.profilePath, CsvScale{options_.xemr, options_.zdiap});
    if (!import.ok()) {
        *error = import.error;
        return false;
    }
    profile_.replace(import.points);
    emit notice(csvImportSummary(import, options_.profilePath));
    return true;
}

void HeadlessEmulator::applyOptions() {
    const HeadlessOptions& o = options_;
    params_.update([&o](USER_PARAMS& p) {
        ipv4TextToField(o.listenAddress, p.tcp_ip_address_u8);
        p.interpolation_u8 = kPointCountIndex;
        if (o.tcpPort)
            p.tcp_port_u16 = static_cast<uint16_t>(*o.tcpPort);
        if (o.udpPort)
            p.udp_port_u16 = static_cast<uint16_t>(*o.udpPort);
        if (o.frequency)
            p.udp_frequency_u16 = static_cast<uint16_t>(*o.frequency);
    });
    extras_.serial = o.serial.value_or(extras_.serial);
    extras_.xsmr = o.xsmr.value_or(extras_.xsmr);
    extras_.zbase = o.zbase.value_or(extras_.zbase);

    // A parameter file may hold a record that never streams; say so.
    const USER_PARAMS p = params_.snapshot();
    if (p.wUDP == 0)
        emit notice(QStringLiteral("wUDP is 0: no profiles are streamed until a client sets it (params set wUDP=1)"));
    if (p.udp_frequency_u16 == 0)
        emit notice(QStringLiteral("udp_frequency_u16 is 0: no profiles are streamed (use --frequency)"));
}

// As the window's Start: the shared wiring step, then each worker's setters
// with the values the panel would show.
void HeadlessEmulator::plugAndPrime() {
    const USER_PARAMS record = params_.snapshot();
    const EmulatorWorkers workers = plugEmulatorWorkers(session_, EmulatorState{params_, profile_, *picture_});
    const HeadlessOptions& o = options_;

    UdpHello* hello = workers.hello;
    hello->setDestinationPort(static_cast<quint16>(o.helloPort));
    hello->onLocalAddressChanged(o.listenAddress);
    hello->onXemrChanged(o.xemr);
    hello->onZdiapChanged(o.zdiap);
    hello->onZbaseChanged(extras_.zbase);
    hello->onXsmrChanged(extras_.xsmr);
    hello->onSerialNumChanged(extras_.serial);

    UdpTransport* stream = workers.stream;
    stream->onXemrChanged(o.xemr);
    stream->onZdiapChanged(o.zdiap);
    stream->onXResChagned(kPointCountIndex);
    stream->onNoizeChanged(o.noise);
    stream->onFreqChanged(record.udp_frequency_u16);
    stream->onModeChanged(record.dhs_enable_u8);
    stream->SwitchStepdir(o.stepdirForward);

    server_ = workers.server;
    server_->onXemrChanged(o.xemr);
    server_->onZdiapChanged(o.zdiap);
    server_->onXResChanged(kPointCountIndex);
    server_->onNoizeChanged(o.noise);
    server_->onFreqChanged(record.udp_frequency_u16);
    server_->onModeChanged();
    server_->SwitchStepdir(o.stepdirForward);
    // The server's thread only counts; this thread acts on the next poll.
    connect(
        server_, &TcpTransport::FlushParamsRequest, this, [this] { ++flushRequests_; }, Qt::DirectConnection);
    connect(
        server_, &TcpTransport::BadIpAddress, this, [this] { listenFailed_ = true; }, Qt::DirectConnection);
}

void HeadlessEmulator::pollServer() {
    if (flushRequests_.exchange(0) > 0)
        saveParams();
    if (pollsUntilListening_ > 0)
        checkListening();
}

void HeadlessEmulator::checkListening() {
    if (listenFailed_) {
        pollsUntilListening_ = 0;
        emit failed(QStringLiteral("cannot listen on %1 port %2")
                        .arg(options_.listenAddress)
                        .arg(params_.snapshot().tcp_port_u16));
        return;
    }
    const quint16 port = server_->listeningPort();
    if (port == 0) {
        if (--pollsUntilListening_ == 0)
            emit failed(QStringLiteral("the command server did not listen within %1 ms").arg(kListenTimeoutMs));
        return;
    }
    pollsUntilListening_ = 0;
    const USER_PARAMS p = params_.snapshot();
    emit ready(QStringLiteral("listening on %1:%2 (TCP), streaming %3 points at %4 Hz to 127.0.0.1:%5 (UDP), "
                              "hello to 127.0.0.1:%6")
                   .arg(options_.listenAddress)
                   .arg(port)
                   .arg(profile_.count())
                   .arg(p.udp_frequency_u16)
                   .arg(p.udp_port_u16)
                   .arg(options_.helloPort));
}

void HeadlessEmulator::saveParams() {
    QString error;
    if (saveUserParamsIni(options_.paramsSavePath, params_.snapshot(), extras_, &error))
        emit notice(QStringLiteral("parameters saved to %1").arg(options_.paramsSavePath));
    else
        emit notice(error);
}
