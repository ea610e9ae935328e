#include "scanner/Scanner.h"

#include "capture/CaptureProfileSource.h"
#include "capture/CaptureReplay.h"
#include "log/LogCategories.h"
#include "profile/ProfileModel.h"
#include "tcp/TcpTransport.h"
#include "udp/UdpHello.h"
#include "udp/UdpTransport.h"

#include <QFileInfo>
#include <QThread>

Scanner::Scanner(QObject* parent) : Scanner(*new Engine, parent) { ownEngine_.reset(&engine_); }

Scanner::Scanner(Engine& engine, QObject* parent)
    : QObject(parent), picture_(makeBlankPicture()), engine_(engine) {
    outageEnd_.setSingleShot(true);
    connect(&outageEnd_, &QTimer::timeout, this, &Scanner::start);
    state_.record().replace(defaultUserParams());
    applySettings(settings());
    interfacesWatch_ = hostInterfaces().changes().add([this] {
        std::lock_guard<std::mutex> lock(followHandOver_);
        QMetaObject::invokeMethod(this, "followInterfaces", Qt::QueuedConnection);
    });
}

Scanner::~Scanner() {
    hostInterfaces().changes().remove(interfacesWatch_);
    stop();
}

ScannerSettings Scanner::settings() const { return state_.settings(); }

PanelExtras Scanner::extras() const { return settings().extras(); }

// What the settings drive beyond themselves first, then one write of them:
// their watchers wake once, not once per setting.
void Scanner::applySettings(const ScannerSettings& s) {
    route_.setTarget(s.streamTo, s.streamAllow);  // the settings' change wakes the stream, which then asks it
    DeviceIdentity& identity = state_.identity();
    if (!s.localAddress.isEmpty())
        identity.setLocalAddress(s.localAddress);
    identity.setXemr(s.xemr);
    identity.setZdiap(s.zdiap);
    identity.setSerialNumber(s.serial);
    identity.setXsmr(s.xsmr);
    identity.setZbase(s.zbase);
    state_.record().update([&s](USER_PARAMS& p) {
        if (!s.localAddress.isEmpty())
            ipv4TextToField(s.localAddress, p.tcp_ip_address_u8);
        p.interpolation_u8 = static_cast<uint8_t>(s.pointCountIndex);
    });
    state_.changeSettings([&s](ScannerSettings& kept) { kept = s; });
    restartHello();
}

void Scanner::start() {
    outageEnd_.stop();
    if (isRunning())
        return;
    state_.restartTimeline();
    plugWorkers();
    helloWorker_->takePorts();
    helloWorker_->open();
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
    engine_.finishWriting(this);  // a flush asked for before the stop lands on disk
    helloWorker_.reset();
    stream_.reset();
}

namespace {
Outcome<std::shared_ptr<ProfileSource>> openReplay(const QString& path, Playback playback, CaptureFilter filter,
                                                   CsvScale scale) {
    if (!QFileInfo(path).isDir())
        return openCaptureReplay(path, filter, playback);
    Outcome<std::unique_ptr<ProfileSource>> folder = openCsvFolder(path, scale, playback);
    if (!folder.ok())
        return folder.failure();
    return std::shared_ptr<ProfileSource>(std::move(*folder));
}
}  // namespace

