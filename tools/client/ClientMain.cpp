#include "ClientMain.h"

#include "ClientError.h"
#include "ControlClient.h"
#include "TcpCommands.h"
#include "UdpCommands.h"

namespace {

struct ClientCommand {
    const char* name;
    const char* summary;
    int (*run)(const QStringList& arguments, QTextStream& out);
};

const ClientCommand kCommands[] = {
    {"discover", "list emulators that announce themselves (UDP hello)", runDiscover},
    {"params", "params get | set FIELD=VALUE... | flush: the user parameter record", runParams},
    {"result", "fetch profile results and print them in millimetres", runResult},
    {"stream", "receive the UDP profile stream and report rate and losses", runStream},
    {"image", "fetch the camera picture and save it", runImage},
    {"extents", "print the extents block", runExtents},
    {"factory", "factory get: print the factory parameters", runFactory},
    {"raw", "send any command code and print the reply", runRaw},
    {"control", "send a command to a running emulator's control socket", runControl},
};

void printUsage(QTextStream& out) {
    out << "Usage: px310-client COMMAND [options]\n\n"
           "Command-line client of the PX310 scanner protocol.\n\nCommands:\n";
    for (const ClientCommand& command : kCommands)
        out << QStringLiteral("  %1 %2\n").arg(QLatin1String(command.name), -10).arg(QLatin1String(command.summary));
    out << "\nEvery command takes --help. Exit codes: 0 ok, 1 bad usage, 2 no emulator,\n"
           "3 short reply or bad checksum, 4 file not written.\n";
}

}  // namespace

int runClient(const QStringList& arguments, QTextStream& out, QTextStream& err) {
    const QString name = arguments.value(0);
    if (name.isEmpty() || name == QLatin1String("--help") || name == QLatin1String("-h") ||
        name == QLatin1String("help")) {
        printUsage(name.isEmpty() ? err : out);
        return name.isEmpty() ? kExitUsage : kExitOk;
    }
    for (const ClientCommand& command : kCommands) {
        if (name != QLatin1String(command.name))
            continue;
        try {
            return command.run(arguments.mid(1), out);
        } catch (const ClientError& error) {
            out.flush();
            err << "px310-client " << name << ": " << error.message << '\n';
            return error.code;
        }
    }
    err << "px310-client: unknown command \"" << name << "\" (px310-client --help lists them)\n";
    return kExitUsage;
}
