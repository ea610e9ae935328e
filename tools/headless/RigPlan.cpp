#include "RigPlan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>

namespace {

ScannerPlan planFromOptions(const HeadlessOptions& o) {
    ScannerPlan plan;
    plan.name = QStringLiteral("scanner 1");
    plan.settings.localAddress = o.listenAddress;
    plan.settings.streamTo = o.streamTo;
    plan.settings.streamAllow = o.streamAllow;
    plan.settings.helloTo = o.helloTo;
    plan.settings.helloPort = static_cast<quint16>(o.helloPort);
    plan.settings.xemr = o.xemr;
    plan.settings.zdiap = o.zdiap;
    plan.settings.noise = o.noise;
    plan.settings.stepdirForward = o.stepdirForward;
    plan.paramsPath = o.paramsPath;
    plan.paramsSavePath = o.paramsSavePath;
    plan.profilePath = o.profilePath;
    plan.replayPath = o.replayPath;
    plan.scenePath = o.scenePath;
    plan.tcpPort = o.tcpPort;
    plan.udpPort = o.udpPort;
    plan.frequency = o.frequency;
    plan.serial = o.serial;
    plan.xsmr = o.xsmr;
    plan.zbase = o.zbase;
    return plan;
}

// Scanner k's own parameter file beside the first one: name-k.ini.
QString paramsPathOf(const QString& first, int k) {
    const QFileInfo info(first);
    return info.path() + QStringLiteral("/%1-%2.%3").arg(info.completeBaseName()).arg(k).arg(info.suffix());
}

// Scanner k > 1 reads the file its last flush wrote, else the one beside the
// first scanner's default; the first scanner keeps the first scanner's files.
void useParamsFilesOf(ScannerPlan& plan, const HeadlessOptions& o, int k) {
    if (k == 1)
        return;
    plan.paramsSavePath = paramsPathOf(o.paramsSavePath, k);
    plan.paramsPath =
        QFileInfo::exists(plan.paramsSavePath) ? plan.paramsSavePath : paramsPathOf(o.paramsPath, k);
}

std::vector<ScannerPlan> scannersOnLoopback(const HeadlessOptions& o) {
    std::vector<ScannerPlan> plans;
    for (int k = 1; k <= o.scanners; ++k) {
        ScannerPlan plan = planFromOptions(o);
        plan.name = QStringLiteral("scanner %1").arg(k);
        plan.settings.localAddress = QStringLiteral("127.0.0.%1").arg(k);
        plan.settings.sendFromLocalAddress = true;
        plan.settings.macOffset = k - 1;
        plan.serialOffset = k - 1;
        useParamsFilesOf(plan, o, k);
        plans.push_back(plan);
    }
    return plans;
}

// Text from the file as it may be shown: control characters and bytes that
// are no text escaped, and cut at a length a message can carry.
QString shown(const QString& text) {
    constexpr int kMaxShown = 64;
    QString out;
    for (const QChar c : text.left(kMaxShown)) {
        if (c.isPrint())
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return text.size() > kMaxShown ? out + QStringLiteral("...") : out;
}

struct RigKey {
    const char* name;
    int min;
    int max;
};

class RigGroupReader {
public:
    RigGroupReader(const QSettings& file, const QString& group) : file_(file), group_(group) {}

    std::optional<int> number(const RigKey& key) {
        const QVariant value = file_.value(group_ + '/' + QLatin1String(key.name));
        if (!value.isValid())
            return std::nullopt;
        bool ok = false;
        const int n = value.toString().toInt(&ok);
        if (!ok || n < key.min || n > key.max) {
            fail(key.name, QStringLiteral("takes a number from %1 to %2, not \"%3\"")
                               .arg(key.min)
                               .arg(key.max)
                               .arg(shown(value.toString())));
            return std::nullopt;
        }
        return n;
    }

    QString text(const char* key) const { return file_.value(group_ + '/' + QLatin1String(key)).toString(); }

    // `into` keeps its value without the key.
    template <typename Value>
    void parsed(const char* key, Outcome<Value> (*parse)(const QString&), Value& into) {
        if (!file_.contains(group_ + '/' + QLatin1String(key)))
            return;
        const Outcome<Value> value = parse(text(key));
        if (value.ok())
            into = *value;
        else
            fail(key, shown(value.failure().message));
    }

    // A misspelt key would otherwise be a setting silently left out.
    void refuseUnknownKeys() {
        static const QStringList kKnown{QStringLiteral("address"),   QStringLiteral("serial"),
                                        QStringLiteral("tcp_port"),  QStringLiteral("udp_port"),
                                        QStringLiteral("frequency"), QStringLiteral("profile"),
                                        QStringLiteral("replay"),    QStringLiteral("scene"),
                                        QStringLiteral("xemr"),      QStringLiteral("zdiap"),
                                        QStringLiteral("stream_to"), QStringLiteral("hello_to")};
        const QString prefix = group_ + '/';
        for (const QString& key : file_.allKeys()) {
            const QString name = key.mid(prefix.size());
            if (key.startsWith(prefix) && !name.contains(QLatin1Char('/')) && !kKnown.contains(name))
                fail(name, QStringLiteral("is not a known key (known: %1)").arg(kKnown.join(QStringLiteral(", "))));
        }
    }
    // A file named relative to the rig file; `path` stays as it is without the key.
    void path(const char* key, QString& path) const {
        const QString name = text(key);
        if (!name.isEmpty())
            path = QFileInfo(file_.fileName()).dir().filePath(name);
    }

    void fail(const QString& key, const QString& why) {
        if (!failure_)
            failure_ = inputFailure(QStringLiteral("scanner [%1] key %2: %3").arg(shown(group_), shown(key), why));
    }
    const MaybeFailure& failure() const { return failure_; }

private:
    const QSettings& file_;
    QString group_;
    MaybeFailure failure_;  // the first
};

Outcome<ScannerPlan> planFromGroup(const QSettings& file, const QString& group, const HeadlessOptions& o, int k) {
    ScannerPlan plan = planFromOptions(o);
    plan.name = QStringLiteral("scanner [%1]").arg(shown(group));
    useParamsFilesOf(plan, o, k);
    RigGroupReader read(file, group);
    const QString address = read.text("address");
    QHostAddress parsed;
    if (!parsed.setAddress(address) || parsed.protocol() != QAbstractSocket::IPv4Protocol)
        read.fail("address", QStringLiteral("needs an IPv4 address, not \"%1\"").arg(shown(address)));
    // As the control socket's --scanner and the messages write it: 127.1 is 127.0.0.1.
    plan.settings.localAddress = parsed.toString();
    plan.settings.sendFromLocalAddress = true;
    plan.settings.macOffset = k - 1;
    // The command line's ports and rate are the defaults of a group that gives none.
    for (const auto& [key, value] : {std::pair{RigKey{"tcp_port", 1, 65535}, &plan.tcpPort},
                                     std::pair{RigKey{"udp_port", 1, 65535}, &plan.udpPort},
                                     std::pair{RigKey{"frequency", 1, 491}, &plan.frequency}})
        if (const std::optional<int> given = read.number(key))
            *value = given;
    plan.settings.xemr = read.number({"xemr", 1, 1000}).value_or(plan.settings.xemr);
    plan.settings.zdiap = read.number({"zdiap", 1, 1000}).value_or(plan.settings.zdiap);
    if (const std::optional<int> serial = read.number({"serial", kSerialRange.min, kSerialRange.max}))
        plan.serial = serial;
    read.path("profile", plan.profilePath);
    read.path("replay", plan.replayPath);
    read.path("scene", plan.scenePath);
    if (!plan.replayPath.isEmpty() && !plan.scenePath.isEmpty())
        read.fail("scene", QStringLiteral("a scanner plays a replay or a scene, not both"));
    read.parsed("stream_to", parseStreamTarget, plan.settings.streamTo);
    read.parsed("hello_to", parseHelloTarget, plan.settings.helloTo);
    read.refuseUnknownKeys();
    if (read.failure())
        return *read.failure();
    return plan;
}

// The groups as the file names them: QSettings merges a group given twice
// and takes [a/b] for a group b inside a.
QStringList groupsOf(const QString& path) {
    QFile file(path);
    QStringList groups;
    if (!file.open(QIODevice::ReadOnly))
        return groups;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const int end = line.indexOf(QLatin1Char(']'));
        if (line.startsWith(QLatin1Char('[')) && end > 0)
            groups << line.mid(1, end - 1);
    }
    return groups;
}

Outcome<std::vector<ScannerPlan>> scannersOfRigFile(const HeadlessOptions& o) {
    if (!QFileInfo(o.rigPath).isFile())
        return refusedFailure(QStringLiteral("no rig file %1").arg(o.rigPath));
    const QSettings file(o.rigPath, QSettings::IniFormat);
    QStringList groups = groupsOf(o.rigPath);
    groups.sort();  // the order QSettings keeps them in, which gives scanner k its parameter file
    if (groups.isEmpty())
        return inputFailure(QStringLiteral("rig file %1 names no scanner").arg(o.rigPath));
    for (int i = 1; i < groups.size(); ++i)
        if (groups[i] == groups[i - 1])
            return inputFailure(QStringLiteral("rig file %1 names scanner [%2] twice").arg(o.rigPath, shown(groups[i])));
    std::vector<ScannerPlan> plans;
    for (const QString& group : groups) {
        const Outcome<ScannerPlan> plan = planFromGroup(file, group, o, int(plans.size()) + 1);
        if (!plan.ok())
            return plan.failure();
        plans.push_back(*plan);
    }
    return plans;
}

}  // namespace

Outcome<std::vector<ScannerPlan>> planRig(const HeadlessOptions& options) {
    if (!options.rigPath.isEmpty())
        return scannersOfRigFile(options);
    if (options.scanners > 1)
        return scannersOnLoopback(options);
    return std::vector<ScannerPlan>{planFromOptions(options)};
}
