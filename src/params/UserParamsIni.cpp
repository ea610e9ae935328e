#include "params/UserParamsIni.h"

#include "files/OutputFile.h"
#include "params/UserParamsFields.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>
#include <map>
#include <optional>

namespace {

const QString kGroup = QStringLiteral("UserParams");
const QString kSerialKey = QStringLiteral("serial");
const QString kXsmrKey = QStringLiteral("xsmr");
const QString kZbaseKey = QStringLiteral("zbase");
// The store reads the whole file into memory: a file far beyond any this
// program writes is not read.
constexpr qint64 kMaxFileBytes = 1 << 20;

// A missing key or a value that is not a decimal integer reads as 0.
long long numberOrZero(const QVariant& value) {
    bool ok = false;
    const long long number = value.toLongLong(&ok);
    return ok ? number : 0;
}

// A key of the group, or nothing when the file is not read.
QVariant valueOf(const std::optional<QSettings>& settings, const QString& key) {
    return settings ? settings->value(key) : QVariant();
}

int clampedNumber(const std::optional<QSettings>& settings, const QString& key, SpinRange range) {
    return range.clamp(numberOrZero(valueOf(settings, key)));
}

// The keys are the field names; the table's order is the order of load and save.
void loadField(const std::optional<QSettings>& settings, const UserParamsField& field, USER_PARAMS& params) {
    const QVariant value = valueOf(settings, QLatin1String(field.name));
    if (field.kind == FieldKind::Address)
        ipv4TextToField(value.toString(), fieldBytes(params, field));
    else
        writeFieldInteger(params, field, numberOrZero(value));
}

QString statusText(QSettings::Status status) {
    switch (status) {
    case QSettings::NoError: return QStringLiteral("no error");
    case QSettings::AccessError: return QStringLiteral("access denied or disk full");
    case QSettings::FormatError: return QStringLiteral("format error");
    }
    return QStringLiteral("unknown error");
}

// Why the file is not read, or an empty text. A FIFO would hold start-up.
QString unreadableReason(const QFileInfo& file) {
    if (!file.exists())
        return QStringLiteral("no parameter file %1: parameters are 0").arg(file.filePath());
    if (!file.isFile())
        return QStringLiteral("parameter file %1 is not a regular file: parameters are 0").arg(file.filePath());
    if (file.size() > kMaxFileBytes)
        return QStringLiteral("parameter file %1 has %2 bytes, more than %3: not read, parameters are 0")
            .arg(file.filePath())
            .arg(file.size())
            .arg(kMaxFileBytes);
    return QString();
}

// Port 0 is legal in the file but rarely meant: say what it does.
void explainZeroPorts(const USER_PARAMS& params, QStringList& warnings) {
    if (params.tcp_port_u16 == 0)
        warnings << QStringLiteral("tcp_port_u16 is 0: the command server listens on a port the system picks");
    if (params.udp_port_u16 == 0)
        warnings << QStringLiteral("udp_port_u16 is 0: no client can receive the profile stream");
}

// The file as QSettings wrote it before: the group, then its keys in sorted
// order. The old file is not read: it may be of any size.
QByteArray iniText(const USER_PARAMS& params, const PanelExtras& extras) {
    std::map<QString, QString> values;
    for (const UserParamsField& field : kUserParamsFields)
        values[QLatin1String(field.name)] = fieldValueText(params, field);
    values[kSerialKey] = QString::number(extras.serial);
    values[kXsmrKey] = QString::number(extras.xsmr);
    values[kZbaseKey] = QString::number(extras.zbase);
    QByteArray text = '[' + kGroup.toLatin1() + "]\n";
    for (const auto& [key, value] : values)
        text += key.toLatin1() + '=' + value.toLatin1() + '\n';
    return text;
}

}  // namespace

UserParamsIniLoad loadUserParamsIni(const QString& path, USER_PARAMS& params) {
    UserParamsIniLoad result;
    std::optional<QSettings> settings;
    const QString reason = unreadableReason(QFileInfo(path));
    if (reason.isEmpty())
        settings.emplace(path, QSettings::IniFormat);
    else
        result.warnings << reason;
    if (settings && settings->status() != QSettings::NoError)
        result.warnings << QStringLiteral("cannot read %1: %2").arg(path, statusText(settings->status()));

    if (settings)
        settings->beginGroup(kGroup);
    for (const UserParamsField& field : kUserParamsFields) loadField(settings, field, params);
    result.extras.serial = clampedNumber(settings, kSerialKey, kSerialRange);
    result.extras.xsmr = clampedNumber(settings, kXsmrKey, kXsmrRange);
    result.extras.zbase = clampedNumber(settings, kZbaseKey, kZbaseRange);
    if (settings)
        explainZeroPorts(params, result.warnings);

    if (params.interpolation_u8 >= kPointCountChoices) {
        result.warnings << QStringLiteral("interpolation_u8 %1 is no point-count entry, using %2")
                               .arg(params.interpolation_u8)
                               .arg(kDefaultPointCountIndex);
        params.interpolation_u8 = kDefaultPointCountIndex;
    }
    return result;
}

MaybeFailure saveUserParamsIni(const QString& path, const USER_PARAMS& params, const PanelExtras& extras) {
    QDir().mkpath(QFileInfo(path).absolutePath());  // the configuration folder may be new
    return writeWholeFile(path, iniText(params, extras));
}
