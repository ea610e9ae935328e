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

namespace {
// The tool's start-up steps report through `error`.
bool succeeded(const MaybeFailure& failure, QString* error) {
    if (failure)
        *error = failure->message;
    return !failure;
}
}  // namespace

HeadlessEmulator::HeadlessEmulator(const HeadlessOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
    listenTimeout_.setSingleShot(true);
    listenTimeout_.setInterval(kListenTimeoutMs);
    connect(&listenTimeout_, &QTimer::timeout, this, [this] {
        emit failed(QStringLiteral("the command servers did not listen within %1 ms").arg(kListenTimeoutMs));
    });
}

HeadlessEmulator::~HeadlessEmulator() { stop(); }

bool HeadlessEmulator::start(QString* error) {
    if (!members_.empty())
        return true;
    std::vector<ScannerPlan> plans = planRig(options_, error);
    if (plans.empty() || !makeRoomForDescriptors(long(plans.size()), error))
        return false;
    for (ScannerPlan& plan : plans)
        members_.push_back(Member{std::move(plan), std::make_unique<Scanner>(engine_), false});
    for (Member& member : members_)
        if (!prepare(member, error)) {
            members_.clear();
            return false;
        }
    if (!checkAddresses(error) || !openControl(error) || !openHttp(error)) {
        control_.reset();
        members_.clear();
        return false;
    }
    for (size_t k = 0; k < members_.size(); ++k) {
        connectScanner(k);
        members_[k].scanner->start();
    }
    listenTimeout_.start();
    return true;
}

void HeadlessEmulator::stop() {
    listenTimeout_.stop();
    http_.reset();
    control_.reset();
    for (Member& member : members_)
        member.scanner->stop();
    members_.clear();
}

bool HeadlessEmulator::prepare(Member& member, QString* error) {
    if (!loadParams(member, error) || !loadPicture(member, error) || !loadProfile(member, error) ||
        !loadReplay(member, error)) {
        if (members_.size() > 1 || !options_.rigPath.isEmpty())
            *error = member.plan.name + QStringLiteral(": ") + *error;
        return false;
    }
    applyPlan(member);
    const uint64_t seed = options_.seed + uint64_t(&member - members_.data());
    member.scanner->setFaultSeed(seed);
    member.scanner->setFaults(options_.faults);
    if (!options_.faults.isNone())
        emit notice(QStringLiteral("%1: faults %2, seed %3").arg(member.plan.name, formatFaultSpec(options_.faults)).arg(seed));
    return true;
}

