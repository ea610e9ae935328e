#include "scanner/Scanner.h"

#include "load/LoadTestSupport.h"
#include "tcp/RequestHeader.h"
#include "tcp/TcpTestSupport.h"

#include <QThread>
#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr uint32_t kWriteParams = 5;
constexpr uint32_t kWriteFactoryParams = 131;

std::unique_ptr<QTcpSocket> writeParams(LiveEmulator& live, const USER_PARAMS& record) {
    auto client = live.connectClient();
    const QByteArray payload(reinterpret_cast<const char*>(&record), kUserParamsSize);
    EXPECT_EQ(exchange(*client, encodeRequest(kWriteParams, payload), 2), "OK");
    return client;
}

bool sameBytes(const USER_PARAMS& a, const USER_PARAMS& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(Scanner, TwoInOneProcessShareNoState) {
    LiveEmulator written(100);
    written.start();
    Scanner other;
    other.setSerial(77);
    const USER_PARAMS otherRecord = other.params().snapshot();
    const HelloBytes otherHello = other.hello().packet();

    USER_PARAMS record = written.params().snapshot();
    record.laser_level_u8 = 99;
    auto client = writeParams(written, record);
    client->write(encodeRequest(kWriteFactoryParams, QByteArray(kFactoryImageSize, '\x5A')));
    ASSERT_TRUE(waitUntil([&] { return written.scanner.hello().packet()[kFactoryParamsOffset] == 0x5A; }));
    written.scanner.setSerial(12);

    EXPECT_EQ(written.params().snapshot().laser_level_u8, 99);
    EXPECT_TRUE(sameBytes(other.params().snapshot(), otherRecord));
    EXPECT_EQ(other.hello().packet(), otherHello);
    EXPECT_EQ(other.settings().serial, 77);
    EXPECT_EQ(other.profile().count(), 0);
}

// After a while at a high rate the schedules are far ahead of what a low
// rate allows; without a restart the stream would stay silent for minutes.
TEST(Scanner, AClientsRateChangeRestartsTheStream) {
    LiveEmulator live(100);
    live.params().update([](USER_PARAMS& p) { p.udp_frequency_u16 = 491; });
    live.start();
    ASSERT_FALSE(live.nextStreamDatagram().isEmpty());
    QThread::msleep(1500);

    USER_PARAMS record = live.params().snapshot();
    record.udp_frequency_u16 = 10;
    writeParams(live, record)->disconnectFromHost();
    QThread::msleep(300);  // what the resumed stream sends for the time paused
    EXPECT_FALSE(live.nextStreamDatagram(1000).isEmpty()) << "a 10 Hz stream sends within 100 ms";
}

TEST(ScannerDefaults, TheShippedParameterFileHoldsThem) {
    USER_PARAMS loaded{};
    const UserParamsIniLoad load = loadUserParamsIni(PX310_ASSETS_DIR "/user_params.ini", loaded);
    EXPECT_TRUE(sameBytes(loaded, defaultUserParams()));
    const PanelExtras defaults = ScannerSettings{}.extras();
    EXPECT_EQ(std::tie(load.extras.serial, load.extras.xsmr, load.extras.zbase),
              std::tie(defaults.serial, defaults.xsmr, defaults.zbase));
}
