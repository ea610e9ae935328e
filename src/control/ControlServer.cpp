#include "control/ControlServer.h"

#include "control/ControlDispatch.h"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcControl, "px310.control", QtWarningMsg)

namespace {

constexpr int kProbeMs = 200;
// Past this much unread output a connection is read no further until its
// client catches up; its further lines wait in the kernel, not here.
constexpr qint64 kMaxUnansweredBytes = 64 * 1024;
// Room for a whole line and the start of the next.
constexpr qint64 kReadBufferBytes = 2 * kMaxControlLine;

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
    bool busy = false;  // a command runs; later lines wait for its answer
    bool skipping = false;  // the rest of a line too long to serve is dropped up to its newline
};

namespace {

// Drops what has come of a line too long to serve; true once its newline went too.
bool dropRestOfLine(QLocalSocket* socket) {
    while (socket->bytesAvailable() > 0)
        if (socket->readLine(kReadBufferBytes).endsWith('\n'))
            return true;
    return false;
}

}  // namespace

ControlServer::ControlServer(ControlTarget& target, QObject* parent)
    : QObject(parent), target_(target), allowedUid_(::getuid()) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &ControlServer::onNewConnection);
}

ControlServer::~ControlServer() {
    server_.close();
    // Their signals reach this object: they go while it is still whole.
    qDeleteAll(server_.findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly));
}

MaybeFailure ControlServer::listen(const QString& name) {
    // Qt would put a relative name in the temporary folder.
    const QString path = QFileInfo(name).absoluteFilePath();
    // Qt binds beside the path and renames over whatever is there, so the
    // checks for a live socket or a file that is no socket come first.
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode))
            return refusedFailure(QStringLiteral("control socket %1: a file that is not a socket is in the way").arg(path));
        if (someoneListens(path))
            return refusedFailure(QStringLiteral("control socket %1: another process listens there").arg(path));
        QLocalServer::removeServer(path);
    }
    // Qt gives the reason in words only, not the errno.
    if (!server_.listen(path))
        return systemFailure(0, QStringLiteral("control socket %1: %2").arg(path, server_.errorString()));
    return std::nullopt;
}

void ControlServer::onNewConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const std::optional<uid_t> peer = peerUid(socket->socketDescriptor());
        if (!peerAllowed(peer, allowedUid_)) {
            qCWarning(lcControl) << "control connection refused: peer user" << (peer ? int(*peer) : -1);
            refuse(socket, QStringLiteral("permission denied: not the emulator's user"));
            continue;
        }
        if (connections_ >= kMaxControlConnections) {
            refuse(socket, QStringLiteral("more than %1 control connections at once").arg(kMaxControlConnections));
            continue;
        }
        ++connections_;
        connect(socket, &QLocalSocket::disconnected, this, [this] { --connections_; });
        socket->setReadBufferSize(kReadBufferBytes);
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        const auto serve = [this, connection] { runNextLine(connection); };
        connect(socket, &QLocalSocket::readyRead, this, serve);
        connect(socket, &QLocalSocket::bytesWritten, this, serve);
    }
}

void ControlServer::refuse(QLocalSocket* socket, const QString& why) {
    socket->write(answerLine({false, why}));
    socket->disconnectFromServer();
}

void ControlServer::runNextLine(const std::shared_ptr<Connection>& connection) {
    QLocalSocket* socket = connection->socket;
    if (connection->busy || !socket || socket->bytesToWrite() > kMaxUnansweredBytes)
        return;
    if (!socket->canReadLine() && socket->bytesAvailable() > kMaxControlLine && !connection->skipping) {
        socket->write(answerLine({false, QStringLiteral("line longer than %1 bytes").arg(kMaxControlLine)}));
        connection->skipping = true;
    }
    if (connection->skipping)
        connection->skipping = !dropRestOfLine(socket);
    if (connection->skipping || !socket->canReadLine()) {
        socket->waitForReadyRead(0);  // Qt 6 reads no further once its buffer was full, until asked
        return;
    }
    QByteArray line = socket->readLine();
    line.chop(line.endsWith("\r\n") ? 2 : 1);
    const ControlParse parsed = parseControlLine(line);
    connection->busy = true;
    if (!parsed.ok()) {
        answerTo(connection)({false, parsed.failure.message});
        return;
    }
    runControlCommand(target_, parsed.command, answerTo(connection));
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