bool HeadlessEmulator::loadParams(Member& member, QString* error) {
    const QString& path = member.plan.paramsPath;
    Scanner& scanner = *member.scanner;
    ScannerSettings settings = member.plan.settings;
    USER_PARAMS record = defaultUserParams();
    if (!QFileInfo::exists(path)) {
        emit notice(QStringLiteral("no parameter file %1: using the panel defaults (a flush writes the file)").arg(path));
    } else if (!QFileInfo(path).isFile()) {
        *error = QStringLiteral("%1 is no parameter file").arg(path);
        return false;
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
    return true;
}

bool HeadlessEmulator::loadPicture(Member& member, QString* error) {
    const MaybeFailure failure = loadCameraPicture(options_.picturePath, member.scanner->picture());
    if (!failure)
        return true;
    // Only a picture asked for by name must be there; clients that never
    // fetch the picture should not need one.
    if (options_.pictureGiven) {
        *error = failure->message;
        return false;
    }
    if (&member == &members_.front())
        emit notice(QStringLiteral("%1: serving a blank camera picture").arg(failure->message));
    return true;
}

bool HeadlessEmulator::loadProfile(Member& member, QString* error) {
    const QString& path = member.plan.profilePath;
    if (path.isEmpty()) {
        member.scanner->profile().replace(builtInProfile(kDefaultPointCountIndex));
        return true;
    }
    const CsvImport import = member.scanner->loadCsvProfile(path);
    if (!import.ok()) {
        *error = import.failure->message;
        return false;
    }
    emit notice(csvImportSummary(import, path));
    return true;
}

bool HeadlessEmulator::loadReplay(Member& member, QString* error) {
    const QString& path = member.plan.replayPath;
    if (!member.plan.scenePath.isEmpty() && !succeeded(member.scanner->loadScene(member.plan.scenePath), error))
        return false;
    if (path.isEmpty())
        return true;
    // A capture reads the same for every scanner (a folder of CSV files is
    // scaled by each one's XEMR and ZDIAP): a rig loads it once.
    const bool capture = !QFileInfo(path).isDir();
    for (const Member* earlier = members_.data(); capture && earlier != &member; ++earlier)
        if (earlier->plan.replayPath == path && member.scanner->replayAlong(*earlier->scanner))
            return true;
    return succeeded(member.scanner->replay(path, options_.playback, options_.replayFilter), error);
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
bool HeadlessEmulator::checkAddresses(QString* error) {
    std::vector<std::unique_ptr<QTcpServer>> trials;
    for (Member& member : members_) {
        const USER_PARAMS p = member.scanner->params().snapshot();
        const QString address = ipv4FieldToText(p.tcp_ip_address_u8);
        auto trial = std::make_unique<QTcpServer>();
        if (!trial->listen(QHostAddress(address), p.tcp_port_u16)) {
            const QString key = trial->serverError() == QAbstractSocket::AddressInUseError ? QStringLiteral("tcp_port")
                                                                                           : QStringLiteral("address");
            *error = QStringLiteral("%1 (%2): cannot listen on %3 port %4: %5")
                         .arg(member.plan.name, key, address)
                         .arg(p.tcp_port_u16)
                         .arg(withListenAdvice(trial->errorString(), p.tcp_port_u16));
            return false;
        }
        if (member.scanner->helloLegs().empty()) {
            *error = QStringLiteral("%1 (hello_to): broadcast, but no interface that is up has a broadcast address for %2")
                         .arg(member.plan.name, address);
            return false;
        }
        const quint16 picked = trial->serverPort();
        member.scanner->params().update([picked](USER_PARAMS& record) { record.tcp_port_u16 = picked; });
        trials.push_back(std::move(trial));
    }
    return true;
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

bool HeadlessEmulator::openControl(QString* error) {
    if (options_.controlPath.isEmpty())
        return true;
    control_ = std::make_unique<ControlServer>(*this);
    if (control_->listen(options_.controlPath))
        return true;
    *error = control_->errorString();
    control_.reset();
    return false;
}

// The bearer secret is the file's first line: a secret that is empty or
// cannot be read would leave the front end open to everyone.
bool HeadlessEmulator::openHttp(QString* error) {
    if (options_.httpAddress.isEmpty())
        return true;
    QByteArray bearer;
    if (!options_.httpTokenPath.isEmpty()) {
        QFile file(options_.httpTokenPath);
        if (file.open(QIODevice::ReadOnly))
            bearer = file.readLine(kMaxTokenBytes + 2).trimmed();
        if (bearer.isEmpty() || bearer.size() > kMaxTokenBytes) {
            const QString why = file.isOpen()
                                    ? QStringLiteral("no secret of 1 to %1 bytes on its first line").arg(kMaxTokenBytes)
                                    : file.errorString();
            *error = QStringLiteral("--http-token %1: %2").arg(options_.httpTokenPath, why);
            return false;
        }
    }
    http_ = std::make_unique<HttpFrontEnd>(*this, [this] {
        std::vector<const Scanner*> scanners;
        for (const Member& member : members_)
            scanners.push_back(member.scanner.get());
        return scanners;
    });
    if (http_->listen(options_.httpAddress, options_.httpPort, bearer, error))
        return true;
    http_.reset();
    return false;
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
