#include "scanner/Scanner.h"

#include "load/LoadTestSupport.h"
#include "tcp/Replies.h"
#include "tcp/RequestHeader.h"
#include "tcp/TcpTestSupport.h"
#include "udp/ProfilePacketDecoder.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <cstring>
#include <string>
#include <utility>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kGetResult = 1;
constexpr uint32_t kReadParams = 4;
constexpr uint32_t kWriteParams = 5;
constexpr uint32_t kFlushParams = 6;
constexpr uint32_t kReadFactoryParams = 130;
constexpr uint32_t kWriteFactoryParams = 131;

DecodedProfilePacket decoded(const QByteArray& bytes) {
    const PacketDecode d = decodeProfilePacket(bytes);
    EXPECT_TRUE(d.ok()) << d.failure.message.toStdString();
    return d.packet;
}

DecodedProfilePacket nextResult(QTcpSocket& client) {
    client.write(encodeRequest(kGetResult));
    QByteArray reply;
    EXPECT_TRUE(waitUntil([&] { return decodeProfilePacket(reply += client.readAll()).ok(); }));
    return decoded(reply);
}

// What a client sees: a stream datagram or a result, and the record it reads.
struct Seen {
    DecodedProfilePacket packet;
    USER_PARAMS record{};
};
using SeenCheck = std::function<void(int value, const Seen& before, const Seen& after)>;

// A setter of the running scanner, set once while the stream runs and once
// while a client is served; `check` compares what came before and after.
struct LiveSetting {
    const char* name;
    std::function<void(Scanner&, int)> set;
    int streamValue;
    int resultValue;
    SeenCheck check;
    bool streamed = true;  // false: only the record a client reads shows it
};

void PrintTo(const LiveSetting& s, std::ostream* os) { *os << s.name; }

template <typename T>
SeenCheck carries(T DecodedProfilePacket::*field) {
    return [field](int value, const Seen&, const Seen& after) { EXPECT_EQ(after.packet.*field, T(value)); };
}
const SeenCheck kCountersRestart = [](int, const Seen& before, const Seen& after) {
    EXPECT_LT(after.packet.packetCounter, before.packet.packetCounter);
};

const LiveSetting kLiveSettings[] = {
    {"xemr", &Scanner::setXemr, 1234, 4321, carries(&DecodedProfilePacket::xemr)},
    {"zdiap", &Scanner::setZdiap, 555, 666, carries(&DecodedProfilePacket::zdiap)},
    {"serial", &Scanner::setSerial, 4567, 7654, carries(&DecodedProfilePacket::serial)},
    {"stepdir", [](Scanner& s, int v) { s.setStepdirForward(v != 0); }, 0, 0,
     carries(&DecodedProfilePacket::stepdirForward)},
    {"noise", &Scanner::setNoise, 5, 7,
     [](int, const Seen& before, const Seen& after) {
         EXPECT_TRUE(after.packet.x != before.packet.x || after.packet.z != before.packet.z);
     }},
    {"pointCount", &Scanner::setPointCountIndex, 1, 2,
     [](int v, const Seen&, const Seen& after) { EXPECT_EQ(after.record.interpolation_u8, v); }, false},
    {"rate", &Scanner::setFrequency, 200, 50, kCountersRestart}, {"dhs", &Scanner::setDhsMode, 1, 1, kCountersRestart},
};

class LiveSettingTest : public ::testing::TestWithParam<LiveSetting> {};

}  // namespace

TEST_P(LiveSettingTest, ReachesTheStreamAndTheResultsAtOnce) {
    const LiveSetting& setting = GetParam();
    LiveEmulator live(100);
    live.params().update([](USER_PARAMS& p) { p.ext_sync_signal_u16 = packet::kExtSyncStepdir; });
    live.start();
    Seen before, after;
    ASSERT_TRUE(waitUntil([&] { return (before.packet = decoded(live.nextStreamDatagram())).packetCounter >= 20; }));
    setting.set(live.scanner, setting.streamValue);
    live.nextStreamDatagram();  // may have been built before the change
    after.packet = decoded(live.nextStreamDatagram());
    if (setting.streamed)
        setting.check(setting.streamValue, before, after);

    auto client = live.connectClient();
    nextResult(*client);
    before.packet = nextResult(*client);
    setting.set(live.scanner, setting.resultValue);
    after.packet = nextResult(*client);
    const QByteArray record = exchange(*client, encodeRequest(kReadParams), kUserParamsSize);
    ASSERT_EQ(record.size(), kUserParamsSize);
    std::memcpy(&after.record, record.constData(), kUserParamsSize);
    setting.check(setting.resultValue, before, after);
}

