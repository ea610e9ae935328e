#include "scanner/Scanner.h"

#include "capture/CaptureProfileSource.h"
#include "capture/CaptureReplay.h"
#include "profile/ProfileModel.h"
#include "tcp/TcpTransport.h"
#include "udp/UdpHello.h"
#include "udp/UdpTransport.h"

#include <QFileInfo>
#include <QThread>

Scanner::Scanner(QObject* parent) : Scanner(*new Engine, parent) { ownEngine_.reset(&engine_); }

Scanner::Scanner(Engine& engine, QObject* parent)
    : QObject(parent), picture_(std::make_unique<CameraPicture>()), engine_(engine) {
    picture_->fill(0);
    outageEnd_.setSingleShot(true);
    connect(&outageEnd_, &QTimer::timeout, this, &Scanner::start);
    params_.replace(defaultUserParams());
    applySettings(settings_);
}

Scanner::~Scanner() { stop(); }

ScannerSettings Scanner::settings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    return settings_;
}

PanelExtras Scanner::extras() const { return settings().extras(); }

template <typename Change>
ScannerSettings Scanner::change(Change&& change) {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    change(settings_);
    return settings_;
}

void Scanner::applySettings(const ScannerSettings& s) {
    change([&s](ScannerSettings& kept) { kept = s; });
    setLocalAddress(s.localAddress);
    setStreamTarget(s.streamTo, s.streamAllow);
    setHelloTarget(s.helloTo);
    setXemr(s.xemr);
    setZdiap(s.zdiap);
    setSerial(s.serial);
    setXsmr(s.xsmr);
    setZbase(s.zbase);
    setNoise(s.noise);
    setPointCountIndex(s.pointCountIndex);
    setStepdirForward(s.stepdirForward);
}

void Scanner::start() {
    outageEnd_.stop();
    if (isRunning())
        return;
    plugWorkers();
    primeWorkers();
    listenFailed_ = false;
    listenReported_ = false;
    engine_.startSending(helloWorker_.get());
    engine_.startSending(stream_.get());
    engine_.startServing(server_);
}

void Scanner::stop() {
    outageEnd_.stop();
    stopWorkers();
}

void Scanner::beginOutage(std::chrono::milliseconds length, std::function<void(bool)> begun) {
    if (thread() != QThread::currentThread()) {
        QMetaObject::invokeMethod(this, [this, length, begun] { beginOutage(length, begun); }, Qt::QueuedConnection);
        return;
    }
    const bool running = isRunning() || outageEnd_.isActive();
    if (running) {
        stopWorkers();
        outageEnd_.start(int(length.count()));
    }
    if (begun)
        begun(running);
}

// The announcer, the stream, then the server; the stream's object goes
// last, as the server's pause and resume reach it until the server is gone.
void Scanner::stopWorkers() {
    if (!isRunning())
        return;
    engine_.stopSending(helloWorker_.get());
    helloWorker_->finish();
    engine_.stopSending(stream_.get());
    stream_->finish();
    engine_.stopServing(std::exchange(server_, nullptr));
    latePacketsBefore_ += stream_->latePackets();
    refusedSendsBefore_ += stream_->refusedSends() + helloWorker_->refusedSends();
    helloWorker_.reset();
    stream_.reset();
}

bool Scanner::replay(const QString& path, Playback playback, QString* error, CaptureFilter filter) {
    QString why;
    std::shared_ptr<ProfileSource> source;
    if (QFileInfo(path).isDir()) {
        const ScannerSettings s = settings();
        source = openCsvFolder(path, CsvScale{s.xemr, s.zdiap}, playback, why);
    } else {
        source = openCaptureReplay(path, filter, playback, why);
    }
    if (!source) {
        if (error)
            *error = why;
        return false;
    }
    feed_.play(std::move(source));
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_ = path;
    return true;
}

bool Scanner::replayAlong(const Scanner& other) {
    std::shared_ptr<ProfileSource> source = other.feed_.current();
    if (other.feed_.playsDrawn() || std::dynamic_pointer_cast<CaptureProfileSource>(source))
        return false;
    feed_.play(std::move(source));
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_ = other.replayedPath();
    return true;
}

bool Scanner::loadScene(const QString& path, QString* error) {
    const ScannerSettings s = settings();
    QString why;
    std::shared_ptr<SceneProfileSource> source = SceneProfileSource::open(path, CsvScale{s.xemr, s.zdiap}, params_, why);
    if (!source) {
        if (error)
            *error = why;
        return false;
    }
    setXemr(source->scale().xemr);
    setZdiap(source->scale().zdiap);
    feed_.play(std::move(source));
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_ = path;
    return true;
}

std::shared_ptr<const SceneProfileSource> Scanner::scene() const {
    return std::dynamic_pointer_cast<const SceneProfileSource>(feed_.current());
}

void Scanner::showDrawnProfile() {
    feed_.play(nullptr);
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_.clear();
}

