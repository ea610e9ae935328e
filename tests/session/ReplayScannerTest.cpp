// A scanner playing a folder of CSV files: frame k at measurement k, in the
// stream and in results alike, and back to the drawn profile on request.
#include "scanner/Scanner.h"

#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/RequestHeader.h"
#include "udp/ProfilePacketDecoder.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {

constexpr uint32_t kGetResult = 1;
// Point counts of the files in name order (written out of that order):
// the count names the frame.
const std::vector<int> kFrameCounts{30, 10, 20};

class ReplayScannerTest : public testing::Test {
protected:
    void SetUp() override {
        for (auto [name, count] : {std::pair{"b.csv", 10}, {"c.csv", 20}, {"a.csv", 30}}) {
            QFile file(folder.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            for (int i = 0; i < count; ++i)
                file.write(QByteArray::number(i) + ";50\n");
        }
        receiver.bind(QHostAddress(QHostAddress::LocalHost), 0);
        scanner.params().update([&](USER_PARAMS& p) {
            p.tcp_port_u16 = 0;
            p.udp_port_u16 = receiver.localPort();
        });
        scanner.setFrequency(100);
        scanner.profile().replace(rampProfile(100));
    }

    void start() {
        std::atomic<bool> listening{false};
        QObject::connect(&scanner, &Scanner::listening, [&] { listening = true; });
        scanner.start();
        ASSERT_TRUE(waitUntil([&] { return listening.load(); }));
    }

    static int expectedCount(uint16_t measurement) {
        const uint64_t frame = frameOfMeasurement(measurement, kFrameCounts.size(), Playback::Loop);
        return kFrameCounts[frame];
    }

    // The next `n` stream packets, each checked against its measurement.
    void expectStreamFollowsTheFolder(int n) {
        for (int seen = 0; seen < n;) {
            ASSERT_TRUE(waitUntil([&] { return receiver.hasPendingDatagrams(); }));
            const PacketDecode d = decodeProfilePacket(receiver.receiveDatagram().data());
            ASSERT_TRUE(d.ok()) << d.error.toStdString();
            EXPECT_EQ(int(d.packet.x.size()), expectedCount(d.packet.measurementCounter))
                << "measurement " << d.packet.measurementCounter;
            ++seen;
        }
    }

    DecodedProfilePacket getResult(QTcpSocket& client) {
        client.write(encodeRequest(kGetResult));
        QByteArray reply;
        PacketDecode d;
        EXPECT_TRUE(waitUntil([&] {
            reply += client.readAll();
            return (d = decodeProfilePacket(reply)).ok();
        })) << d.error.toStdString();
        return d.packet;
    }

    QTemporaryDir folder;
    QUdpSocket receiver;
    Scanner scanner;
};

TEST_F(ReplayScannerTest, StreamAndResultsPlayTheFrameOfTheirMeasurement) {
    QString error;
    ASSERT_TRUE(scanner.replay(folder.path(), Playback::Loop, &error)) << error.toStdString();
    EXPECT_EQ(scanner.replayedPath(), folder.path());
    start();
    expectStreamFollowsTheFolder(8);

    auto client = connectTo(scanner.listeningPort());
    for (int i = 0; i < 4; ++i) {
        const DecodedProfilePacket result = getResult(*client);
        EXPECT_EQ(int(result.x.size()), expectedCount(result.measurementCounter))
            << "measurement " << result.measurementCounter;
    }
    scanner.showDrawnProfile();
    EXPECT_EQ(getResult(*client).x.size(), 100u);
    EXPECT_TRUE(scanner.replayedPath().isEmpty());
}

TEST_F(ReplayScannerTest, SwitchesWhileStreaming) {
    start();
    QString error;
    ASSERT_TRUE(scanner.replay(folder.path(), Playback::Loop, &error)) << error.toStdString();
    // Packets built before the switch may still be on their way.
    ASSERT_TRUE(waitUntil([&] {
        return receiver.hasPendingDatagrams() && decodeProfilePacket(receiver.receiveDatagram().data()).packet.x.size() != 100;
    }));
    expectStreamFollowsTheFolder(4);
}

TEST_F(ReplayScannerTest, AnUnreadableRecordingChangesNothing) {
    QString error;
    EXPECT_FALSE(scanner.replay(folder.filePath("a.csv"), Playback::Loop, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(scanner.replayedPath().isEmpty());
    ProfileSnapshot frame;
    scanner.copyStreamedFrame(frame);
    EXPECT_EQ(frame.count(), 100);
}

}  // namespace