INSTANTIATE_TEST_SUITE_P(Scanner, LiveSettingTest, ::testing::ValuesIn(kLiveSettings),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

constexpr int kSlowDiskMs = 100;
constexpr int kQuietMs = 100;
const QByteArray kOk = QByteArrayLiteral("OK");

// A flush saver that waits until the test lets it go, as a slow disk would.
class HeldSaver {
public:
    Scanner::FlushSaver saver() {
        return [this] {
            ++entered_;
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [this] { return open_; });
            ++saved_;
            return MaybeFailure();
        };
    }
    bool waitEntered(int times = 1) const { return waitUntil([&] { return entered_ >= times; }); }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        released_.notify_all();
    }
    int saved() const { return saved_; }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
    std::atomic<int> entered_{0};
    std::atomic<int> saved_{0};
};

// A scanner whose saves wait on a held disk, with a client that has flushed.
class HeldFlush : public ::testing::Test {
protected:
    void SetUp() override {
        live.scanner.setFlushSaver(disk.saver());
        live.start();
        client = live.connectClient();
    }
    void flushAndWaitForTheSave(const QByteArray& after = {}) {
        client->write(encodeRequest(kFlushParams) + after);
        ASSERT_TRUE(disk.waitEntered());
    }

    LiveEmulator live{100};
    HeldSaver disk;
    std::unique_ptr<QTcpSocket> client;
};

}  // namespace

TEST(Scanner, AFlushIsAnsweredOnlyOnceItsFileIsOnDisk) {
    QTemporaryDir dir;
    const QString path = dir.filePath("user_params.ini");
    LiveEmulator live(100);
    live.scanner.setFlushSaver([&] {
        QThread::msleep(kSlowDiskMs);
        return live.scanner.saveParams(path);
    });
    live.start();
    auto client = live.connectClient();
    ASSERT_EQ(exchange(*client, encodeRequest(kFlushParams), kOk.size()), kOk);
    EXPECT_TRUE(QFile::exists(path));
}

// A file that cannot be written loses the save, as the scanner has always answered one.
TEST(Scanner, AFlushWhoseFileCannotBeWrittenIsAnsweredOkOnceTheWriteHasFailed) {
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("file"), "not a folder"));
    LiveEmulator live(100);
    std::atomic<int> failed{0};
    live.scanner.setFlushSaver([&] {
        QThread::msleep(kSlowDiskMs);
        const MaybeFailure failure = live.scanner.saveParams(dir.filePath("file/user_params.ini"));
        failed += failure ? 1 : 0;
        return failure;
    });
    live.start();
    auto client = live.connectClient();
    ASSERT_EQ(exchange(*client, encodeRequest(kFlushParams), kOk.size()), kOk);
    EXPECT_EQ(failed, 1);
}

// Two scanners on one serving thread: one's file is written elsewhere.
TEST(Scanner, AFlushBeingSavedHoldsNoOtherScannersClient) {
    Engine engine;
    LiveEmulator busy(engine), quiet(engine);
    HeldSaver disk;
    busy.scanner.setFlushSaver(disk.saver());
    busy.start();
    quiet.start();
    auto flusher = busy.connectClient();
    auto client = quiet.connectClient();
    flusher->write(encodeRequest(kFlushParams));
    ASSERT_TRUE(disk.waitEntered());
    EXPECT_EQ(exchange(*client, encodeRequest(kReadParams), kUserParamsSize).size(), kUserParamsSize);
    disk.release();
    EXPECT_EQ(readExactly(*flusher, kOk.size()), kOk);
}

TEST_F(HeldFlush, RequestsAfterAFlushWaitUntilItIsSavedAndKeepTheirOrder) {
    flushAndWaitForTheSave(encodeRequest(kReadParams));
    EXPECT_FALSE(client->waitForReadyRead(kQuietMs)) << "answered before the file was written";
    disk.release();
    EXPECT_EQ(readExactly(*client, kOk.size() + kUserParamsSize).left(kOk.size()), kOk);
}

// The record the later client flushes may be newer than the one being written.
TEST_F(HeldFlush, AFlushWhileAnEarlierClientsSaveRunsIsAnsweredAfterASaveOfItsOwn) {
    flushAndWaitForTheSave();
    auto second = live.connectClient();
    second->write(encodeRequest(kFlushParams));
    second->waitForBytesWritten();
    QThread::msleep(kQuietMs);  // the server has the request
    disk.release();
    ASSERT_EQ(readExactly(*second, kOk.size()), kOk);
    EXPECT_EQ(disk.saved(), 2);
}

TEST_F(HeldFlush, AStopDuringAFlushReturnsOnceTheSaveIsDone) {
    flushAndWaitForTheSave();
    std::thread releaser([&] {
        QThread::msleep(kQuietMs);
        disk.release();
    });
    live.stop();
    EXPECT_EQ(disk.saved(), 1);
    releaser.join();
}

