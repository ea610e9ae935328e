#include "ClientMain.h"

#include "ClientError.h"
#include "CommandLine.h"
#include "ControlClient.h"
#include "TcpCommands.h"
#include "UdpCommands.h"

#include "ProgramConventions.h"

#include <QRegularExpression>

namespace {

struct ClientCommand {
    const char* name;
    const char* summary;
    int (*run)(const QStringList& arguments, QTextStream& out);
    bool server;  // talks to the command server, so the connection options apply
};

const ClientCommand kCommands[] = {
    {"discover", "list emulators that announce themselves (UDP hello)", runDiscover, false},
    {"params", "params get | set FIELD=VALUE... | flush: the user parameter record", runParams, true},
    {"result", "fetch profile results and print them in millimetres", runResult, true},
    {"stream", "receive the UDP profile stream and report rate and losses", runStream, false},
    {"image", "fetch the camera picture and save it", runImage, true},
    {"extents", "print the extents block", runExtents, true},
    {"factory", "factory get: print the factory parameters", runFactory, true},
    {"raw", "send any command code and print the reply", runRaw, true},
    {"control", "send a command to a running emulator's control socket", runControl, false},
};

const QString kUsage = QStringLiteral("[--host ADDR] [--port P] [--timeout MS] COMMAND [options]");

void printUsage(QTextStream& out) {
    out << "Usage: px310-client " << kUsage
        << "\n\nCommand-line client of the PX310 scanner protocol.\n\n"
           "Connection options (before or after the command):\n"
           "  --host ADDR    address of the emulator's command server (default 127.0.0.1)\n"
           "  --port P       its TCP port (default 620)\n"
           "  --timeout MS   longest wait for a connection or a reply (default 3000)\n\n"
           "Commands:\n";
    for (const ClientCommand& command : kCommands)
        out << QStringLiteral("  %1 %2\n").arg(QLatin1String(command.name), -10).arg(QLatin1String(command.summary));
    out << "\nEvery command takes --help. Exit codes: 0 ok, 1 bad usage, 2 no emulator,\n"
           "3 short reply or bad checksum, 4 file not written.\n";
}

bool isHelp(const QString& argument) {
    return argument == QLatin1String("--help") || argument == QLatin1String("-h") || argument == QLatin1String("help");
}

const QStringList kValueOptions{QStringLiteral("host"), QStringLiteral("port"), QStringLiteral("timeout")};

// An option without its one or two dashes ("host=H" for "--host=H").
QString withoutDashes(const QString& argument) {
    return QString(argument).remove(QRegularExpression(QStringLiteral("^--?")));
}

// The options before the command end at the first word that is no option
// or option value.
int commandIndex(const QStringList& arguments) {
    int i = 0;
    while (i < arguments.size() && arguments[i].startsWith('-') && !isHelp(arguments[i]))
        i += kValueOptions.contains(withoutDashes(arguments[i])) ? 2 : 1;
    return i;
}

// The first option before the command that is no connection option.
QString unknownLeadingOption(const QStringList& leading) {
    for (int i = 0; i < leading.size(); ++i) {
        if (!kValueOptions.contains(withoutDashes(leading[i]).section('=', 0, 0)))
            return leading[i];
        if (!leading[i].contains('='))
            ++i;  // its value
    }
    return QString();
}

const ClientCommand* commandNamed(const QString& name) {
    for (const ClientCommand& command : kCommands)
        if (name == QLatin1String(command.name))
            return &command;
    return nullptr;
}

// The endpoint the options before the command describe.
Endpoint leadingEndpoint(const QStringList& leading, const ClientCommand& command, QTextStream& out) {
    if (leading.isEmpty())
        return Endpoint{};
    if (!command.server)
        fail(kExitUsage, QStringLiteral("%1 does not use the command server; its own options follow its name "
                                        "(px310-client %1 --help)")
                             .arg(QLatin1String(command.name)));
    CommandLine line(kUsage, QString(), CommandLine::Server);
    line.parse(leading, out);
    line.positional(0);
    return line.endpoint();
}

}  // namespace

int runClient(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    CommandLine::setServerDefaults(Endpoint{});
    const int at = commandIndex(arguments);
    const QStringList leading = arguments.mid(0, at);
    if (leading.contains(QLatin1String("--version"))) {
        out << versionLine(QStringLiteral("px310-client")) << '\n';
        return kExitOk;
    }
    const QString unknown = unknownLeadingOption(leading);
    if (!unknown.isEmpty()) {
        err << "px310-client: unknown option " << unknown.section('=', 0, 0) << '\n';
        return kExitUsage;
    }
    // "help COMMAND" is "COMMAND --help".
    const bool helpOfCommand = isHelp(arguments.value(at)) && at + 1 < arguments.size();
    const QString name = arguments.value(helpOfCommand ? at + 1 : at);
    if (name.isEmpty() || isHelp(name)) {
        printUsage(name.isEmpty() ? err : out);
        return name.isEmpty() ? kExitUsage : kExitOk;
    }
    const ClientCommand* command = commandNamed(name);
    if (!command) {
        err << "px310-client: unknown command \"" << name << "\" (px310-client --help lists them)\n";
        return kExitUsage;
    }
    try {
        CommandLine::setServerDefaults(leadingEndpoint(leading, *command, out));
        return command->run(helpOfCommand ? QStringList{QStringLiteral("--help")} : arguments.mid(at + 1), out);
    } catch (const ClientError& error) {
        out.flush();
        err << "px310-client " << name << ": " << error.message << '\n';
        return error.code;
    }
}
