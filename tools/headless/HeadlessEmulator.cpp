#include "HeadlessEmulator.h"
#include "DescriptorLimit.h"

#include "control/ControlCommand.h"
#include "control/ControlStats.h"
#include "tcp/ListenAdvice.h"
#include "profile/CsvProfile.h"
#include "profile/ProfileModel.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTcpServer>

HeadlessEmulator::HeadlessEmulator(const HeadlessOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
    listenTimeout_.setSingleShot(true);
    listenTimeout_.setInterval(kListenTimeoutMs);
    connect(&listenTimeout_, &QTimer::timeout, this, [this] {
        emit failed(QStringLiteral("the command servers did not listen within %1 ms").arg(kListenTimeoutMs));
    });
}

HeadlessEmulator::~HeadlessEmulator() { stop(); }

MaybeFailure HeadlessEmulator::start() {
    if (!members_.empty())
        return std::nullopt;
    Outcome<std::vector<ScannerPlan>> plans = planRig(options_);
    if (!plans.ok())
        return plans.failure();
    if (MaybeFailure failure = makeRoomForDescriptors(long(plans->size())))
        return failure;
    for (ScannerPlan& plan : *plans)
        members_.push_back(Member{std::move(plan), std::make_unique<Scanner>(engine_), false});
    for (Member& member : members_)
        if (MaybeFailure failure = prepare(member)) {
            members_.clear();
            return failure;
        }
    for (auto open : {&HeadlessEmulator::checkAddresses, &HeadlessEmulator::openControl, &HeadlessEmulator::openHttp})
        if (MaybeFailure failure = (this->*open)()) {
            control_.reset();
            members_.clear();
            return failure;
        }
    for (size_t k = 0; k < members_.size(); ++k) {
        connectScanner(k);
        members_[k].scanner->start();
    }
    listenTimeout_.start();
    return std::nullopt;
}

void HeadlessEmulator::stop() {
    listenTimeout_.stop();
    http_.reset();
    control_.reset();
    for (Member& member : members_)
        member.scanner->stop();
    members_.clear();
}

MaybeFailure HeadlessEmulator::prepare(Member& member) {
    for (auto load : {&HeadlessEmulator::loadParams, &HeadlessEmulator::loadPicture, &HeadlessEmulator::loadProfile,
                      &HeadlessEmulator::loadReplay})
        if (MaybeFailure failure = (this->*load)(member)) {
            if (members_.size() > 1 || !options_.rigPath.isEmpty())
                failure->message = member.plan.name + QStringLiteral(": ") + failure->message;
            return failure;
        }
    applyPlan(member);
    const uint64_t seed = options_.seed + uint64_t(&member - members_.data());
    member.scanner->setFaultSeed(seed);
    member.scanner->setFaults(options_.faults);
    if (!options_.faults.isNone())
        emit notice(QStringLiteral("%1: faults %2, seed %3").arg(member.plan.name, formatFaultSpec(options_.faults)).arg(seed));
    return std::nullopt;
}

MaybeFailure HeadlessEmulator::loadParams(Member& member) {
    const QString& path = member.plan.paramsPath;
    Scanner& scanner = *member.scanner;
    ScannerSettings settings = member.plan.settings;
    USER_PARAMS record = defaultUserParams();
    if (!QFileInfo::exists(path)) {
        emit notice(QStringLiteral("no parameter file %1: using the panel defaults (a flush writes the file)").arg(path));
    } else if (!QFileInfo(path).isFile()) {
        return refusedFailure(QStringLiteral("%1 is no parameter file").arg(path));
    } else {
        const UserParamsIniLoad load = loadUserParamsIni(path, record);
        settings.serial = load.extras.serial;
        settings.xsmr = load.extras.xsmr;
        settings.zbase = load.extras.zbase;
        for (const QString& warning : load.warnings)
            emit notice(warning);
    }
    scanner.params().replace(record);
    const ScannerPlan& plan = member.plan;
    settings.serial = kSerialRange.clamp(plan.serial.value_or(settings.serial) + plan.serialOffset);
    settings.xsmr = plan.xsmr.value_or(settings.xsmr);
    settings.zbase = plan.zbase.value_or(settings.zbase);
    scanner.applySettings(settings);
    return std::nullopt;
}