CsvImport Scanner::loadCsvProfile(const QString& path) {
    const ScannerSettings s = settings();
    const CsvImport import = readCsvProfile(path, CsvScale{s.xemr, s.zdiap});
    if (import.ok()) {
        profile_.replace(import.points);
        showDrawnProfile();
    }
    return import;
}

QString Scanner::replayedPath() const {
    std::lock_guard<std::mutex> lock(replayedMutex_);
    return replayedPath_;
}

void Scanner::copyStreamedFrame(ProfileSnapshot& out, int maxPoints) const {
    feed_.copyProfile(streamedMeasurement(), out, maxPoints);
}

uint32_t Scanner::streamedMeasurement() const { return stream_ ? stream_->measurementCounter() : 0; }

uint64_t Scanner::latePackets() const { return latePacketsBefore_ + (stream_ ? stream_->latePackets() : 0); }

uint64_t Scanner::refusedSends() const {
    return refusedSendsBefore_ + (stream_ ? stream_->refusedSends() + helloWorker_->refusedSends() : 0);
}

void Scanner::setStreamPaused(bool paused) {
    streamPaused_ = paused;
    if (stream_)
        stream_->setOperatorPaused(paused);
}

quint16 Scanner::listeningPort() const { return server_ ? server_->listeningPort() : 0; }

RecordingFrame Scanner::recordingFrame() const { return feed_.current()->frameOf(streamedMeasurement()); }

QHostAddress Scanner::sourceAddress() const {
    const ScannerSettings s = settings();
    return s.sendsFromLocalAddress() ? QHostAddress(s.localAddress) : QHostAddress(QHostAddress::AnyIPv4);
}

// The server's Connected and Disconnected pause and resume the stream
// while a command client is connected.
void Scanner::plugWorkers() {
    const ScannerSettings s = settings();
    const QHostAddress source = sourceAddress();
    helloWorker_ = std::make_unique<UdpHello>(nullptr, &params_, &hello_);
    stream_ = std::make_unique<UdpTransport>(nullptr, &params_, &feed_, &hello_, source);
    server_ = new TcpTransport(nullptr, &params_, picture_.get(), &feed_, &hello_);
    helloWorker_->useFaults(&faults_);
    stream_->useFaults(&faults_.stream());
    stream_->useRoute(&route_);
    server_->useFaults(&faults_.server());
    server_->useJournal(&journal_);
    helloWorker_->setDestinationPort(s.helloPort);
    helloWorker_->setSource(source, s.macOffset);
    helloWorker_->setTarget(s.helloTo, QHostAddress(s.localAddress));
    connect(server_, &TcpTransport::Connected, stream_.get(), &UdpTransport::shutdown, Qt::DirectConnection);
    connect(server_, &TcpTransport::Disconnected, stream_.get(), &UdpTransport::resume, Qt::DirectConnection);
    wireServer();
}

// These come from the server's thread; receivers pick how to take them.
void Scanner::wireServer() {
    connect(
        server_, &TcpTransport::BadIpAddress, this, [this] { listenFailed_ = true; }, Qt::DirectConnection);
    connect(server_, &TcpTransport::BadIpAddress, this, &Scanner::reportListenOutcome, Qt::QueuedConnection);
    connect(server_, &TcpTransport::Listening, this, &Scanner::reportListenOutcome, Qt::QueuedConnection);
    connect(server_, &TcpTransport::Connected, this, &Scanner::clientConnected, Qt::DirectConnection);
    connect(server_, &TcpTransport::Disconnected, this, &Scanner::clientDisconnected, Qt::DirectConnection);
    connect(server_, &TcpTransport::UserParamsUpdated, this, &Scanner::onClientWroteParams, Qt::DirectConnection);
    connect(server_, &TcpTransport::FlushParamsRequest, this, &Scanner::flushRequested, Qt::DirectConnection);
}

void Scanner::primeWorkers() {
    const ScannerSettings s = settings();
    const USER_PARAMS record = params_.snapshot();
    helloWorker_->takePorts();
    stream_->onXemrChanged(s.xemr);
    server_->onXemrChanged(s.xemr);
    stream_->onZdiapChanged(s.zdiap);
    server_->onZdiapChanged(s.zdiap);
    stream_->onNoizeChanged(s.noise);
    server_->onNoizeChanged(s.noise);
    restartSchedules(record.udp_frequency_u16);
    stream_->onModeChanged(record.dhs_enable_u8);
    server_->onModeChanged();
    stream_->SwitchStepdir(s.stepdirForward);
    server_->SwitchStepdir(s.stepdirForward);
    stream_->setOperatorPaused(streamPaused_);
}

// The server's outcome is read here rather than sent over from its thread,
// so that the signals carry their arguments on this object's thread. Once a
// start: a server of an earlier start may still have its call queued.
void Scanner::reportListenOutcome() {
    if (listenReported_ || !isRunning())
        return;
    if (listenFailed_) {
        listenReported_ = true;
        const USER_PARAMS p = params_.snapshot();
        emit listenFailed(QStringLiteral("cannot listen on %1 port %2: %3")
                              .arg(ipv4FieldToText(p.tcp_ip_address_u8))
                              .arg(p.tcp_port_u16)
                              .arg(server_->listenError()));
    } else if (const quint16 port = listeningPort()) {
        listenReported_ = true;
        emit listening(port);
    }
}

