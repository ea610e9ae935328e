// The whole emulator behind its window: Start wires the workers to the panel
// and the status bar, and Stop takes them all down again.
#include "WindowTestSupport.h"
#include "tcp/RequestHeader.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

namespace {

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
        tcpPort = serveOnLoopback(window);
        window.findChild<QSpinBox*>("udpPortSpin")->setValue(receiver.localPort());
        window.params().update([](USER_PARAMS& p) { p.wUDP = 1; });
    }

    void TearDown() override { window.on_stopBtn_clicked(); }

    // Datagrams received so far, each checked for an intact checksum.
    int drainDatagrams() {
        int count = 0;
        for (; receiver.hasPendingDatagrams(); ++count) {
            QByteArray datagram(int(receiver.pendingDatagramSize()), '\0');
            receiver.readDatagram(datagram.data(), datagram.size());
            EXPECT_EQ(wordSum(datagram), 0xFFFF);
        }
        return count;
    }

    bool streamFlows() {
        drainDatagrams();
        int received = 0;
        return waitUntil([&] { return (received += drainDatagrams()) >= 3; });
    }

    bool stateShows(const QString& a, const QString& b) {
        const QLabel* state = window.findChild<QLabel*>("stateLbl");
        const bool shown = waitUntil([&] { return state->text().contains(a) && state->text().contains(b); });
        EXPECT_TRUE(shown) << state->text().toStdString();
        return shown;
    }

    MainWindow window;
    QUdpSocket receiver;
    quint16 tcpPort = 0;
};

TEST_F(EmulatorTest, AClientPausesTheStreamAndTheStatusBarFollowsStartClientAndStop) {
    EXPECT_TRUE(stateShows("Idle", ""));
    window.on_startBtn_clicked();
    const QString stream = QString("UDP to 127.0.0.1:%1 at 249 Hz").arg(receiver.localPort());
    stateShows(QString("TCP listening on 127.0.0.1:%1, no client").arg(tcpPort), stream);
    ASSERT_TRUE(streamFlows());

    auto client = connectWhenListening(tcpPort);
    stateShows("client connected", "paused");
    drainDatagrams();  // one packet may already have been on its way
    QThread::msleep(150);
    EXPECT_LE(drainDatagrams(), 1);

    client.reset();
    stateShows("no client", stream);
    EXPECT_TRUE(streamFlows());

    window.on_stopBtn_clicked();
    stateShows("Idle", "");
    EXPECT_NE(connectTo(tcpPort)->state(), QAbstractSocket::ConnectedState);
    drainDatagrams();
    QThread::msleep(50);
    EXPECT_EQ(drainDatagrams(), 0);
}

TEST_F(EmulatorTest, AClientsParameterWriteReachesThePanel) {
    window.on_startBtn_clicked();
    auto client = connectWhenListening(tcpPort);
    USER_PARAMS changed = window.params().snapshot();
    changed.udp_port_u16 = 7001;
    const QByteArray payload(reinterpret_cast<const char*>(&changed), kUserParamsSize);
    EXPECT_EQ(exchange(*client, encodeRequest(5, payload), 2), QByteArray("OK"));
    QSpinBox* udpPort = window.findChild<QSpinBox*>("udpPortSpin");
    EXPECT_TRUE(waitUntil([&] { return udpPort->value() == 7001; }));
}

TEST_F(EmulatorTest, ListenFailureWarnsAndGivesTheSocketsReasonUntilTheNextStart) {
    constexpr quint16 kPrivilegedPort = 620;
    QTcpServer holder;  // root may open the port: hold it so that the emulator cannot
    holder.listen(QHostAddress::LocalHost, kPrivilegedPort);
    QTcpServer probe;
    ASSERT_FALSE(probe.listen(QHostAddress::LocalHost, kPrivilegedPort));
    window.findChild<QSpinBox*>("tcpPortSpin")->setValue(kPrivilegedPort);

    QString title;
    QTimer boxCloser;
    QObject::connect(&boxCloser, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            title = box->windowTitle();
            box->accept();
        }
    });
    boxCloser.start(10);
    window.on_startBtn_clicked();
    ASSERT_TRUE(waitUntil([&] { return !window.isRunning(); }));
    EXPECT_EQ(title, "Oooooops");
    const QString reason = window.statusBar()->currentMessage();
    EXPECT_TRUE(reason.contains("127.0.0.1 port 620: " + probe.errorString() + " (ports below 1024 need root)"))
        << reason.toStdString();

    window.findChild<QSpinBox*>("tcpPortSpin")->setValue(tcpPort);
    window.on_startBtn_clicked();
    EXPECT_EQ(window.statusBar()->currentMessage(), "");
}

}  // namespace