MaybeFailure HeadlessEmulator::loadPicture(Member& member) {
    const MaybeFailure failure = loadCameraPicture(options_.picturePath, member.scanner->picture());
    // Only a picture asked for by name must be there; clients that never
    // fetch the picture should not need one.
    if (!failure || options_.pictureGiven)
        return failure;
    if (&member == &members_.front())
        emit notice(QStringLiteral("%1: serving a blank camera picture").arg(failure->message));
    return std::nullopt;
}

MaybeFailure HeadlessEmulator::loadProfile(Member& member) {
    const QString& path = member.plan.profilePath;
    if (path.isEmpty()) {
        member.scanner->profile().replace(builtInProfile(kDefaultPointCountIndex));
        return std::nullopt;
    }
    const CsvImport import = member.scanner->loadCsvProfile(path);
    if (import.ok())
        emit notice(csvImportSummary(import, path));
    return import.failure;
}

MaybeFailure HeadlessEmulator::loadReplay(Member& member) {
    const QString& path = member.plan.replayPath;
    if (!member.plan.scenePath.isEmpty())
        if (MaybeFailure failure = member.scanner->loadScene(member.plan.scenePath))
            return failure;
    if (path.isEmpty())
        return std::nullopt;
    // A capture reads the same for every scanner (a folder of CSV files is
    // scaled by each one's XEMR and ZDIAP): a rig loads it once.
    const bool capture = !QFileInfo(path).isDir();
    for (const Member* earlier = members_.data(); capture && earlier != &member; ++earlier)
        if (earlier->plan.replayPath == path && member.scanner->replayAlong(*earlier->scanner))
            return std::nullopt;
    return member.scanner->replay(path, options_.playback, options_.replayFilter);
}

void HeadlessEmulator::applyPlan(Member& member) {
    const ScannerPlan& plan = member.plan;
    Scanner& scanner = *member.scanner;
    scanner.params().update([&plan](USER_PARAMS& p) {
        if (plan.tcpPort)
            p.tcp_port_u16 = static_cast<uint16_t>(*plan.tcpPort);
        if (plan.udpPort)
            p.udp_port_u16 = static_cast<uint16_t>(*plan.udpPort);
    });
    if (plan.frequency)
        scanner.setFrequency(*plan.frequency);
    scanner.setPointCountIndex(kDefaultPointCountIndex);  // "640", selected at every Start as the window does

    // A parameter file may hold a record that never streams; say so.
    const USER_PARAMS p = scanner.params().snapshot();
    if (p.wUDP == 0)
        emit notice(QStringLiteral("wUDP is 0: no profiles are streamed until a client sets it (params set wUDP=1)"));
    if (p.udp_frequency_u16 == 0)
        emit notice(QStringLiteral("udp_frequency_u16 is 0: no profiles are streamed (use --frequency)"));
}

// Listens on every scanner's address and port at once, so that a port in use,
// an address this host lacks or two scanners on one address and port are
// found before anything starts. Port 0 becomes the port the system picks
// here, kept in the record: the hello packets announce it and the server
// listens on it again after an outage.
MaybeFailure HeadlessEmulator::checkAddresses() {
    std::vector<std::unique_ptr<QTcpServer>> trials;
    for (Member& member : members_) {
        const USER_PARAMS p = member.scanner->params().snapshot();
        const QString address = ipv4FieldToText(p.tcp_ip_address_u8);
        auto trial = std::make_unique<QTcpServer>();
        if (!trial->listen(QHostAddress(address), p.tcp_port_u16)) {
            const QString key = trial->serverError() == QAbstractSocket::AddressInUseError ? QStringLiteral("tcp_port")
                                                                                           : QStringLiteral("address");
            // Qt gives the reason in words only, not the errno.
            return systemFailure(0, QStringLiteral("%1 (%2): cannot listen on %3 port %4: %5")
                                        .arg(member.plan.name, key, address)
                                        .arg(p.tcp_port_u16)
                                        .arg(withListenAdvice(trial->errorString(), p.tcp_port_u16)));
        }
        if (member.scanner->helloLegs().empty())
            return refusedFailure(
                QStringLiteral("%1 (hello_to): broadcast, but no interface that is up has a broadcast address for %2")
                    .arg(member.plan.name, address));
        const quint16 picked = trial->serverPort();
        member.scanner->params().update([picked](USER_PARAMS& record) { record.tcp_port_u16 = picked; });
        trials.push_back(std::move(trial));
    }
    return std::nullopt;
}

