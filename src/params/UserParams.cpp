#include "params/UserParams.h"

#include <QStringList>
#include <cstring>

QString ipv4FieldToText(const uint8_t field[4]) {
    return QStringLiteral("%1.%2.%3.%4").arg(field[3]).arg(field[2]).arg(field[1]).arg(field[0]);
}

void ipv4TextToField(const QString& text, uint8_t field[4]) {
    const QStringList parts = text.split(QLatin1Char('.'));
    for (int i = 0; i < 4; ++i) {
        const int value = i < parts.size() ? parts[i].toInt() : 0;  // toInt gives 0 for non-numbers
        field[3 - i] = static_cast<uint8_t>(value & 0xFF);
    }
}

uint32_t ipv4FieldToNumber(const uint8_t field[4]) {
    return uint32_t(field[0]) | uint32_t(field[1]) << 8 | uint32_t(field[2]) << 16 | uint32_t(field[3]) << 24;
}

UserParamsStore::UserParamsStore() { std::memset(&params_, 0, sizeof params_); }

USER_PARAMS UserParamsStore::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return params_;
}

void UserParamsStore::replace(const USER_PARAMS& params) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        params_ = params;
    }
    watchers_.notify();
}