// A reboot throws away what a delay fault held: nothing sent before it may reach a client after it.
TEST(Scanner, AnOutageDropsWhatTheStreamsFaultsHeld) {
    LiveEmulator live(100);
    live.scanner.setFaults(parseFaultSpec("delay=300ms").spec);
    live.start();
    QThread::msleep(200);
    live.scanner.beginOutage(std::chrono::milliseconds(100), {});
    live.scanner.setSerial(2222);
    EXPECT_EQ(decoded(live.nextStreamDatagram()).serial, 2222);
    QThread::msleep(50);
    while (live.streamReceiver.hasPendingDatagrams())
        EXPECT_EQ(decoded(live.streamReceiver.receiveDatagram().data()).serial, 2222);
    live.scanner.beginOutage(std::chrono::milliseconds(50), [&](bool) { live.scanner.stop(); });
    EXPECT_FALSE(waitUntil([&] { return live.scanner.isRunning(); }, 300)) << "a stop during an outage ends it";
}

// A client pauses the stream until it leaves. After a while at a high rate the schedules
// are far ahead of what a low rate allows; without a restart the stream would stay silent for minutes.
TEST(Scanner, AConnectedClientPausesTheStreamAndItsRateChangeRestartsIt) {
    LiveEmulator live(100);
    live.params().update([](USER_PARAMS& p) { p.udp_frequency_u16 = 491; });
    live.start();
    ASSERT_FALSE(live.nextStreamDatagram().isEmpty());
    QThread::msleep(1500);
    auto client = live.connectClient();
    live.drainStream();  // one packet may already have been on its way
    QThread::msleep(150);
    EXPECT_LE(live.drainStream(), 1) << "paused";
    USER_PARAMS record = live.params().snapshot();
    record.udp_frequency_u16 = 10;
    EXPECT_EQ(exchange(*client, encodeRequest(kWriteParams, paramsImage(record)), 2), "OK");
    client->disconnectFromHost();
    QThread::msleep(300);  // what the resumed stream sends for the time paused
    EXPECT_FALSE(live.nextStreamDatagram(1000).isEmpty()) << "a 10 Hz stream sends within 100 ms";
}

// No setter runs for a client's factory write, yet the serial in the image is the stream's from then on.
TEST(Scanner, AClientsFactoryWriteReachesTheStreamsSerial) {
    constexpr int kWrittenSerial = 3333;
    constexpr int kImageSerial = 1;  // the serial's place in the factory image
    LiveEmulator live(100);
    live.start();
    ASSERT_FALSE(live.nextStreamDatagram().isEmpty());
    auto client = live.connectClient();
    QByteArray image = exchange(*client, encodeRequest(kReadFactoryParams), kFactoryImageSize);
    ASSERT_EQ(image.size(), kFactoryImageSize);
    const SerialBytes serial = encodeSerialNumber(kWrittenSerial);
    image.replace(kImageSerial, int(serial.size()), reinterpret_cast<const char*>(serial.data()), int(serial.size()));
    client->write(encodeRequest(kWriteFactoryParams, image));
    ASSERT_EQ(exchange(*client, encodeRequest(kReadParams), kUserParamsSize).size(), kUserParamsSize);
    client->disconnectFromHost();
    live.drainStream();
    live.nextStreamDatagram();  // may have been on its way
    EXPECT_EQ(decoded(live.nextStreamDatagram()).serial, kWrittenSerial);
}

// Datagrams the stream sends within `ms`, after dropping what was on its way.
int streamedWithin(LiveEmulator& live, int ms) {
    live.drainStream();
    QThread::msleep(ms);
    return live.drainStream();
}

// The pause command, and time for a packet the stream was building as it
// came to arrive (on a busy machine a step may be stalled in the middle).
void pauseStream(LiveEmulator& live) {
    live.scanner.setStreamPaused(true);
    streamedWithin(live, kQuietMs);
}

// A pause command and a client's pause hold the stream each on its own.
TEST(Scanner, AClientLeavingDoesNotEndAPauseCommand) {
    LiveEmulator live(100);
    live.start();
    ASSERT_FALSE(live.nextStreamDatagram().isEmpty());
    pauseStream(live);
    live.connectClient()->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return live.scanner.faultCounters().clientsConnected == 0; }));
    EXPECT_EQ(streamedWithin(live, kQuietMs), 0);
}

TEST(Scanner, AResumeCommandLeavesTheStreamHeldWhileAClientIsConnected) {
    LiveEmulator live(100);
    live.start();
    pauseStream(live);
    auto client = live.connectClient();
    live.scanner.setStreamPaused(false);
    EXPECT_EQ(streamedWithin(live, kQuietMs), 0);
}

TEST(Scanner, APauseCommandHoldsTheStreamThroughAnOutage) {
    LiveEmulator live(100);
    live.start();
    live.scanner.setStreamPaused(true);
    live.scanner.beginOutage(std::chrono::milliseconds(50), {});
    ASSERT_FALSE(live.scanner.isRunning());
    ASSERT_TRUE(waitUntil([&] { return live.scanner.isRunning(); }));
    EXPECT_EQ(streamedWithin(live, kQuietMs), 0);
}

