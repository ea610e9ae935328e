#include "TcpTestSupport.h"

#include <QHostAddress>

QByteArray readExactly(QTcpSocket& socket, int size, int timeoutMs) {
    while (socket.bytesAvailable() < size)
        if (!socket.waitForReadyRead(timeoutMs))
            break;
    return socket.read(size);
}

QByteArray exchange(QTcpSocket& socket, const QByteArray& bytes, int replySize) {
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
    return readExactly(socket, replySize);
}

std::unique_ptr<QTcpSocket> connectTo(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    socket->waitForConnected(5000);
    return socket;
}
