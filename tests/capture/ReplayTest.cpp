// What one emulator sent, recorded by the client or by tcpdump, replayed by a
// second one: the same profiles in the same order, frame k at measurement k.
#include "CaptureTestSupport.h"
#include "profile/ProfileSource.h"
#include "support/TestUtil.h"
#include "tools/ToolProcess.h"
#include "udp/ProfilePacketDecoder.h"

#include <QNetworkDatagram>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

enum class Recorder { Client, Tcpdump };

// `said` is what the client tells of its recording, ended by SIGTERM as by Ctrl-C.
QString recordWithClient(HeadlessProcess& recorded, QString& said) {
    const QString path = recorded.path("client.pcap");
    const QStringList record{"stream", "--port", QString::number(recorded.udpPort), "--seconds", "60", "--record", path};
    const ToolRun run = runClient(record, 30000, 1000);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    said = run.out;
    return path;
}

QString recordWithTcpdump(HeadlessProcess& recorded) {
    const QString path = recorded.path("tcpdump.pcap");
    QProcess capture;
    capture.start(QStandardPaths::findExecutable("tcpdump"),
                  {"-i", "lo", "-c", "100", "-w", path, "udp", "dst", "port", QString::number(recorded.udpPort)});
    EXPECT_TRUE(capture.waitForFinished(10000)) << capture.readAllStandardError().toStdString();
    return path;
}

class Replay : public testing::TestWithParam<Recorder> {};

TEST_P(Replay, ASecondEmulatorSendsTheRecordedProfilesInOrderAndLoops) {
    if (GetParam() == Recorder::Tcpdump && (geteuid() != 0 || QStandardPaths::findExecutable("tcpdump").isEmpty()))
        GTEST_SKIP() << "needs root and tcpdump";
    HeadlessProcess recorded;
    ASSERT_TRUE(recorded.start({"--noise", "3", "--frequency", "200"}));  // noise makes every profile differ
    QString said;
    const QString path =
        GetParam() == Recorder::Client ? recordWithClient(recorded, said) : recordWithTcpdump(recorded);
    CaptureReader reader;
    CapturedProfile profile;
    std::vector<ProfileSnapshot> recording;
    bool timed = false;  // arrival times of these years to the microsecond
    for (reader.open(path); reader.next(profile);) {
        timed = timed || (profile.seconds > 1600000000 && profile.microseconds != 0);
        recording.push_back(profile.points);
    }
    ASSERT_GT(recording.size(), 20u);
    EXPECT_TRUE(timed && recording[0].x != recording[1].x);
    EXPECT_TRUE(said.isEmpty() || said.contains(QStringLiteral("recorded %1 datagrams").arg(recording.size())))
        << said.toStdString();

    HeadlessProcess player;
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress(QHostAddress::LocalHost), player.udpPort));
    const QStringList filter{"--replay-port", QString::number(recorded.udpPort), "--replay-source", "127.0.0.1"};
    ASSERT_TRUE(player.start(QStringList{"--replay", path} + filter)) << player.errors().toStdString();
    bool looped = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            while (receiver.hasPendingDatagrams()) {
                const PacketDecode d = decodeProfilePacket(receiver.receiveDatagram().data());
                const uint16_t measurement = d.packet.measurementCounter;
                const uint64_t k = frameOfMeasurement(measurement, recording.size(), Playback::Loop);
                const ProfileSnapshot& frame = recording[k];
                EXPECT_TRUE(d.ok() && d.packet.x == frame.x && d.packet.z == frame.z) << "measurement " << measurement;
                looped = looped || measurement > recording.size() + 1;
            }
            return looped;
        },
        30000));
}

INSTANTIATE_TEST_SUITE_P(Recorders, Replay, testing::Values(Recorder::Client, Recorder::Tcpdump),
                         [](const auto& info) { return info.param == Recorder::Client ? "Client" : "Tcpdump"; });

TEST(ReplayFailure, AFolderWithoutRecordingsStopsItWithAMessage) {
    HeadlessProcess player;
    QTemporaryDir empty;
    EXPECT_FALSE(player.start({"--replay", empty.path()}));
    const ToolRun run = player.waitForEnd();
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.err.contains("no CSV files in " + empty.path())) << run.err.toStdString();
}

}  // namespace

namespace {

struct FrameCase {
    const char* name;
    Playback playback;
    uint64_t measurement;
    long long frame;
};

class HeldFramesFrame : public testing::TestWithParam<FrameCase> {};

constexpr long long kHeldFrames = 3;

}  // namespace

TEST_P(HeldFramesFrame, TellsWhichFrameAMeasurementPlaysOfHowMany) {
    const HeldFramesSource source(std::vector<ProfileSnapshot>(kHeldFrames), GetParam().playback);
    const RecordingFrame at = source.frameOf(GetParam().measurement);
    EXPECT_EQ(std::make_pair(at.frame, at.frames), std::make_pair(GetParam().frame, kHeldFrames));
}

INSTANTIATE_TEST_SUITE_P(Measurements, HeldFramesFrame,
                         testing::Values(FrameCase{"NoneYet", Playback::Loop, 0, 1}, FrameCase{"First", Playback::Loop, 1, 1},
                                         FrameCase{"Last", Playback::Loop, 3, 3}, FrameCase{"LoopsOver", Playback::Loop, 4, 1},
                                         FrameCase{"OnceHoldsTheLast", Playback::Once, 5, 3}),
                         [](const testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });
