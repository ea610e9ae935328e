#include "params/UserParamsFields.h"

#include <QStringList>
#include <algorithm>

namespace {

uint32_t largestValue(const UserParamsField& field) { return field.width == 1 ? 0xFFu : 0xFFFFu; }

bool parseUnsigned(const QString& text, uint32_t max, uint32_t& value) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    const bool hex = trimmed.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const QString digits = hex ? trimmed.mid(2) : trimmed;
    // toULongLong takes a sign; a value of the record never has one.
    if (digits.startsWith('+') || digits.startsWith('-'))
        return false;
    const qulonglong number = digits.toULongLong(&ok, hex ? 16 : 10);
    if (!ok || number > max)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

bool isDottedAddress(const QString& text) {
    const QStringList parts = text.trimmed().split('.');
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        const bool digitsOnly =
            !part.isEmpty() && std::all_of(part.begin(), part.end(), [](QChar c) { return c >= '0' && c <= '9'; });
        if (!digitsOnly || part.size() > 3 || part.toUInt() > 255)
            return false;
    }
    return true;
}

}  // namespace

const UserParamsField* findUserParamsField(const QString& name) {
    for (const UserParamsField& field : kUserParamsFields)
        if (name == QLatin1String(field.name))
            return &field;
    return nullptr;
}

uint8_t* fieldBytes(USER_PARAMS& params, const UserParamsField& field) {
    return reinterpret_cast<uint8_t*>(&params) + field.offset;
}

const uint8_t* fieldBytes(const USER_PARAMS& params, const UserParamsField& field) {
    return reinterpret_cast<const uint8_t*>(&params) + field.offset;
}

uint32_t readFieldInteger(const USER_PARAMS& params, const UserParamsField& field) {
    const uint8_t* bytes = fieldBytes(params, field);
    uint32_t value = 0;
    for (std::size_t i = 0; i < field.width; ++i)
        value |= uint32_t(bytes[i]) << (8 * i);
    return value;
}

void writeFieldInteger(USER_PARAMS& params, const UserParamsField& field, long long value) {
    uint8_t* bytes = fieldBytes(params, field);
    for (std::size_t i = 0; i < field.width; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

QString fieldValueText(const USER_PARAMS& params, const UserParamsField& field) {
    if (field.kind == FieldKind::Address)
        return ipv4FieldToText(fieldBytes(params, field));
    return QString::number(readFieldInteger(params, field));
}

MaybeFailure setFieldFromText(USER_PARAMS& params, const UserParamsField& field, const QString& text) {
    if (field.kind == FieldKind::Address) {
        if (!isDottedAddress(text))
            return inputFailure(QStringLiteral("%1 takes an IPv4 address such as 192.168.0.10, not \"%2\"")
                                    .arg(QLatin1String(field.name), text));
        ipv4TextToField(text.trimmed(), fieldBytes(params, field));
        return std::nullopt;
    }
    uint32_t value = 0;
    if (!parseUnsigned(text, largestValue(field), value))
        return inputFailure(QStringLiteral("%1 takes a whole number from 0 to %2, not \"%3\"")
                                .arg(QLatin1String(field.name))
                                .arg(largestValue(field))
                                .arg(text));
    writeFieldInteger(params, field, value);
    return std::nullopt;
}
