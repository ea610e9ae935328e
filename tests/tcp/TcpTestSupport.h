#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QtGlobal>
#include <memory>
#include <vector>

#include "support/TestUtil.h"

// Collects debug lines from every thread while it lives, whatever the
// logging rules of the environment say.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool contains(const QString& line) const;
    int count(const QString& line) const;
    int countContaining(const QString& part) const;
};

// Reads until `size` bytes are there or the peer stays silent for `timeoutMs`.
QByteArray readExactly(QTcpSocket& socket, int size, int timeoutMs = 5000);

// Writes `bytes` and reads a reply of `replySize` bytes.
QByteArray exchange(QTcpSocket& socket, const QByteArray& bytes, int replySize);

std::unique_ptr<QTcpSocket> connectTo(quint16 port);

