#include "params/UserParamsIni.h"

#include "params/UserParamsFields.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>

namespace {

const QString kGroup = QStringLiteral("UserParams");
const QString kSerialKey = QStringLiteral("serial");
const QString kXsmrKey = QStringLiteral("xsmr");
const QString kZbaseKey = QStringLiteral("zbase");

// A missing key or a value that is not a decimal integer reads as 0.
long long numberOrZero(const QVariant& value) {
    bool ok = false;
    const long long number = value.toLongLong(&ok);
    return ok ? number : 0;
}

int clampedNumber(const QSettings& settings, const QString& key, SpinRange range) {
    return range.clamp(numberOrZero(settings.value(key)));
}

// The keys are the field names; the table's order is the order of load and save.
void loadField(const QSettings& settings, const UserParamsField& field, USER_PARAMS& params) {
    const QVariant value = settings.value(QLatin1String(field.name));
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

}  // namespace

UserParamsIniLoad loadUserParamsIni(const QString& path, USER_PARAMS& params) {
    UserParamsIniLoad result;
    if (!QFileInfo(path).isFile())
        result.warnings << QStringLiteral("no parameter file %1: parameters are 0").arg(path);

    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        result.warnings << QStringLiteral("cannot read %1: %2").arg(path, statusText(settings.status()));

    settings.beginGroup(kGroup);
    for (const UserParamsField& field : kUserParamsFields) loadField(settings, field, params);
    result.extras.serial = clampedNumber(settings, kSerialKey, kSerialRange);
    result.extras.xsmr = clampedNumber(settings, kXsmrKey, kXsmrRange);
    result.extras.zbase = clampedNumber(settings, kZbaseKey, kZbaseRange);
    settings.endGroup();

    if (params.interpolation_u8 >= kPointCountChoices) {
        result.warnings << QStringLiteral("interpolation_u8 %1 is no point-count entry, using %2")
                               .arg(params.interpolation_u8)
                               .arg(kDefaultPointCountIndex);
        params.interpolation_u8 = kDefaultPointCountIndex;
    }
    return result;
}

bool saveUserParamsIni(const QString& path, const USER_PARAMS& params, const PanelExtras& extras, QString* error) {
    // QSettings writes a temporary file and renames it over the old one, so a
    // crash mid-write never leaves half a file.
    QDir().mkpath(QFileInfo(path).absolutePath());  // the configuration folder may be new
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(kGroup);
    for (const UserParamsField& field : kUserParamsFields) settings.setValue(QLatin1String(field.name), fieldValueText(params, field));
    settings.setValue(kSerialKey, QString::number(extras.serial));
    settings.setValue(kXsmrKey, extras.xsmr);
    settings.setValue(kZbaseKey, extras.zbase);
    settings.endGroup();
    settings.sync();

    if (settings.status() == QSettings::NoError) return true;
    if (error) *error = QStringLiteral("cannot write %1: %2").arg(path, statusText(settings.status()));
    return false;
}
