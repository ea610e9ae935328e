#include "ControlClient.h"

#include "ClientError.h"
#include "ControlHttp.h"
#include "JsonOutput.h"

#include "control/ControlCommand.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>

namespace {

constexpr int kDefaultTimeoutMs = 10000;

const char kUsage[] =
    "Usage: px310-client control [--timeout MS] [--token-file FILE] TARGET COMMAND... [--json]\n\n"
    "Sends one command to a running emulator and prints its answer once the command\n"
    "has taken effect. TARGET is the path of its control socket, or the URL of its\n"
    "HTTP front end (http://HOST:PORT, px310-headless --http); FILE holds the bearer\n"
    "secret the front end was given with --http-token. Commands:\n"
    "  faults SPEC | faults clear | profile FILE.csv | replay PATH | outage SECONDS | pause\n"
    "  | resume | stats | requests | scene FILE.json | truth M\n"
    "each optionally after --scanner ADDR to address one scanner of a rig.\n"
    "stats, requests and truth print JSON; with --json every answer is JSON (a text one as\n"
    "{\"answer\": TEXT}). An error answer exits with 1.\n";

struct ControlRequest {
    int timeoutMs = kDefaultTimeoutMs;
    bool json = false;
    QString path;
    QByteArray line;
    QByteArray bearer;
};

bool isUrl(const QString& target) { return target.startsWith(QLatin1String("http://")); }

QByteArray bearerIn(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(kExitUsage, QStringLiteral("--token-file %1: %2").arg(path, file.errorString()));
    const QByteArray secret = file.readLine().trimmed();
    if (secret.isEmpty())
        fail(kExitUsage, QStringLiteral("--token-file %1: no secret on its first line").arg(path));
    return secret;
}

// The emulator works in a folder of its own: a file is named to it by its
// absolute path, taken from this client's working folder.
QByteArray lineWithAbsolutePath(const ControlCommand& command, const QStringList& arguments) {
    const bool namesFile = command.kind == ControlCommand::Kind::Profile || command.kind == ControlCommand::Kind::Replay;
    if (!namesFile)
        return arguments.join(QLatin1Char(' ')).toUtf8();
    const QString scanner = command.scanner.isEmpty() ? QString() : QStringLiteral("--scanner %1 ").arg(command.scanner);
    const QString name = command.kind == ControlCommand::Kind::Profile ? QStringLiteral("profile") : QStringLiteral("replay");
    return QStringLiteral("%1%2 %3").arg(scanner, name, QFileInfo(command.path).absoluteFilePath()).toUtf8();
}

ControlRequest requestOf(QStringList arguments) {
    ControlRequest request;
    request.json = arguments.removeAll(QStringLiteral("--json")) > 0;
    if (arguments.value(0) == QLatin1String("--timeout")) {
        bool ok = false;
        request.timeoutMs = arguments.value(1).toInt(&ok);
        if (!ok || request.timeoutMs < 1 || request.timeoutMs > 3600 * 1000)
            fail(kExitUsage, QStringLiteral("--timeout takes milliseconds from 1 to 3600000"));
        arguments = arguments.mid(2);
    }
    if (arguments.value(0) == QLatin1String("--token-file")) {
        request.bearer = bearerIn(arguments.value(1));
        arguments = arguments.mid(2);
    }
    if (arguments.size() < 2)
        fail(kExitUsage, QStringLiteral("needs the control socket's path or URL and a command (--help shows them)"));
    request.path = arguments.takeFirst();
    // Refused here already, so a bad command never needs the emulator.
    const ControlParse parsed = parseControlLine(arguments.join(QLatin1Char(' ')).toUtf8());
    if (!parsed.ok())
        fail(kExitUsage, parsed.failure.message);
    request.line = lineWithAbsolutePath(parsed.command, arguments);
    return request;
}

// Why nothing answers at `path`, in words rather than Qt's.
QString whyNoEmulator(const QString& path, const QLocalSocket& socket, int timeoutMs) {
    const QFileInfo file(path);
    if (!file.exists())
        return QStringLiteral("no such file");
    if (file.isDir() || file.isFile())
        return QStringLiteral("not a socket");
    switch (socket.error()) {
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("nothing listens there");
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("permission denied");
    case QLocalSocket::SocketTimeoutError:
        return QStringLiteral("no connection within %1 ms").arg(timeoutMs);
    default:
        return socket.errorString();
    }
}

QByteArray answerLine(QLocalSocket& socket, const ControlRequest& request) {
    const QDeadlineTimer deadline(request.timeoutMs);
    while (!socket.canReadLine()) {
        if (socket.state() != QLocalSocket::ConnectedState || !socket.waitForReadyRead(int(deadline.remainingTime())))
            fail(kExitProtocol, socket.bytesAvailable() || socket.state() != QLocalSocket::ConnectedState
                                    ? QStringLiteral("the emulator closed the connection without an answer")
                                    : QStringLiteral("no answer within %1 ms").arg(request.timeoutMs));
    }
    QByteArray line = socket.readLine();
    line.chop(1);
    return line;
}

// An answer that is a JSON object already (stats, truth) as it is.
QJsonObject answerJson(const QByteArray& text) {
    const QJsonDocument document = QJsonDocument::fromJson(text);
    if (document.isObject())
        return document.object();
    return {{QStringLiteral("answer"), QString::fromUtf8(text)}};
}

// The answer's text after "ok" from the control socket; an error ends the client.
QByteArray sendOverSocket(const ControlRequest& request) {
    QLocalSocket socket;
    // Qt would look for a relative name in the temporary folder.
    socket.connectToServer(QFileInfo(request.path).absoluteFilePath());
    if (!socket.waitForConnected(request.timeoutMs))
        fail(kExitNoEmulator, QStringLiteral("no emulator at %1 (%2)")
                                  .arg(request.path, whyNoEmulator(request.path, socket, request.timeoutMs)));
    socket.write(request.line + '\n');
    const QByteArray answer = answerLine(socket, request);
    if (answer == "ok" || answer.startsWith("ok "))
        return answer.mid(3);
    if (answer.startsWith("error "))
        fail(kExitUsage, QString::fromUtf8(answer.mid(6)));
    fail(kExitProtocol, QStringLiteral("the emulator answered neither ok nor error: %1").arg(QString::fromUtf8(answer.left(200))));
}

QByteArray sendOverHttp(const ControlRequest& request) {
    const QString base = request.path.endsWith(QLatin1Char('/')) ? request.path : request.path + QLatin1Char('/');
    return sendHttpControl({base, request.line, request.bearer, request.timeoutMs});
}

}  // namespace

int runControl(const QStringList& arguments, QTextStream& out) {
    if (arguments.value(0) == QLatin1String("--help") || arguments.value(0) == QLatin1String("-h")) {
        out << kUsage;
        return kExitOk;
    }
    const ControlRequest request = requestOf(arguments);
    const QByteArray text = isUrl(request.path) ? sendOverHttp(request) : sendOverSocket(request);
    if (request.json)
        printJson(out, answerJson(text));
    else if (!text.isEmpty())
        out << QString::fromUtf8(text) << '\n';
    return kExitOk;
}
