#pragma once

#include "support/TestUtil.h"
#include "tcp/CommandDispatcher.h"

#include <QByteArray>
#include <QTcpSocket>
#include <memory>

// Reads until `size` bytes are there or the peer stays silent for `timeoutMs`.
QByteArray readExactly(QTcpSocket& socket, int size, int timeoutMs = 5000);

// Writes `bytes` and reads a reply of `replySize` bytes.
QByteArray exchange(QTcpSocket& socket, const QByteArray& bytes, int replySize);

std::unique_ptr<QTcpSocket> connectTo(quint16 port);

// What a command server serves from.
struct ServedParts {
    ScannerState state;
    UserParamsStore& params = state.record();
    ProfileStore profile;
    ProfileFeed feed{profile};
    CameraPicture picture{};
    DeviceIdentity& hello = state.identity();
};
