// What one emulator sent, recorded by the client, replayed by a second one:
// the same profiles in the same order, frame k at measurement k.
#include "CaptureTestSupport.h"
#include "profile/ProfileSource.h"
#include "support/TestUtil.h"
#include "tools/ToolProcess.h"
#include "udp/ProfilePacketDecoder.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <gtest/gtest.h>

namespace {

// Noise makes every recorded profile differ, so order shows.
std::vector<ProfileSnapshot> recordAnEmulator(HeadlessProcess& recorded) {
    EXPECT_TRUE(recorded.start({"--noise", "3", "--frequency", "200"}));
    const QString path = recorded.path("stream.pcap");
    const ToolRun run =
        runClient({"stream", "--port", QString::number(recorded.udpPort), "--seconds", "1", "--record", path});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return capturedProfiles(path);
}

TEST(Replay, ASecondEmulatorSendsTheRecordedProfilesInOrderAndLoops) {
    HeadlessProcess recorded;
    const std::vector<ProfileSnapshot> recording = recordAnEmulator(recorded);
    ASSERT_GT(recording.size(), 20u);

    HeadlessProcess player;
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), player.udpPort));
    ASSERT_TRUE(player.start({"--replay", recorded.path("stream.pcap")})) << player.errors().toStdString();

    const uint64_t frames = recording.size();
    int checked = 0;
    bool looped = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            while (receiver.hasPendingDatagrams()) {
                const PacketDecode d = decodeProfilePacket(receiver.receiveDatagram().data());
                const uint16_t measurement = d.packet.measurementCounter;
                const ProfileSnapshot& frame = recording[frameOfMeasurement(measurement, frames, Playback::Loop)];
                EXPECT_TRUE(d.ok() && d.packet.x == frame.x && d.packet.z == frame.z) << "measurement " << measurement;
                ++checked;
                looped = looped || measurement > frames + 1;
            }
            return looped && checked > 20;
        },
        30000));
}

TEST(Replay, ARecordingThatCannotBeReadStopsItWithAMessage) {
    HeadlessProcess player;
    QFile junk(player.path("junk.pcap"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a capture at all");
    junk.close();
    EXPECT_FALSE(player.start({"--replay", junk.fileName()}));
    const ToolRun run = player.waitForEnd();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains("junk.pcap")) << run.err.toStdString();
}

}  // namespace