// Unlike a client's pause, whose slots are owed and sent back to back after it.
TEST(Scanner, AStreamResumedAfterAPauseCommandSendsAtItsRateWithoutCatchingUp) {
    constexpr int kPausedMs = 600;  // 60 packets at 100 Hz
    constexpr int kAfterMs = 100;   // 10 packets at 100 Hz
    LiveEmulator live(100);
    live.start();
    ASSERT_FALSE(live.nextStreamDatagram().isEmpty());
    live.scanner.setStreamPaused(true);
    QThread::msleep(kPausedMs);
    live.drainStream();
    live.scanner.setStreamPaused(false);
    EXPECT_LT(streamedWithin(live, kAfterMs), 30);
}

// Stamped before the server listens, so that no client's write gets in first.
TEST(Scanner, TheHelloHoldsTheStartsStreamPortOnceStartReturns) {
    LiveEmulator live(100);
    const uint16_t startPort = live.params().read([](const USER_PARAMS& p) { return p.udp_port_u16; });
    live.scanner.start();
    const HelloBytes announced = live.scanner.hello().packet();
    live.stop();
    EXPECT_EQ(announced[hello::kUdpPort] | announced[hello::kUdpPort + 1] << 8, startPort);
}

TEST(ScannerDefaults, TheShippedParameterFileHoldsThem) {
    USER_PARAMS loaded{};
    const UserParamsIniLoad load = loadUserParamsIni(PX310_ASSETS_DIR "/user_params.ini", loaded);
    EXPECT_EQ(paramsImage(loaded), paramsImage(defaultUserParams()));
    const PanelExtras defaults = ScannerSettings{}.extras();
    EXPECT_EQ(std::tie(load.extras.serial, load.extras.xsmr, load.extras.zbase),
              std::tie(defaults.serial, defaults.xsmr, defaults.zbase));
    EXPECT_EQ(Scanner().picture(), CameraPicture{}) << "dark until a picture is loaded";
}

// Files are played in name order, whatever order they were written in.
// Packet k carries measurement k, its slot's: with DHS at 491 Hz (packet
// period = measurement period) consecutive packets carry consecutive frames
// over several loops, even while another thread keeps a core busy.
// A result carries the frame of its own measurement, as the stream does.
TEST(Scanner, AReplayedFolderGivesEachMeasurementItsFrameInStreamAndResults) {
    const std::vector<size_t> pointsInNameOrder{30, 10, 20};
    QTemporaryDir folder;
    for (auto [name, count] : {std::pair{"b.csv", 10}, {"c.csv", 20}, {"a.csv", 30}}) {
        QByteArray text;
        for (int i = 0; i < count; ++i)
            text += QByteArray::number(i) + ";85\n";  // half the 170 mm range: 8192 units
        ASSERT_TRUE(writeFile(folder.filePath(name), text));
    }
    LiveEmulator live(100);
    live.params().update([](USER_PARAMS& p) {
        p.udp_frequency_u16 = 491;
        p.dhs_enable_u8 = 1;
    });
    ASSERT_FALSE(live.scanner.replay(folder.path(), Playback::Loop));
    const auto frameOfItsMeasurement = [&](const QByteArray& bytes) {
        const DecodedProfilePacket p = decoded(bytes);
        const uint64_t frame = frameOfMeasurement(p.measurementCounter, 3, Playback::Loop);
        EXPECT_EQ(p.z, std::vector<uint16_t>(pointsInNameOrder[frame], 8192)) << p.measurementCounter;
        return p.measurementCounter;
    };
    std::atomic<bool> loading{true};
    std::thread load([&] { while (loading) {} });
    live.start();
    // Measured against each datagram's own packet counter: datagrams this
    // busy receiver could not take in time are dropped by the system.
    int datagrams = 0;
    EXPECT_TRUE(waitUntil([&] {
        for (; live.streamReceiver.hasPendingDatagrams(); ++datagrams) {
            const QByteArray bytes = live.streamReceiver.receiveDatagram().data();
            const uint16_t packet = u16At(bytes, packet::kPacketCounter);
            EXPECT_EQ(frameOfItsMeasurement(bytes), std::max<uint16_t>(packet, 1)) << "packet " << packet;
        }
        return datagrams >= 60;
    }));
    loading = false;
    load.join();
    auto client = live.connectClient();
    for (int i = 0; i < 4; ++i) {
        const DecodedProfilePacket result = nextResult(*client);
        EXPECT_EQ(result.x.size(), pointsInNameOrder[frameOfMeasurement(result.measurementCounter, 3, Playback::Loop)]);
    }
}
