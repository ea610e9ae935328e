#include "control/ControlServer.h"

#include "control/ControlStats.h"
#include "scanner/Scanner.h"

#include <QFile>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcControl, "px310.control", QtWarningMsg)

namespace {

constexpr int kProbeMs = 200;

// True when a process still accepts connections at `path`.
bool someoneListens(const QString& path) {
    QLocalSocket probe;
    probe.connectToServer(path);
    return probe.waitForConnected(kProbeMs);
}

QByteArray answerLine(const ControlReply& reply) {
    QString text = reply.text;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return (reply.ok ? QByteArrayLiteral("ok ") : QByteArrayLiteral("error ")) + text.toUtf8() + '\n';
}

void playScene(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    Scanner* scanner = target.addressed(c.scanner, answer);
    if (!scanner)
        return;
    QString error;
    if (scanner->loadScene(c.path, &error))
        answer({true, QStringLiteral("playing the scene %1").arg(c.path)});
    else
        answer({false, error});
}

void tellTruth(ControlTarget& target, const ControlCommand& c, const ControlAnswer& answer) {
    Scanner* scanner = target.addressed(c.scanner, answer);
    if (!scanner)
        return;
    if (const std::shared_ptr<const SceneProfileSource> scene = scanner->scene())
        answer({true, jsonLine(truthJson(scene->truth(c.measurement)))});
    else
        answer({false, QStringLiteral("no scene is playing")});
}

}  // namespace

std::optional<uid_t> peerUid(qintptr socketDescriptor) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

struct ControlServer::Connection {
    QPointer<QLocalSocket> socket;
    QByteArray buffer;
    bool busy = false;  // a command runs; later lines wait for its answer
};

ControlServer::ControlServer(ControlTarget& target, QObject* parent)
    : QObject(parent), target_(target), allowedUid_(::getuid()) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer() { server_.close(); }

bool ControlServer::listen(const QString& path) {
    // Qt binds beside the path and renames over whatever is there, so the
    // checks for a live socket or a file that is no socket come first.
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode))
            return fail(QStringLiteral("control socket %1: a file that is not a socket is in the way").arg(path));
        if (someoneListens(path))
            return fail(QStringLiteral("control socket %1: another process listens there").arg(path));
        QLocalServer::removeServer(path);
    }
    if (!server_.listen(path))
        return fail(QStringLiteral("control socket %1: %2").arg(path, server_.errorString()));
    return true;
}

bool ControlServer::fail(const QString& error) {
    error_ = error;
    return false;
}

void ControlServer::onNewConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const std::optional<uid_t> peer = peerUid(socket->socketDescriptor());
        if (!peerAllowed(peer, allowedUid_)) {
            qCWarning(lcControl) << "control connection refused: peer user" << (peer ? int(*peer) : -1);
            socket->write(answerLine({false, QStringLiteral("permission denied: not the emulator's user")}));
            socket->disconnectFromServer();
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        connect(socket, &QLocalSocket::readyRead, this, [this, connection] {
            if (!connection->socket)
                return;
            connection->buffer += connection->socket->readAll();
            runNextLine(connection);
        });
    }
}

void ControlServer::runNextLine(const std::shared_ptr<Connection>& connection) {
    if (connection->busy || !connection->socket)
        return;
    const int end = connection->buffer.indexOf('\n');
    if (end < 0) {
        if (connection->buffer.size() > kMaxControlLine) {
            connection->socket->write(answerLine({false, QStringLiteral("line longer than %1 bytes").arg(kMaxControlLine)}));
            connection->socket->disconnectFromServer();
        }
        return;
    }
    QByteArray line = connection->buffer.left(end);
    connection->buffer.remove(0, end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    const ControlParse parsed = parseControlLine(line);
    connection->busy = true;
    if (!parsed.ok()) {
        answerTo(connection)({false, parsed.message});
        return;
    }
    dispatch(parsed.command, answerTo(connection));
}

ControlAnswer ControlServer::answerTo(const std::shared_ptr<Connection>& connection) {
    // Targets may answer from another thread: the answer is written on this one.
    QPointer<ControlServer> self(this);
    return [self, connection](const ControlReply& reply) {
        if (!self)
            return;
        QMetaObject::invokeMethod(self, [self, connection, reply] {
            connection->busy = false;
            if (!connection->socket)
                return;
            connection->socket->write(answerLine(reply));
            self->runNextLine(connection);
        }, Qt::QueuedConnection);
    };
}

void ControlServer::dispatch(const ControlCommand& c, const ControlAnswer& answer) {
    switch (c.kind) {
    case ControlCommand::Kind::Faults: target_.setFaults(c.scanner, c.faults, answer); return;
    case ControlCommand::Kind::ClearFaults: target_.setFaults(c.scanner, FaultSpec{}, answer); return;
    case ControlCommand::Kind::Profile: target_.loadProfile(c.scanner, c.path, answer); return;
    case ControlCommand::Kind::Replay: target_.replay(c.scanner, c.path, answer); return;
    case ControlCommand::Kind::Outage: target_.beginOutage(c.scanner, c.outage, answer); return;
    case ControlCommand::Kind::Stats: target_.stats(c.scanner, answer); return;
    case ControlCommand::Kind::Scene: playScene(target_, c, answer); return;
    case ControlCommand::Kind::Truth: tellTruth(target_, c, answer); return;
    }
}
