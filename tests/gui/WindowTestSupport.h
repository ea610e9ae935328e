#pragma once

#include "app/MainWindow.h"
#include "tcp/TcpTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QSpinBox>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

// A window whose file dialogs give prepared answers ("" cancels).
class ScriptedWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    QStringList answers;
    std::vector<FileQuestion> asked;

protected:
    QString askFileName(FileQuestion question) override {
        asked.push_back(question);
        return answers.takeFirst();
    }
};

template <typename W>
W* child(const QObject& parent, const char* name) {
    W* widget = parent.findChild<W*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

// Hands every modal dialog that comes up to `answer`, which closes it.
inline std::unique_ptr<QTimer> answerModals(std::function<void(QWidget*)> answer) {
    auto poll = std::make_unique<QTimer>();
    QObject::connect(poll.get(), &QTimer::timeout, [answer] {
        if (QWidget* modal = QApplication::activeModalWidget())
            answer(modal);
    });
    poll->start(10);
    return poll;
}

// Points the window's command server at loopback and a port that was free a moment ago.
inline quint16 serveOnLoopback(MainWindow& window) {
    auto* addresses = child<QComboBox>(window, "scannerAddressCombo");
    addresses->setCurrentIndex(addresses->findText("127.0.0.1"));
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    child<QSpinBox>(window, "tcpPortSpin")->setValue(probe.serverPort());
    return probe.serverPort();
}

// The server starts listening on its own thread shortly after Start.
inline std::unique_ptr<QTcpSocket> connectWhenListening(quint16 port) {
    std::unique_ptr<QTcpSocket> client;
    waitUntil([&] { return (client = connectTo(port))->state() == QAbstractSocket::ConnectedState; });
    return client;
}