// On the server's thread, before the client is answered.
void Scanner::onClientWroteParams() {
    const int frequency = params_.read([](const USER_PARAMS& p) { return int(p.udp_frequency_u16); });
    if (appliedFrequency_.exchange(frequency) != frequency)
        restartSchedules(frequency);
    emit userParamsUpdated();
}

void Scanner::restartSchedules(int frequency) {
    appliedFrequency_ = frequency;
    stream_->onFreqChanged(frequency);
    server_->onFreqChanged(frequency);
}

void Scanner::setLocalAddress(const QString& address) {
    if (address.isEmpty())
        return;  // the host reported no IPv4 address
    change([&](ScannerSettings& s) { s.localAddress = address; });
    params_.update([&](USER_PARAMS& p) { ipv4TextToField(address, p.tcp_ip_address_u8); });
    hello_.setLocalAddress(address);
}

void Scanner::setStreamTarget(const StreamTarget& target, const std::vector<Ipv4Net>& allowed) {
    change([&](ScannerSettings& s) {
        s.streamTo = target;
        s.streamAllow = allowed;
    });
    route_.setTarget(target, allowed);
    if (stream_)
        stream_->onRouteChanged();
}

// The announcer starts again, from the address the new target asks for.
void Scanner::setHelloTarget(const HelloTarget& target) {
    change([&](ScannerSettings& s) { s.helloTo = target; });
    if (!isRunning())
        return;
    engine_.stopSending(helloWorker_.get());
    helloWorker_->finish();
    helloWorker_->setSource(sourceAddress(), settings().macOffset);
    helloWorker_->setTarget(target, QHostAddress(settings().localAddress));
    engine_.startSending(helloWorker_.get());
}

QString Scanner::streamDestination() const {
    return route_.inForce(params_.read([](const USER_PARAMS& p) {
        return Endpoint{ipv4FieldToNumber(p.udp_ip_address_u8), p.udp_port_u16};
    }));
}

std::vector<HelloLeg> Scanner::helloLegs() const {
    const ScannerSettings s = settings();
    return ::helloLegs(s.helloTo, QHostAddress(s.localAddress).toIPv4Address(), sourceAddress().toIPv4Address(),
                       upInterfaceNets());
}

void Scanner::setXemr(int xemr) {
    change([xemr](ScannerSettings& s) { s.xemr = xemr; });
    hello_.setXemr(xemr);
    if (isRunning()) {
        stream_->onXemrChanged(xemr);
        server_->onXemrChanged(xemr);
    }
}

void Scanner::setZdiap(int zdiap) {
    change([zdiap](ScannerSettings& s) { s.zdiap = zdiap; });
    hello_.setZdiap(zdiap);
    if (isRunning()) {
        stream_->onZdiapChanged(zdiap);
        server_->onZdiapChanged(zdiap);
    }
}

void Scanner::setSerial(int serial) {
    change([serial](ScannerSettings& s) { s.serial = serial; });
    hello_.setSerialNumber(serial);
}

void Scanner::setXsmr(int xsmr) {
    change([xsmr](ScannerSettings& s) { s.xsmr = xsmr; });
    hello_.setXsmr(xsmr);
}

void Scanner::setZbase(int zbase) {
    change([zbase](ScannerSettings& s) { s.zbase = zbase; });
    hello_.setZbase(zbase);
}

void Scanner::setNoise(int noise) {
    change([noise](ScannerSettings& s) { s.noise = noise; });
    if (isRunning()) {
        stream_->onNoizeChanged(noise);
        server_->onNoizeChanged(noise);
    }
}

void Scanner::setPointCountIndex(int index) {
    change([index](ScannerSettings& s) { s.pointCountIndex = index; });
    params_.update([index](USER_PARAMS& p) { p.interpolation_u8 = static_cast<uint8_t>(index); });
}

void Scanner::setStepdirForward(bool forward) {
    change([forward](ScannerSettings& s) { s.stepdirForward = forward; });
    if (isRunning()) {
        stream_->SwitchStepdir(forward);
        server_->SwitchStepdir(forward);
    }
}

void Scanner::setFrequency(int frequency) {
    params_.update([frequency](USER_PARAMS& p) { p.udp_frequency_u16 = static_cast<uint16_t>(frequency); });
    if (isRunning() && appliedFrequency_ != frequency)
        restartSchedules(frequency);
}

void Scanner::setDhsMode(int mode) {
    params_.update([mode](USER_PARAMS& p) { p.dhs_enable_u8 = static_cast<uint8_t>(mode); });
    if (isRunning()) {
        stream_->onModeChanged(mode);
        server_->onModeChanged();
    }
}

bool Scanner::saveParams(const QString& path, QString* error) const {
    return saveUserParamsIni(path, params_.snapshot(), extras(), error);
}
