#include "control/ControlCommand.h"

#include <QHostAddress>
#include <utility>

namespace {

ControlParse refuse(ControlError error, const QString& message) {
    ControlParse result;
    result.failure = {error, message};
    return result;
}

// Splits the first word off `rest`.
QString takeWord(QString& rest) {
    const int space = rest.indexOf(QLatin1Char(' '));
    const QString word = space < 0 ? rest : rest.left(space);
    rest = space < 0 ? QString() : rest.mid(space + 1).trimmed();
    return word;
}

// "ADDR" or "ADDR:PORT" written the one way scanners are named: 127.1 is 127.0.0.1.
// Empty when it names no scanner.
QString canonicalScanner(const QString& text) {
    const int colon = text.indexOf(QLatin1Char(':'));
    QHostAddress address;
    if (!address.setAddress(colon < 0 ? text : text.left(colon)) ||
        address.protocol() != QAbstractSocket::IPv4Protocol)
        return QString();
    if (colon < 0)
        return address.toString();
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    return ok && port >= 1 && port <= 65535 ? QStringLiteral("%1:%2").arg(address.toString()).arg(port) : QString();
}

bool parseSeconds(const QString& text, std::chrono::milliseconds& value) {
    constexpr long long kMaxMs = 3600 * 1000;
    const int dot = text.indexOf(QLatin1Char('.'));
    const QString whole = dot < 0 ? text : text.left(dot);
    QString decimals = dot < 0 ? QString() : text.mid(dot + 1);
    if (whole.isEmpty() || whole.size() > 4 || decimals.size() > 3 || (dot >= 0 && decimals.isEmpty()))
        return false;
    for (const QString& part : {whole, decimals})
        for (QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
    while (decimals.size() < 3)
        decimals += QLatin1Char('0');
    const long long ms = whole.toLongLong() * 1000 + decimals.toLongLong();
    if (ms <= 0 || ms > kMaxMs)
        return false;
    value = std::chrono::milliseconds(ms);
    return true;
}

bool parseMeasurement(const QString& text, uint32_t& value) {
    bool ok = false;
    const qulonglong n = text.toULongLong(&ok);
    if (!ok || n > UINT32_MAX || !text.at(0).isDigit())
        return false;
    value = uint32_t(n);
    return true;
}

QString argumentOf(const QString& command) {
    if (command == QLatin1String("faults"))
        return QStringLiteral("a fault list or \"clear\"");
    if (command == QLatin1String("outage"))
        return QStringLiteral("a number of seconds");
    if (command == QLatin1String("truth"))
        return QStringLiteral("a measurement counter");
    return QStringLiteral("a file");
}

ControlParse parseCommand(const QString& name, const QString& rest) {
    ControlParse result;
    ControlCommand& c = result.command;
    static const std::pair<QLatin1String, ControlCommand::Kind> kBare[] = {
        {QLatin1String("stats"), ControlCommand::Kind::Stats},
        {QLatin1String("requests"), ControlCommand::Kind::Requests},
        {QLatin1String("pause"), ControlCommand::Kind::Pause},
        {QLatin1String("resume"), ControlCommand::Kind::Resume}};
    for (const auto& [bare, kind] : kBare) {
        if (name != bare)
            continue;
        if (!rest.isEmpty())
            return refuse(ControlError::ExtraArgument, QStringLiteral("%1 takes nothing after it, not \"%2\"").arg(name, rest));
        c.kind = kind;
        return result;
    }
    static const QStringList kTakingArguments = {QStringLiteral("faults"), QStringLiteral("profile"),
                                                 QStringLiteral("replay"), QStringLiteral("outage"),
                                                 QStringLiteral("scene"),  QStringLiteral("truth")};
    if (!kTakingArguments.contains(name))
        return refuse(ControlError::UnknownCommand,
                      QStringLiteral("unknown command \"%1\" (%2, stats, requests, pause, resume)").arg(name, kTakingArguments.join(", ")));
    if (rest.isEmpty())
        return refuse(ControlError::MissingArgument, QStringLiteral("%1 needs %2").arg(name, argumentOf(name)));
    if (name == QLatin1String("faults")) {
        if (rest == QLatin1String("clear")) {
            c.kind = ControlCommand::Kind::ClearFaults;
            return result;
        }
        const FaultSpecParse spec = parseFaultSpec(rest);
        if (!spec.ok())
            return refuse(ControlError::BadFaults, spec.failure.message);
        c.kind = ControlCommand::Kind::Faults;
        c.faults = spec.spec;
    } else if (name == QLatin1String("outage")) {
        if (!parseSeconds(rest, c.outage))
            return refuse(ControlError::BadSeconds,
                          QStringLiteral("outage takes seconds above 0 and up to 3600 with up to 3 decimals, not \"%1\"")
                              .arg(rest));
        c.kind = ControlCommand::Kind::Outage;
    } else if (name == QLatin1String("truth")) {
        if (!parseMeasurement(rest, c.measurement))
            return refuse(ControlError::BadMeasurement,
                          QStringLiteral("truth takes a measurement counter from 0 to %1, not \"%2\"")
                              .arg(UINT32_MAX)
                              .arg(rest));
        c.kind = ControlCommand::Kind::Truth;
    } else {
        c.kind = name == QLatin1String("profile") ? ControlCommand::Kind::Profile
                 : name == QLatin1String("scene") ? ControlCommand::Kind::Scene
                                                  : ControlCommand::Kind::Replay;
        c.path = rest;
    }
    return result;
}

}  // namespace

ControlParse parseControlLine(const QByteArray& line) {
    if (line.size() > kMaxControlLine)
        return refuse(ControlError::TooLong, QStringLiteral("the line is longer than %1 bytes").arg(kMaxControlLine));
    for (char c : line)
        if ((uint8_t(c) < 0x20 && c != '\t') || c == 0x7F)
            return refuse(ControlError::BadCharacter, QStringLiteral("the line holds a control character"));
    QString rest = QString::fromUtf8(line).replace(QLatin1Char('\t'), QLatin1Char(' ')).trimmed();
    if (rest.isEmpty())
        return refuse(ControlError::Empty, QStringLiteral("empty command"));
    QString name = takeWord(rest);
    QString scanner;
    if (name == QLatin1String("--scanner")) {
        const QString given = takeWord(rest);
        scanner = canonicalScanner(given);
        if (scanner.isEmpty())
            return refuse(ControlError::BadScanner,
                          QStringLiteral("--scanner takes a scanner's IPv4 address, optionally with its TCP port "
                                         "(ADDR:PORT), not \"%1\"").arg(given));
        name = takeWord(rest);
    }
    ControlParse result = parseCommand(name, rest);
    result.command.scanner = scanner;
    return result;
}

bool selectsScanner(const QString& scanner, const QString& address, int tcpPort) {
    return scanner.isEmpty() || scanner == address || scanner == QStringLiteral("%1:%2").arg(address).arg(tcpPort);
}