// The scanner's signals come from its server's thread and are taken here
// queued, by index: a rig stopped meanwhile has no members left.
void HeadlessEmulator::connectScanner(size_t k) {
    Scanner* scanner = members_[k].scanner.get();
    connect(scanner, &Scanner::listening, this, [this, k] { onListening(k); });
    connect(scanner, &Scanner::listenFailed, this, [this, k](const QString& reason) {
        if (k < members_.size())
            emit failed(members_[k].plan.name + QStringLiteral(": ") + reason);
    });
    // Saved before the client hears "OK", so that a stop right after the
    // answer cannot lose the file.
    const Member& member = members_[k];
    scanner->setFlushSaver([this, &member] { return saveParams(member); });
}

void HeadlessEmulator::onListening(size_t k) {
    if (k >= members_.size())
        return;
    members_[k].listening = true;
    for (const Member& m : members_)
        if (!m.listening)
            return;
    listenTimeout_.stop();
    QJsonArray scanners;
    for (Member& m : members_) {
        QJsonObject json = listeningJson(*m.scanner);
        if (http_)
            json.insert(QStringLiteral("http"), http_->url());
        scanners.append(json);
    }
    emit ready(scanners);
}

QJsonObject listeningJson(Scanner& scanner) {
    const USER_PARAMS p = scanner.params().snapshot();
    QJsonObject json{{QStringLiteral("address"), scanner.settings().localAddress},
                     {QStringLiteral("tcp_port"), scanner.listeningPort()},
                     {QStringLiteral("udp_port"), p.udp_port_u16},
                     {QStringLiteral("hello_port"), scanner.settings().helloPort},
                     {QStringLiteral("serial"), scanner.settings().serial},
                     {QStringLiteral("frequency"), p.udp_frequency_u16}};
    const QString played = scanner.replayedPath();
    if (played.isEmpty()) {
        json.insert(QStringLiteral("source"), QStringLiteral("profile"));
        json.insert(QStringLiteral("points"), scanner.profile().count());
    } else {
        json.insert(QStringLiteral("source"), scanner.scene() ? QStringLiteral("scene") : QStringLiteral("replay"));
        json.insert(QStringLiteral("path"), played);
    }
    addDestinations(json, scanner);
    return json;
}

namespace {

QString streamedTo(const QJsonObject& scanner) {
    const QString target = scanner.value(QStringLiteral("stream_to")).toString();
    const QString port = QString::number(scanner.value(QStringLiteral("udp_port")).toInt());
    if (target == QLatin1String("loopback"))
        return QStringLiteral("127.0.0.1:") + port;
    if (target != QLatin1String("record"))
        return target.contains(QLatin1Char(':')) ? target : target + ':' + port;
    const QString now = scanner.value(QStringLiteral("stream_destination")).toString();
    return QStringLiteral("the record's address (%1%2)").arg(now.startsWith(QLatin1String("held")) ? QString() : QStringLiteral("now "), now);
}

QString helloedTo(const QJsonObject& scanner) {
    QStringList destinations;
    for (const QJsonValue& destination : scanner.value(QStringLiteral("hello_destinations")).toArray())
        destinations << destination.toString();
    return destinations.join(QStringLiteral(", "));
}

}  // namespace

QString listeningText(const QJsonObject& scanner) {
    const auto number = [&scanner](const char* key) { return scanner.value(QLatin1String(key)).toInt(); };
    const QString source = scanner.value(QStringLiteral("source")).toString();
    const QString path = scanner.value(QStringLiteral("path")).toString();
    const QString played = source == QLatin1String("profile") ? QStringLiteral("%1 points").arg(number("points"))
                           : source == QLatin1String("scene") ? QStringLiteral("the scene %1").arg(path)
                                                              : QStringLiteral("a replay of %1").arg(path);
    return QStringLiteral("listening on %1:%2 (TCP), streaming %3 at %4 Hz to %5 (UDP), hello to %6")
        .arg(scanner.value(QStringLiteral("address")).toString())
        .arg(number("tcp_port"))
        .arg(played)
        .arg(number("frequency"))
        .arg(streamedTo(scanner), helloedTo(scanner));
}

