// The client's recording and a tcpdump capture of a running emulator's stream
// read back as the profiles that were sent.
#include "capture/CaptureReader.h"
#include "support/TestUtil.h"
#include "tools/ToolProcess.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

std::vector<ProfileSnapshot> readProfiles(const QString& path) {
    CaptureReader reader;
    std::vector<ProfileSnapshot> profiles;
    CapturedProfile profile;
    EXPECT_TRUE(reader.open(path)) << reader.error().toStdString();
    while (reader.next(profile))
        profiles.push_back(profile.points);
    EXPECT_TRUE(reader.error().isEmpty()) << reader.error().toStdString();
    return profiles;
}

bool sameProfile(const ProfileSnapshot& a, const ProfileSnapshot& b) { return a.x == b.x && a.z == b.z; }

// Noise makes every profile differ, so order shows.
class RecordingTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(emulator.start({"--noise", "3", "--frequency", "200"})); }

    std::vector<ProfileSnapshot> recordWithClient() {
        const QString path = emulator.path("client.pcap");
        const ToolRun run =
            runClient({"stream", "--port", QString::number(emulator.udpPort), "--seconds", "1", "--record", path});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        const QRegularExpressionMatch recorded = QRegularExpression("recorded (\\d+) datagrams").match(run.out);
        EXPECT_TRUE(recorded.hasMatch()) << run.out.toStdString();
        std::vector<ProfileSnapshot> profiles = readProfiles(path);
        EXPECT_EQ(int(profiles.size()), recorded.captured(1).toInt());
        return profiles;
    }

    HeadlessProcess emulator;
};

TEST_F(RecordingTest, ClientRecordingHoldsTheStreamsProfiles) {
    const std::vector<ProfileSnapshot> profiles = recordWithClient();
    ASSERT_GT(profiles.size(), 20u);
    EXPECT_EQ(profiles[0].count(), 640);
    EXPECT_FALSE(sameProfile(profiles[0], profiles[1])) << "noise differs between profiles";
}

TEST_F(RecordingTest, TcpdumpCaptureOnLoopbackHoldsWhatTheClientRecorded) {
    const QString tcpdump = QStandardPaths::findExecutable("tcpdump");
    if (geteuid() != 0 || tcpdump.isEmpty())
        GTEST_SKIP() << "needs root and tcpdump";
    const QString path = emulator.path("tcpdump.pcap");
    QProcess capture;
    capture.start(tcpdump, {"-i", "lo", "-U", "-w", path, "udp", "dst", "port", QString::number(emulator.udpPort)});
    QByteArray said;
    ASSERT_TRUE(waitUntil([&] { return (said += capture.readAllStandardError()).contains("listening on"); }, 10000))
        << said.toStdString();
    const std::vector<ProfileSnapshot> recorded = recordWithClient();
    QThread::msleep(500);  // tcpdump drops what it has not yet taken from the kernel when stopped
    capture.terminate();
    ASSERT_TRUE(waitUntil([&] { return capture.state() == QProcess::NotRunning; }, 10000));

    const std::vector<ProfileSnapshot> captured = readProfiles(path);
    ASSERT_FALSE(recorded.empty());
    auto start = std::find_if(captured.begin(), captured.end(), [&](auto& p) { return sameProfile(p, recorded[0]); });
    ASSERT_LE(size_t(captured.end() - start), captured.size());
    ASSERT_GE(size_t(captured.end() - start), recorded.size());
    EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), start, sameProfile));
}

}  // namespace
