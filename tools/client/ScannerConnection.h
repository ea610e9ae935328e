#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpSocket>
#include <cstdint>

// Where the command server is and how long any one wait may take.
struct Endpoint {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 620;
    int timeoutMs = 3000;
};

// One blocking connection to the command server. Every wait ends at the
// endpoint's time-out; failures end the command through ClientError.
class ScannerConnection {
public:
    explicit ScannerConnection(const Endpoint& endpoint);  // connects
    ~ScannerConnection();

    ScannerConnection(const ScannerConnection&) = delete;
    ScannerConnection& operator=(const ScannerConnection&) = delete;

    void send(uint32_t command, const QByteArray& payload = {}, uint32_t offset = 0, uint32_t length = 0);
    // Exactly `size` bytes; `what` names the reply in the error.
    QByteArray receive(int size, const QString& what);
    // Whatever arrives within `ms`.
    QByteArray receiveFor(int ms);
    // send() then receive(); the reply is named after the command.
    QByteArray request(uint32_t command, int replySize, const QByteArray& payload = {});

private:
    Endpoint endpoint_;
    QTcpSocket socket_;
};

// The command's name for messages: "read params (4)", "command 200".
QString commandLabel(uint32_t command);
