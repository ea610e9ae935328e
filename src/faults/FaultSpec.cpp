#include "faults/FaultSpec.h"

#include <QStringList>
#include <tuple>

namespace {

enum class Kind { Percentage, Duration, Count, Switch };

struct Key {
    const char* name;
    Kind kind;
    uint32_t FaultSpec::*field;  // unused by the switch
    uint32_t min, max;           // counts only
    const char* help;
};

constexpr uint32_t kMaxCount = 1000000000;
// A longer mean burst would in practice never end.
constexpr uint32_t kMaxBurst = 1000;

// Also the order of the canonical text.
const Key kKeys[] = {
    {"loss", Kind::Percentage, &FaultSpec::lossPpm, 0, 0, "a stream datagram starts a loss"},
    {"burst", Kind::Count, &FaultSpec::burst, 1, kMaxBurst, "mean length of a loss (default 1: independent losses)"},
    {"dup", Kind::Percentage, &FaultSpec::duplicatePpm, 0, 0, "a datagram is sent twice"},
    {"reorder", Kind::Percentage, &FaultSpec::reorderPpm, 0, 0, "a datagram is held back and sent after the next one"},
    {"corrupt", Kind::Percentage, &FaultSpec::corruptPpm, 0, 0, "a datagram has one byte changed: its checksum fails"},
    {"delay", Kind::Duration, &FaultSpec::delayMs, 0, 0, "every datagram leaves D later"},
    {"jitter", Kind::Duration, &FaultSpec::jitterMs, 0, 0, "the delay varies within \u00b1 D, never reordering"},
    {"reply-delay", Kind::Duration, &FaultSpec::replyDelayMs, 0, 0, "every command reply is written D late"},
    {"drop-after", Kind::Count, &FaultSpec::dropAfter, 1, kMaxCount, "a connection is closed after its N-th request"},
    {"cut", Kind::Percentage, &FaultSpec::cutPpm, 0, 0, "a reply is cut short, then the connection closes"},
    {"stall", Kind::Count, &FaultSpec::stallAfter, 0, kMaxCount, "after N requests a connection is read no more"},
    {"hello", Kind::Switch, nullptr, 0, 0, "no hello announcements"},
};

// What a key's value is written as in the help.
QLatin1String valueSymbol(Kind kind) {
    switch (kind) {
    case Kind::Percentage:
        return QLatin1String("P");
    case Kind::Duration:
        return QLatin1String("D");
    case Kind::Count:
        return QLatin1String("N");
    case Kind::Switch:
        break;
    }
    return QLatin1String("off");
}

constexpr uint32_t kMaxDurationMs = 60000;
constexpr uint32_t kMillion = 1000000;
constexpr int kPercentDecimals = 4;

// Whole decimal number of at most 10 digits; false on anything else.
bool parseDigits(QStringView text, uint64_t& value) {
    if (text.isEmpty() || text.size() > 10)
        return false;
    value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + uint64_t(c.unicode() - '0');
    }
    return true;
}

bool parsePercentage(QStringView text, uint32_t& ppm) {
    if (!text.endsWith(QLatin1Char('%')))
        return false;
    text.chop(1);
    const int dot = text.indexOf(QLatin1Char('.'));
    QStringView whole = dot < 0 ? text : text.left(dot);
    QStringView decimals = dot < 0 ? QStringView() : text.mid(dot + 1);
    uint64_t units = 0, fraction = 0;
    if (!parseDigits(whole, units) || (dot >= 0 && (decimals.size() > kPercentDecimals || !parseDigits(decimals, fraction))))
        return false;
    for (int i = int(decimals.size()); i < kPercentDecimals; ++i)
        fraction *= 10;
    const uint64_t value = units * FaultSpec::kPpmPerCent + fraction;
    if (value > kMillion)
        return false;
    ppm = uint32_t(value);
    return true;
}

bool parseDuration(QStringView text, uint32_t& ms) {
    uint64_t value = 0, scale = 1;
    if (text.endsWith(QLatin1String("ms")))
        text.chop(2);
    else if (text.endsWith(QLatin1Char('s')))
        text.chop(1), scale = 1000;
    else
        return false;
    if (!parseDigits(text, value) || value * scale > kMaxDurationMs)
        return false;
    ms = uint32_t(value * scale);
    return true;
}

QString describe(const Key& key) {
    switch (key.kind) {
    case Kind::Percentage: return QStringLiteral("a percentage from 0% to 100% with up to 4 decimals, such as 0.5%");
    case Kind::Duration: return QStringLiteral("a duration in ms or s up to 60 s, such as 50ms");
    case Kind::Count: return QStringLiteral("a whole number from %1 to %2").arg(key.min).arg(key.max);
    case Kind::Switch: return QStringLiteral("on or off");
    }
    return {};
}

FaultSpecError errorOf(Kind kind) {
    switch (kind) {
    case Kind::Percentage: return FaultSpecError::BadPercentage;
    case Kind::Duration: return FaultSpecError::BadDuration;
    case Kind::Count: return FaultSpecError::BadCount;
    case Kind::Switch: return FaultSpecError::BadSwitch;
    }
    return FaultSpecError::None;
}

