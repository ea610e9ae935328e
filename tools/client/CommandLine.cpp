#include "CommandLine.h"

#include "ClientError.h"
#include "ProgramConventions.h"

namespace {
const QString kHost = QStringLiteral("host");
const QString kPort = QStringLiteral("port");
const QString kTimeout = QStringLiteral("timeout");
const QString kHelp = QStringLiteral("help");

// One client run serves one command, so the options before it are plain
// process state rather than an argument of every command.
Endpoint serverDefaults;
}  // namespace

void CommandLine::setServerDefaults(const Endpoint& endpoint) { serverDefaults = endpoint; }

bool parseNumber(const QString& text, long long& value) {
    bool ok = false;
    const QString t = text.trimmed();
    value = t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) ? t.mid(2).toLongLong(&ok, 16) : t.toLongLong(&ok);
    return ok;
}

CommandLine::CommandLine(const QString& usage, const QString& description, Connection connection)
    : usage_(usage), connection_(connection) {
    parser_.setApplicationDescription(QStringLiteral("Usage: px310-client %1\n\n%2").arg(usage, description));
    parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser_.addOption({{QStringLiteral("h"), kHelp}, QStringLiteral("Show this help.")});
    if (connection == Server) {
        addOption(kHost, QStringLiteral("Address of the emulator's command server (default 127.0.0.1)."),
                  QStringLiteral("ADDR"));
        addOption(kPort, QStringLiteral("Its TCP port (default 620)."), QStringLiteral("P"));
        addOption(kTimeout, QStringLiteral("Longest wait for a connection or a reply, in ms (default 3000)."),
                  QStringLiteral("MS"));
    }
}

void CommandLine::addOption(const QString& name, const QString& description, const QString& valueName) {
    parser_.addOption(QCommandLineOption(name, description, valueName));
}

void CommandLine::addShortOption(const QString& shortName, const QString& name, const QString& description,
                                 const QString& valueName) {
    parser_.addOption(QCommandLineOption({shortName, name}, description, valueName));
}

bool CommandLine::parse(const QStringList& arguments, QTextStream& out) {
    // The parser skips the first entry, the program name.
    if (!parser_.parse(QStringList{QStringLiteral("px310-client")} + arguments))
        usageError(commandLineError(parser_));
    if (parser_.isSet(kHelp)) {
        // The parser's own first line names no command; the description does.
        out << parser_.helpText().section('\n', 1);
        return false;
    }
    return true;
}

long long CommandLine::number(const QString& name, long long min, long long max, long long fallback) const {
    if (!parser_.isSet(name))
        return fallback;
    long long value = 0;
    if (!parseNumber(parser_.value(name), value) || value < min || value > max)
        usageError(QStringLiteral("%1%2 takes a number from %3 to %4, not \"%5\"")
                       .arg(name.size() == 1 ? "-" : "--", name)
                       .arg(min)
                       .arg(max)
                       .arg(parser_.value(name)));
    return value;
}

QStringList CommandLine::positional(int count) const {
    const QStringList arguments = parser_.positionalArguments();
    if (arguments.size() != count)
        usageError(QStringLiteral("expected %1 argument(s), got %2").arg(count).arg(arguments.size()));
    return arguments;
}

Endpoint CommandLine::endpoint() const {
    Endpoint endpoint = serverDefaults;
    if (parser_.isSet(kHost))
        endpoint.host = parser_.value(kHost);
    endpoint.port = static_cast<quint16>(number(kPort, 1, 65535, endpoint.port));
    endpoint.timeoutMs = static_cast<int>(number(kTimeout, 1, 3600000, endpoint.timeoutMs));
    return endpoint;
}

void CommandLine::usageError(const QString& message) const {
    fail(kExitUsage, QStringLiteral("%1 (usage: px310-client %2)").arg(message, usage_));
}
