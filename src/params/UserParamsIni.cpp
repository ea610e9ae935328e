#include "params/UserParamsIni.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>
#include <cstddef>

namespace {

const QString kGroup = QStringLiteral("UserParams");
const QString kSerialKey = QStringLiteral("serial");
const QString kXsmrKey = QStringLiteral("xsmr");
const QString kZbaseKey = QStringLiteral("zbase");

enum class IniKind { Integer, Address };

// One key of the file and the record bytes it stands for.
struct IniField {
    const char* key;
    std::size_t offset;
    std::size_t width;
    IniKind kind;
};

// The keys are the field names; their order is the order of load and save.
#define PX310_INI_FIELD(name, kind) IniField{#name, offsetof(USER_PARAMS, name), sizeof(USER_PARAMS::name), kind}
#define PX310_INI_INT(name) PX310_INI_FIELD(name, IniKind::Integer)
#define PX310_INI_ADDRESS(name) PX310_INI_FIELD(name, IniKind::Address)
constexpr IniField kIniFields[] = {
    PX310_INI_INT(config_version_u16),
    PX310_INI_INT(laser_level_u8),
    PX310_INI_INT(exposure_time_u16),
    PX310_INI_INT(wnd_top_u8),
    PX310_INI_INT(wnd_height_u8),
    PX310_INI_INT(ext_sync_signal_u16),
    PX310_INI_INT(ext_sync_divider_u16),
    PX310_INI_ADDRESS(tcp_ip_address_u8),
    PX310_INI_ADDRESS(tcp_subnet_mask_u8),
    PX310_INI_ADDRESS(udp_ip_address_u8),
    PX310_INI_INT(udp_port_u16),
    PX310_INI_INT(udp_frequency_u16),
    PX310_INI_INT(tcp_port_u16),
    PX310_INI_INT(auto_exposure_u8),
    PX310_INI_INT(pixel_brightness_thres_u8),
    PX310_INI_INT(dif_brightness_thres_u8),
    PX310_INI_INT(raw_image_u8),
    PX310_INI_INT(interpolation_u8),
    PX310_INI_INT(dhs_enable_u8),
    PX310_INI_INT(analog_enable_u8),
    PX310_INI_INT(syncChannels),
    PX310_INI_INT(measureSync),
    PX310_INI_INT(delaySync),
    PX310_INI_INT(divSync),
    PX310_INI_INT(keepTCPTime),
    PX310_INI_INT(keepTCP),
    PX310_INI_INT(filter),
    PX310_INI_INT(smooth),
    PX310_INI_INT(filterParam),
    PX310_INI_INT(smoothParam),
    PX310_INI_INT(ap),
    PX310_INI_INT(ah),
    PX310_INI_INT(wUDP),
    PX310_INI_INT(wAVE),
    PX310_INI_INT(dropCountersExt),
    PX310_INI_INT(dropCountersInt),
    PX310_INI_INT(invertXZ),
    PX310_INI_INT(localSAPEnabled),
    PX310_INI_INT(SDMode),
    PX310_INI_INT(SDStepMode),
    PX310_INI_INT(SDChannels),
};
#undef PX310_INI_ADDRESS
#undef PX310_INI_INT
#undef PX310_INI_FIELD

// The table must name every field before the reserved bytes, in record order,
// with widths that fit its kinds: a field added to the record and forgotten
// here stops the build.
constexpr bool tableCoversNamedFieldsInOrder() {
    std::size_t next = 0;
    for (const IniField& field : kIniFields) {
        const bool widthFits =
            field.kind == IniKind::Address ? field.width == 4 : (field.width == 1 || field.width == 2);
        if (field.offset != next || !widthFits) return false;
        next += field.width;
    }
    return next == offsetof(USER_PARAMS, reserved);
}
static_assert(tableCoversNamedFieldsInOrder(), "the INI table must match the record's named fields");

uint8_t* fieldBytes(USER_PARAMS& params, const IniField& field) {
    return reinterpret_cast<uint8_t*>(&params) + field.offset;
}

const uint8_t* fieldBytes(const USER_PARAMS& params, const IniField& field) {
    return reinterpret_cast<const uint8_t*>(&params) + field.offset;
}

// Little-endian, byte by byte: the record's fields may sit at odd offsets.
uint32_t readInteger(const uint8_t* bytes, std::size_t width) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= uint32_t(bytes[i]) << (8 * i);
    return value;
}

// Keeps the low `width` bytes of `value`.
void writeInteger(uint8_t* bytes, std::size_t width, long long value) {
    for (std::size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A missing key or a value that is not a decimal integer reads as 0.
long long numberOrZero(const QVariant& value) {
    bool ok = false;
    const long long number = value.toLongLong(&ok);
    return ok ? number : 0;
}

int clampedNumber(const QSettings& settings, const QString& key, SpinRange range) {
    return range.clamp(numberOrZero(settings.value(key)));
}

void loadField(const QSettings& settings, const IniField& field, USER_PARAMS& params) {
    const QVariant value = settings.value(QLatin1String(field.key));
    if (field.kind == IniKind::Address)
        ipv4TextToField(value.toString(), fieldBytes(params, field));
    else
        writeInteger(fieldBytes(params, field), field.width, numberOrZero(value));
}

QVariant savedValue(const USER_PARAMS& params, const IniField& field) {
    if (field.kind == IniKind::Address) return ipv4FieldToText(fieldBytes(params, field));
    return readInteger(fieldBytes(params, field), field.width);
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

QString userParamsIniPath() { return QCoreApplication::applicationDirPath() + QStringLiteral("/user_params.ini"); }

UserParamsIniLoad loadUserParamsIni(const QString& path, USER_PARAMS& params) {
    UserParamsIniLoad result;
    if (!QFileInfo(path).isFile())
        result.warnings << QStringLiteral("no parameter file %1: parameters are 0").arg(path);

    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        result.warnings << QStringLiteral("cannot read %1: %2").arg(path, statusText(settings.status()));

    settings.beginGroup(kGroup);
    for (const IniField& field : kIniFields) loadField(settings, field, params);
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
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(kGroup);
    for (const IniField& field : kIniFields) settings.setValue(QLatin1String(field.key), savedValue(params, field));
    settings.setValue(kSerialKey, QString::number(extras.serial));
    settings.setValue(kXsmrKey, extras.xsmr);
    settings.setValue(kZbaseKey, extras.zbase);
    settings.endGroup();
    settings.sync();

    if (settings.status() == QSettings::NoError) return true;
    if (error) *error = QStringLiteral("cannot write %1: %2").arg(path, statusText(settings.status()));
    return false;
}