bool parseValue(const Key& key, QStringView value, FaultSpec& spec) {
    uint32_t number = 0;
    switch (key.kind) {
    case Kind::Percentage:
        if (!parsePercentage(value, number))
            return false;
        break;
    case Kind::Duration:
        if (!parseDuration(value, number))
            return false;
        break;
    case Kind::Count: {
        uint64_t count = 0;
        if (!parseDigits(value, count) || count < key.min || count > key.max)
            return false;
        number = uint32_t(count);
        break;
    }
    case Kind::Switch:
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return false;
        spec.helloOff = value == QLatin1String("off");
        return true;
    }
    spec.*key.field = number;
    return true;
}

FaultSpecParse refuse(FaultSpecError error, const QString& message) {
    FaultSpecParse result;
    result.failure = {error, message};
    return result;
}

const Key* findKey(QStringView name) {
    for (const Key& key : kKeys)
        if (name == QLatin1String(key.name))
            return &key;
    return nullptr;
}

QString knownKeys() {
    QStringList names;
    for (const Key& key : kKeys)
        names << QLatin1String(key.name);
    return names.join(QStringLiteral(", "));
}

FaultSpecParse checkTogether(const FaultSpec& spec) {
    const uint64_t chances = uint64_t(spec.lossPpm) + spec.duplicatePpm + spec.reorderPpm + spec.corruptPpm;
    if (chances > kMillion)
        return refuse(FaultSpecError::Inconsistent,
                      QStringLiteral("loss, dup, reorder and corrupt add up to more than 100%"));
    if (spec.burst > 1 && spec.lossPpm == 0)
        return refuse(FaultSpecError::Inconsistent, QStringLiteral("\"burst=%1\" needs a loss above 0%").arg(spec.burst));
    FaultSpecParse result;
    result.spec = spec;
    return result;
}

QString formatPercentage(uint32_t ppm) {
    QString text = QString::number(ppm / FaultSpec::kPpmPerCent);
    if (const uint32_t fraction = ppm % FaultSpec::kPpmPerCent) {
        QString decimals = QStringLiteral("%1").arg(fraction, kPercentDecimals, 10, QLatin1Char('0'));
        while (decimals.endsWith(QLatin1Char('0')))
            decimals.chop(1);
        text += QLatin1Char('.') + decimals;
    }
    return text + QLatin1Char('%');
}

QString formatValue(const Key& key, const FaultSpec& spec) {
    const uint32_t value = key.field ? spec.*key.field : 0;
    switch (key.kind) {
    case Kind::Percentage: return formatPercentage(value);
    case Kind::Duration: return QString::number(value) + QStringLiteral("ms");
    case Kind::Count: return QString::number(value);
    case Kind::Switch: return spec.helloOff ? QStringLiteral("off") : QStringLiteral("on");
    }
    return {};
}

}  // namespace

bool FaultSpec::operator==(const FaultSpec& o) const {
    const auto tie = [](const FaultSpec& s) {
        return std::tie(s.lossPpm, s.burst, s.duplicatePpm, s.reorderPpm, s.corruptPpm, s.delayMs, s.jitterMs,
                        s.replyDelayMs, s.dropAfter, s.cutPpm, s.stallAfter, s.helloOff);
    };
    return tie(*this) == tie(o);
}

FaultSpecParse parseFaultSpec(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return refuse(FaultSpecError::Empty, QStringLiteral("the fault list is empty (\"none\" sets no faults)"));
    FaultSpec spec;
    if (trimmed == QLatin1String("none"))
        return checkTogether(spec);
    bool seen[std::size(kKeys)] = {};
    for (const QStringView rawItem : QStringView(trimmed).split(QLatin1Char(','))) {
        const QStringView item = rawItem.trimmed();
        const int equals = item.indexOf(QLatin1Char('='));
        const QStringView name = (equals < 0 ? item : item.left(equals)).trimmed();
        const Key* key = findKey(name);
        if (!key)
            return refuse(FaultSpecError::UnknownKey, QStringLiteral("\"%1\": unknown fault (known: %2)")
                                                          .arg(item.toString(), knownKeys()));
        const QStringView value = equals < 0 ? QStringView() : item.mid(equals + 1).trimmed();
        if (value.isEmpty())
            return refuse(FaultSpecError::MissingValue,
                          QStringLiteral("\"%1\": %2 needs a value, %3").arg(item.toString(), name.toString(),
                                                                            describe(*key)));
        bool& given = seen[key - kKeys];
        if (given)
            return refuse(FaultSpecError::Repeated, QStringLiteral("\"%1\": %2 is given twice")
                                                        .arg(item.toString(), name.toString()));
        given = true;
        if (!parseValue(*key, value, spec))
            return refuse(errorOf(key->kind), QStringLiteral("\"%1\": %2 takes %3")
                                                  .arg(item.toString(), name.toString(), describe(*key)));
    }
    return checkTogether(spec);
}

QString formatFaultSpec(const FaultSpec& spec) {
    const FaultSpec defaults;
    QStringList items;
    for (const Key& key : kKeys) {
        const bool isDefault = key.field ? spec.*key.field == defaults.*key.field : spec.helloOff == defaults.helloOff;
        if (!isDefault)
            items << QStringLiteral("%1=%2").arg(QLatin1String(key.name), formatValue(key, spec));
    }
    return items.isEmpty() ? QStringLiteral("none") : items.join(QLatin1Char(','));
}

std::vector<FaultKeyHelp> faultKeyHelp() {
    std::vector<FaultKeyHelp> help;
    for (const Key& key : kKeys)
        help.push_back(
            {QLatin1String(key.name) + QLatin1Char('=') + valueSymbol(key.kind), QString::fromUtf8(key.help)});
    return help;
}
