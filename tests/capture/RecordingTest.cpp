// The client's recording of a running emulator's stream reads back as the
// profiles that were sent.
#include "capture/CaptureReader.h"
#include "tools/ToolProcess.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(RecordingTest, ClientRecordingHoldsTheStreamsProfilesInOrder) {
    HeadlessProcess emulator;
    ASSERT_TRUE(emulator.start({"--noise", "3", "--frequency", "200"}));  // noise makes every profile differ
    const QString path = emulator.path("client.pcap");
    const ToolRun run =
        runClient({"stream", "--port", QString::number(emulator.udpPort), "--seconds", "1", "--record", path});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QRegularExpressionMatch recorded = QRegularExpression("recorded (\\d+) datagrams").match(run.out);
    ASSERT_TRUE(recorded.hasMatch()) << run.out.toStdString();

    CaptureReader reader;
    ASSERT_TRUE(reader.open(path)) << reader.error().toStdString();
    CapturedProfile profile;
    std::vector<ProfileSnapshot> profiles;
    while (reader.next(profile))
        profiles.push_back(profile.points);
    EXPECT_TRUE(reader.error().isEmpty()) << reader.error().toStdString();
    EXPECT_EQ(int(profiles.size()), recorded.captured(1).toInt());
    ASSERT_GT(profiles.size(), 20u);
    EXPECT_EQ(profiles[0].count(), 640);
    EXPECT_NE(profiles[0].x, profiles[1].x) << "each profile once, as sent";
}

}  // namespace
