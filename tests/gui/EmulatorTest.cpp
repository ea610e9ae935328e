// The whole emulator behind its window: Start wires the three workers to the
// panel and the shared state, and Stop takes them all down again.
#include "app/MainWindow.h"
#include "support/TestUtil.h"
#include "tcp/RequestHeader.h"
#include "../tcp/TcpTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QTimer>
#include <QSpinBox>
#include <QTcpServer>
#include <QThread>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kReadParams = 4;
constexpr uint32_t kWriteParams = 5;

quint16 freeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The server starts listening on its own thread shortly after Start.
std::unique_ptr<QTcpSocket> connectWhenListening(quint16 port) {
    std::unique_ptr<QTcpSocket> client;
    waitUntil([&] {
        client = connectTo(port);
        return client->state() == QAbstractSocket::ConnectedState;
    });
    return client;
}

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        QComboBox* addresses = window.findChild<QComboBox*>("scannerAddressCombo");
        const int loopback = addresses->findText("127.0.0.1");
        ASSERT_GE(loopback, 0) << "the host lists no loopback address";
        addresses->setCurrentIndex(loopback);
        tcpPort = freeTcpPort();
        window.findChild<QSpinBox*>("tcpPortSpin")->setValue(tcpPort);
        window.findChild<QSpinBox*>("udpPortSpin")->setValue(receiver.localPort());
        window.params().update([](USER_PARAMS& p) { p.wUDP = 1; });
    }

    void TearDown() override {
        if (window.isRunning())
            window.on_stopBtn_clicked();
    }

    // Datagrams received so far, each checked for an intact checksum.
    int drainDatagrams() {
        int count = 0;
        while (receiver.hasPendingDatagrams()) {
            QByteArray datagram(int(receiver.pendingDatagramSize()), '\0');
            receiver.readDatagram(datagram.data(), datagram.size());
            EXPECT_EQ(wordSum(datagram), 0xFFFF);
            ++count;
        }
        return count;
    }

    bool streamFlows() {
        drainDatagrams();
        int received = 0;
        return waitUntil([&] { return (received += drainDatagrams()) >= 3; }, 5000);
    }

    MainWindow window;
    QUdpSocket receiver;
    quint16 tcpPort = 0;
};

TEST_F(EmulatorTest, StartStreamsServesAndPausesTheStreamForAClient) {
    window.on_startBtn_clicked();
    ASSERT_TRUE(streamFlows());

    auto client = connectWhenListening(tcpPort);
    ASSERT_EQ(client->state(), QAbstractSocket::ConnectedState);
    const USER_PARAMS record = window.params().snapshot();
    const QByteArray image = exchange(*client, encodeRequest(kReadParams), kUserParamsSize);
    ASSERT_EQ(image.size(), kUserParamsSize);
    EXPECT_EQ(0, std::memcmp(image.constData(), &record, kUserParamsSize));

    // Paused while the client is there (one packet may already be on its way).
    drainDatagrams();
    QThread::msleep(150);
    EXPECT_LE(drainDatagrams(), 1);

    client->disconnectFromHost();
    client.reset();
    EXPECT_TRUE(streamFlows());

    window.on_stopBtn_clicked();
    EXPECT_FALSE(window.isRunning());
    EXPECT_NE(connectTo(tcpPort)->state(), QAbstractSocket::ConnectedState);
}

TEST_F(EmulatorTest, AClientsParameterWriteReachesThePanel) {
    window.on_startBtn_clicked();
    auto client = connectWhenListening(tcpPort);
    USER_PARAMS changed = window.params().snapshot();
    changed.udp_port_u16 = 7001;
    changed.tcp_port_u16 = tcpPort;
    const QByteArray payload(reinterpret_cast<const char*>(&changed), kUserParamsSize);
    EXPECT_EQ(exchange(*client, encodeRequest(kWriteParams, payload), 2), QByteArray("OK"));

    QSpinBox* udpPort = window.findChild<QSpinBox*>("udpPortSpin");
    EXPECT_TRUE(waitUntil([&] { return udpPort->value() == 7001; }));
}

TEST_F(EmulatorTest, RepeatedStartStopWithAClientLeavesNothingRunning) {
    for (int cycle = 0; cycle < 20; ++cycle) {
        window.on_startBtn_clicked();
        ASSERT_TRUE(window.isRunning());
        auto client = connectWhenListening(tcpPort);
        ASSERT_EQ(client->state(), QAbstractSocket::ConnectedState) << "cycle " << cycle;
        window.on_stopBtn_clicked();
        ASSERT_FALSE(window.isRunning());
    }
    // The last Stop closed the listening socket and the stream.
    EXPECT_NE(connectTo(tcpPort)->state(), QAbstractSocket::ConnectedState);
    drainDatagrams();
    QThread::msleep(50);
    EXPECT_EQ(drainDatagrams(), 0);
}

TEST_F(EmulatorTest, StatusBarShowsWhereTheServerListensWhereTheStreamGoesAndTheClient) {
    const QLabel* state = window.findChild<QLabel*>("stateLbl");
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->text(), "Idle");
    window.on_startBtn_clicked();
    const QString server = QString("TCP listening on 127.0.0.1:%1").arg(tcpPort);
    const QString stream = QString("UDP to 127.0.0.1:%1 at 249 Hz").arg(receiver.localPort());
    const auto shows = [&](const QString& a, const QString& b) {
        return waitUntil([&] { return state->text().contains(a) && state->text().contains(b); });
    };
    EXPECT_TRUE(shows(server + ", no client", stream)) << state->text().toStdString();

    auto client = connectWhenListening(tcpPort);
    EXPECT_TRUE(shows("client connected", "paused")) << state->text().toStdString();
    client.reset();
    EXPECT_TRUE(shows("no client", stream)) << state->text().toStdString();

    window.on_stopBtn_clicked();
    EXPECT_EQ(state->text(), "Idle");
}

TEST_F(EmulatorTest, ListenFailureKeepsTheWarningAndGivesTheSocketsReasonUntilTheNextStart) {
    constexpr quint16 kPrivilegedPort = 620;
    QTcpServer holder;  // root may open the port: hold it so that the emulator cannot
    holder.listen(QHostAddress::LocalHost, kPrivilegedPort);
    QTcpServer probe;
    ASSERT_FALSE(probe.listen(QHostAddress::LocalHost, kPrivilegedPort));
    window.findChild<QSpinBox*>("tcpPortSpin")->setValue(kPrivilegedPort);

    QString title, text;
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            text = box->text();
            box->accept();
        }
    });
    boxCloser.start(10);
    window.on_startBtn_clicked();
    ASSERT_TRUE(waitUntil([&] { return !window.isRunning(); }));
    EXPECT_EQ(title, "Oooooops");
    EXPECT_EQ(text,
              "There are some troubles with this address\nSome system ip addresses aren't usable\n"
              "such as VirtualBox's address etc.\nPlease, try another one.");
    const QString reason = window.statusBar()->currentMessage();
    EXPECT_TRUE(reason.contains("127.0.0.1 port 620: " + probe.errorString())) << reason.toStdString();
    EXPECT_TRUE(reason.contains("ports below 1024 need root")) << reason.toStdString();

    window.findChild<QSpinBox*>("tcpPortSpin")->setValue(tcpPort);
    window.on_startBtn_clicked();
    EXPECT_EQ(window.statusBar()->currentMessage(), "");
}

}  // namespace
