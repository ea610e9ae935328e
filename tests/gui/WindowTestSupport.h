#pragma once

#include "app/MainWindow.h"
#include "tcp/TcpTestSupport.h"

#include <QComboBox>
#include <QSpinBox>
#include <QTcpServer>
#include <gtest/gtest.h>

#include <memory>

inline quint16 freeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Points the window's command server at loopback and a free port.
inline quint16 serveOnLoopback(MainWindow& window) {
    auto* addresses = window.findChild<QComboBox*>("scannerAddressCombo");
    const int loopback = addresses->findText("127.0.0.1");
    EXPECT_GE(loopback, 0) << "the host lists no loopback address";
    addresses->setCurrentIndex(loopback);
    const quint16 port = freeTcpPort();
    window.findChild<QSpinBox*>("tcpPortSpin")->setValue(port);
    return port;
}

// The server starts listening on its own thread shortly after Start.
inline std::unique_ptr<QTcpSocket> connectWhenListening(quint16 port) {
    std::unique_ptr<QTcpSocket> client;
    waitUntil([&] {
        client = connectTo(port);
        return client->state() == QAbstractSocket::ConnectedState;
    });
    return client;
}
