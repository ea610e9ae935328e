#include "ScannerConnection.h"

#include "ClientError.h"

#include "tcp/CommandTable.h"
#include "tcp/RequestHeader.h"

#include <QDeadlineTimer>

namespace {

// Long enough for the server to see an orderly close, which resumes its stream.
constexpr int kCloseWaitMs = 500;

}  // namespace

QString commandLabel(uint32_t command) {
    const CommandInfo* info = findCommand(command);
    if (info && info->action == CommandAction::GetResult)
        return QStringLiteral("get result (%1)").arg(command);
    if (info)
        return QStringLiteral("%1 (%2)").arg(QLatin1String(info->name)).arg(command);
    return QStringLiteral("command %1").arg(command);
}

ScannerConnection::ScannerConnection(const Endpoint& endpoint) : endpoint_(endpoint) {
    socket_.connectToHost(endpoint.host, endpoint.port);
    if (!socket_.waitForConnected(endpoint.timeoutMs))
        fail(kExitNoEmulator, QStringLiteral("no emulator at %1:%2: %3")
                                  .arg(endpoint.host)
                                  .arg(endpoint.port)
                                  .arg(socket_.errorString()));
}

ScannerConnection::~ScannerConnection() {
    if (socket_.state() == QAbstractSocket::UnconnectedState)
        return;
    socket_.disconnectFromHost();
    if (socket_.state() != QAbstractSocket::UnconnectedState)
        socket_.waitForDisconnected(kCloseWaitMs);
}

void ScannerConnection::send(uint32_t command, const QByteArray& payload, uint32_t offset, uint32_t length) {
    const QByteArray bytes = encodeRequest(command, payload, offset, length);
    QDeadlineTimer deadline(endpoint_.timeoutMs);
    socket_.write(bytes);
    while (socket_.bytesToWrite() > 0) {
        if (!socket_.waitForBytesWritten(int(deadline.remainingTime())))
            fail(kExitProtocol, QStringLiteral("cannot send %1: %2").arg(commandLabel(command), socket_.errorString()));
    }
}

QByteArray ScannerConnection::receive(int size, const QString& what) {
    QDeadlineTimer deadline(endpoint_.timeoutMs);
    QByteArray bytes;
    while (bytes.size() < size) {
        if (socket_.bytesAvailable() == 0 && !socket_.waitForReadyRead(int(deadline.remainingTime()))) {
            const QString why = socket_.state() == QAbstractSocket::ConnectedState
                                    ? QStringLiteral("within %1 ms").arg(endpoint_.timeoutMs)
                                    : QStringLiteral("before the emulator closed the connection");
            fail(kExitProtocol,
                 QStringLiteral("short reply to %1: %2 of %3 bytes %4").arg(what).arg(bytes.size()).arg(size).arg(why));
        }
        bytes += socket_.read(size - bytes.size());
    }
    return bytes;
}

QByteArray ScannerConnection::receiveFor(int ms) {
    QDeadlineTimer deadline(ms);
    QByteArray bytes = socket_.readAll();
    while (!deadline.hasExpired() && socket_.waitForReadyRead(int(deadline.remainingTime())))
        bytes += socket_.readAll();
    return bytes + socket_.readAll();
}

QByteArray ScannerConnection::request(uint32_t command, int replySize, const QByteArray& payload) {
    send(command, payload);
    return receive(replySize, commandLabel(command));
}
