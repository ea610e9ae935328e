// What one emulator sent, recorded by the client or by tcpdump, replayed by a
// second one: the same profiles in the same order, frame k at measurement k.
#include "CaptureTestSupport.h"
#include "profile/ProfileSource.h"
#include "support/TestUtil.h"
#include "tools/ToolProcess.h"
#include "udp/ProfilePacketDecoder.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// Noise makes every recorded profile differ, so order shows.
enum class Recorder { Client, Tcpdump };

QString recordWithClient(HeadlessProcess& recorded) {
    const QString path = recorded.path("client.pcap");
    const ToolRun run =
        runClient({"stream", "--port", QString::number(recorded.udpPort), "--seconds", "1", "--record", path});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return path;
}

QString recordWithTcpdump(HeadlessProcess& recorded) {
    const QString path = recorded.path("tcpdump.pcap");
    QProcess capture;
    capture.start(QStandardPaths::findExecutable("tcpdump"),
                  {"-i", "lo", "-U", "-w", path, "udp", "dst", "port", QString::number(recorded.udpPort)});
    QByteArray said;
    EXPECT_TRUE(waitUntil([&] { return (said += capture.readAllStandardError()).contains("listening on"); }, 10000))
        << said.toStdString();
    QThread::msleep(1000);
    capture.terminate();
    EXPECT_TRUE(waitUntil([&] { return capture.state() == QProcess::NotRunning; }, 10000));
    return path;
}

class Replay : public testing::TestWithParam<Recorder> {};

TEST_P(Replay, ASecondEmulatorSendsTheRecordedProfilesInOrderAndLoops) {
    if (GetParam() == Recorder::Tcpdump && (geteuid() != 0 || QStandardPaths::findExecutable("tcpdump").isEmpty()))
        GTEST_SKIP() << "needs root and tcpdump";
    HeadlessProcess recorded;
    ASSERT_TRUE(recorded.start({"--noise", "3", "--frequency", "200"}));
    const QString path = GetParam() == Recorder::Client ? recordWithClient(recorded) : recordWithTcpdump(recorded);
    const std::vector<ProfileSnapshot> recording = capturedProfiles(path);
    ASSERT_GT(recording.size(), 20u);

    HeadlessProcess player;
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), player.udpPort));
    ASSERT_TRUE(player.start({"--replay", path})) << player.errors().toStdString();

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

INSTANTIATE_TEST_SUITE_P(Recorders, Replay, testing::Values(Recorder::Client, Recorder::Tcpdump));

TEST(ReplayFailure, ARecordingThatCannotBeReadStopsItWithAMessage) {
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
