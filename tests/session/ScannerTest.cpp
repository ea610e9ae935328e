#include "scanner/Scanner.h"

#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/RequestHeader.h"

#include <QNetworkDatagram>
#include <QThread>
#include <QUdpSocket>
#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kWriteParams = 5;
constexpr uint32_t kWriteFactoryParams = 131;

// A scanner on loopback that streams to a receiver of this test.
class LiveScanner {
public:
    explicit LiveScanner(int frequency) {
        receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
        scanner.params().update([&](USER_PARAMS& p) {
            p.tcp_port_u16 = 0;
            p.udp_port_u16 = receiver.localPort();
        });
        scanner.setFrequency(frequency);
        scanner.profile().replace(rampProfile(100));
        QObject::connect(&scanner, &Scanner::listening, [this] { listening = true; });
        scanner.start();
        waitUntil([this] { return listening.load(); });
    }

    std::unique_ptr<QTcpSocket> writeParams(const USER_PARAMS& record) {
        auto client = connectTo(scanner.listeningPort());
        const QByteArray payload(reinterpret_cast<const char*>(&record), kUserParamsSize);
        EXPECT_EQ(exchange(*client, encodeRequest(kWriteParams, payload), 2), "OK");
        return client;
    }

    int drain() {
        int count = 0;
        for (; receiver.hasPendingDatagrams(); ++count)
            receiver.receiveDatagram();
        return count;
    }

    QUdpSocket receiver;
    Scanner scanner;
    std::atomic<bool> listening{false};
};

bool sameBytes(const USER_PARAMS& a, const USER_PARAMS& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(Scanner, TwoInOneProcessShareNoState) {
    LiveScanner written(100);
    Scanner other;
    other.setSerial(77);
    const USER_PARAMS otherRecord = other.params().snapshot();
    const HelloBytes otherHello = other.hello().packet();

    USER_PARAMS record = written.scanner.params().snapshot();
    record.laser_level_u8 = 99;
    auto client = written.writeParams(record);
    client->write(encodeRequest(kWriteFactoryParams, QByteArray(kFactoryImageSize, '\x5A')));
    ASSERT_TRUE(waitUntil([&] { return written.scanner.hello().packet()[kFactoryParamsOffset] == 0x5A; }));
    written.scanner.setSerial(12);

    EXPECT_EQ(written.scanner.params().snapshot().laser_level_u8, 99);
    EXPECT_TRUE(sameBytes(other.params().snapshot(), otherRecord));
    EXPECT_EQ(other.hello().packet(), otherHello);
    EXPECT_EQ(other.settings().serial, 77);
    EXPECT_EQ(other.profile().count(), 0);
}

// After a while at a high rate the schedules are far ahead of what a low
// rate allows; without a restart the stream would stay silent for minutes.
TEST(Scanner, AClientsRateChangeRestartsTheStream) {
    LiveScanner live(491);
    live.scanner.params().update([](USER_PARAMS& p) { p.wUDP = 1; });
    ASSERT_TRUE(waitUntil([&] { return live.drain() > 0; }));
    QThread::msleep(1500);

    USER_PARAMS record = live.scanner.params().snapshot();
    record.udp_frequency_u16 = 10;
    live.writeParams(record)->disconnectFromHost();
    QThread::msleep(300);  // what the resumed stream sends for the time paused
    live.drain();
    EXPECT_TRUE(waitUntil([&] { return live.drain() > 0; }, 1000)) << "a 10 Hz stream sends within 100 ms";
}

TEST(ScannerDefaults, TheShippedParameterFileHoldsThem) {
    USER_PARAMS loaded{};
    const UserParamsIniLoad load = loadUserParamsIni(PX310_ASSETS_DIR "/user_params.ini", loaded);
    EXPECT_TRUE(sameBytes(loaded, defaultUserParams()));
    const PanelExtras defaults = ScannerSettings{}.extras();
    EXPECT_EQ(load.extras.serial, defaults.serial);
    EXPECT_EQ(load.extras.xsmr, defaults.xsmr);
    EXPECT_EQ(load.extras.zbase, defaults.zbase);
}