MaybeFailure Scanner::replay(const QString& path, Playback playback, CaptureFilter filter) {
    const ScannerSettings s = settings();
    Outcome<std::shared_ptr<ProfileSource>> source = openReplay(path, playback, filter, CsvScale{s.xemr, s.zdiap});
    if (!source.ok())
        return source.failure();
    feed_.play(std::move(*source));
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_ = path;
    return std::nullopt;
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

MaybeFailure Scanner::loadScene(const QString& path) {
    const ScannerSettings s = settings();
    Outcome<std::unique_ptr<SceneProfileSource>> opened =
        SceneProfileSource::open(path, CsvScale{s.xemr, s.zdiap}, state_.record());
    if (!opened.ok())
        return opened.failure();
    std::shared_ptr<SceneProfileSource> source = std::move(*opened);
    setXemr(source->scale().xemr);
    setZdiap(source->scale().zdiap);
    feed_.play(std::move(source));
    std::lock_guard<std::mutex> lock(replayedMutex_);
    replayedPath_ = path;
    return std::nullopt;
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


void Scanner::setStreamPaused(bool paused) { state_.setStreamPaused(paused); }

quint16 Scanner::listeningPort() const { return server_ ? server_->listeningPort() : 0; }

RecordingFrame Scanner::recordingFrame() const { return feed_.current()->frameOf(streamedMeasurement()); }

// The server's Connected and Disconnected pause and resume the stream
// while a command client is connected.
void Scanner::plugWorkers() {
    helloWorker_ = std::make_unique<UdpHello>(nullptr, &state_);
    stream_ = std::make_unique<UdpTransport>(nullptr, &state_, &feed_);
    server_ = new TcpTransport(nullptr, &state_, picture_.get(), &feed_);
    helloWorker_->useFaults(&faults_);
    stream_->useFaults(&faults_.stream());
    stream_->useRoute(&route_);
    server_->useFaults(&faults_.server());
    server_->useJournal(&journal_);
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
    connect(server_, &TcpTransport::UserParamsUpdated, this, &Scanner::userParamsUpdated, Qt::DirectConnection);
    server_->useSaver([this](std::function<void()> saved) {
        engine_.writeFile(this, [this, saved = std::move(saved)] {
            saveForClient();
            saved();
        });
    });
}

// The server's outcome is read here rather than sent over from its thread,
// so that the signals carry their arguments on this object's thread. Once a
// start: a server of an earlier start may still have its call queued.
void Scanner::reportListenOutcome() {
    if (listenReported_ || !isRunning())
        return;
    if (listenFailed_) {
        listenReported_ = true;
        const USER_PARAMS p = state_.record().snapshot();
        emit listenFailed(QStringLiteral("cannot listen on %1 port %2: %3")
                              .arg(ipv4FieldToText(p.tcp_ip_address_u8))
                              .arg(p.tcp_port_u16)
                              .arg(server_->listenError()));
    } else if (const quint16 port = listeningPort()) {
        listenReported_ = true;
        emit listening(port);
    }
}

void Scanner::setLocalAddress(const QString& address) {
    if (address.isEmpty())
        return;  // the host reported no IPv4 address
    state_.record().update([&](USER_PARAMS& p) { ipv4TextToField(address, p.tcp_ip_address_u8); });
    state_.identity().setLocalAddress(address);
    state_.changeSettings([&](ScannerSettings& s) { s.localAddress = address; });
}

// The route first: the settings' change wakes the stream, which then asks it.
void Scanner::setStreamTarget(const StreamTarget& target, const std::vector<Ipv4Net>& allowed) {
    route_.setTarget(target, allowed);
    state_.changeSettings([&](ScannerSettings& s) {
        s.streamTo = target;
        s.streamAllow = allowed;
    });
}

void Scanner::setHelloTarget(const HelloTarget& target) {
    state_.changeSettings([&](ScannerSettings& s) { s.helloTo = target; });
    restartHello();
}

// The announcer starts again, from the address the hello target asks for.
void Scanner::restartHello() {
    if (!isRunning())
        return;
    engine_.stopSending(helloWorker_.get());
    helloWorker_->finish();
    helloWorker_->open();
    engine_.startSending(helloWorker_.get());
}

// A hello aimed by the interfaces (a broadcast, every interface) follows them.
void Scanner::followInterfaces() {
    { std::lock_guard<std::mutex> lock(followHandOver_); }
    if (isRunning() && helloWorker_->legs() != helloLegs())
        restartHello();
}

QString Scanner::streamDestination() const {
    return route_.inForce(state_.record().read([](const USER_PARAMS& p) {
        return Endpoint{ipv4FieldToNumber(p.udp_ip_address_u8), p.udp_port_u16};
    }));
}

std::vector<HelloLeg> Scanner::helloLegs() const {
    const ScannerSettings s = settings();
    return ::helloLegs(s.helloTo, QHostAddress(s.localAddress).toIPv4Address(), s.sendingAddress(),
                       recentInterfaceNets());
}

// The factory block holds XEMR, ZDIAP, serial, XSMR and ZBASE too: the hello announces them.
void Scanner::setXemr(int xemr) {
    state_.identity().setXemr(xemr);
    state_.changeSettings([xemr](ScannerSettings& s) { s.xemr = xemr; });
}

void Scanner::setZdiap(int zdiap) {
    state_.identity().setZdiap(zdiap);
    state_.changeSettings([zdiap](ScannerSettings& s) { s.zdiap = zdiap; });
}

void Scanner::setSerial(int serial) {
    state_.identity().setSerialNumber(serial);
    state_.changeSettings([serial](ScannerSettings& s) { s.serial = serial; });
}

void Scanner::setXsmr(int xsmr) {
    state_.identity().setXsmr(xsmr);
    state_.changeSettings([xsmr](ScannerSettings& s) { s.xsmr = xsmr; });
}

void Scanner::setZbase(int zbase) {
    state_.identity().setZbase(zbase);
    state_.changeSettings([zbase](ScannerSettings& s) { s.zbase = zbase; });
}

void Scanner::setNoise(int noise) {
    state_.changeSettings([noise](ScannerSettings& s) { s.noise = noise; });
}

void Scanner::setPointCountIndex(int index) {
    state_.record().update([index](USER_PARAMS& p) { p.interpolation_u8 = static_cast<uint8_t>(index); });
    state_.changeSettings([index](ScannerSettings& s) { s.pointCountIndex = index; });
}

void Scanner::setStepdirForward(bool forward) {
    state_.changeSettings([forward](ScannerSettings& s) { s.stepdirForward = forward; });
}

void Scanner::setFrequency(int frequency) {
    state_.record().update([frequency](USER_PARAMS& p) { p.udp_frequency_u16 = static_cast<uint16_t>(frequency); });
    state_.followRecordRate();
}

void Scanner::setDhsMode(int mode) {
    state_.record().update([mode](USER_PARAMS& p) { p.dhs_enable_u8 = static_cast<uint8_t>(mode); });
    state_.restartTimeline();
}

MaybeFailure Scanner::saveParams(const QString& path) const {
    return saveUserParamsIni(path, state_.record().snapshot(), extras());
}

void Scanner::setFlushSaver(FlushSaver saver) {
    std::lock_guard<std::mutex> lock(flushSaverMutex_);
    flushSaver_ = std::move(saver);
}

void Scanner::saveForClient() const {
    FlushSaver saver;
    {
        std::lock_guard<std::mutex> lock(flushSaverMutex_);
        saver = flushSaver_;
    }
    if (!saver)
        return;
    if (const MaybeFailure failure = saver())
        qCDebug(lcParams).noquote() << "flush params failed:" << failure->message;
}