MaybeFailure HeadlessEmulator::saveParams(const Member& member) {
    const QString& path = member.plan.paramsSavePath;
    MaybeFailure failure = member.scanner->saveParams(path);
    emit notice(failure ? failure->message : QStringLiteral("parameters saved to %1").arg(path));
    return failure;
}

MaybeFailure HeadlessEmulator::openControl() {
    if (options_.controlPath.isEmpty())
        return std::nullopt;
    control_ = std::make_unique<ControlServer>(*this);
    MaybeFailure failure = control_->listen(options_.controlPath);
    if (failure)
        control_.reset();
    return failure;
}

// The bearer secret is the file's first line: a secret that is empty or
// cannot be read would leave the front end open to everyone.
MaybeFailure HeadlessEmulator::openHttp() {
    if (options_.httpAddress.isEmpty())
        return std::nullopt;
    QByteArray bearer;
    if (!options_.httpTokenPath.isEmpty()) {
        QFile file(options_.httpTokenPath);
        if (file.open(QIODevice::ReadOnly))
            bearer = file.readLine(kMaxTokenBytes + 2).trimmed();
        if (bearer.isEmpty() || bearer.size() > kMaxTokenBytes) {
            const QString why = file.isOpen()
                                    ? QStringLiteral("no secret of 1 to %1 bytes on its first line").arg(kMaxTokenBytes)
                                    : file.errorString();
            return inputFailure(QStringLiteral("--http-token %1: %2").arg(options_.httpTokenPath, why));
        }
    }
    http_ = std::make_unique<HttpFrontEnd>(*this, [this] {
        std::vector<const Scanner*> scanners;
        for (const Member& member : members_)
            scanners.push_back(member.scanner.get());
        return scanners;
    });
    MaybeFailure failure = http_->listen(options_.httpAddress, options_.httpPort, bearer);
    if (failure)
        http_.reset();
    return failure;
}

// The scanner a control command is for; none, and the command answered, when
// no scanner has that address.
Scanner* HeadlessEmulator::addressed(const QString& address, const ControlAnswer& answer) {
    for (Member& member : members_) {
        const int port = member.scanner->params().read([](const USER_PARAMS& p) { return int(p.tcp_port_u16); });
        if (selectsScanner(address, member.scanner->settings().localAddress, port))
            return member.scanner.get();
    }
    answer({false, QStringLiteral("no scanner at %1").arg(address)});
    return nullptr;
}

void HeadlessEmulator::setFaults(const QString& scanner, const FaultSpec& spec, ControlAnswer answer) {
    if (Scanner* s = addressed(scanner, answer)) {
        s->setFaults(spec);
        answer({true, formatFaultSpec(spec)});
    }
}

void HeadlessEmulator::loadProfile(const QString& scanner, const QString& csvPath, ControlAnswer answer) {
    Scanner* s = addressed(scanner, answer);
    if (!s)
        return;
    const CsvImport import = s->loadCsvProfile(csvPath);
    answer({import.ok(), import.ok() ? csvImportSummary(import, csvPath) : import.failure->message});
}

void HeadlessEmulator::replay(const QString& scanner, const QString& path, ControlAnswer answer) {
    Scanner* s = addressed(scanner, answer);
    if (!s)
        return;
    if (const MaybeFailure failure = s->replay(path, Playback::Loop))
        answer({false, failure->message});
    else
        answer({true, QStringLiteral("replaying %1").arg(path)});
}

void HeadlessEmulator::beginOutage(const QString& scanner, std::chrono::milliseconds length, ControlAnswer answer) {
    Scanner* s = addressed(scanner, answer);
    if (!s)
        return;
    s->beginOutage(length, [answer, length](bool begun) {
        if (begun)
            answer({true, QStringLiteral("outage of %1 s begun").arg(double(length.count()) / 1000.0)});
        else
            answer({false, QStringLiteral("the scanner is not running")});
    });
}

void HeadlessEmulator::stats(const QString& scanner, ControlAnswer answer) {
    if (Scanner* s = addressed(scanner, answer))
        answer({true, jsonLine(scannerStatsJson(*s))});
}
