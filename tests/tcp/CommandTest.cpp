#include "TcpTestSupport.h"
#include "support/TestUtil.h"
#include "tcp/CommandDispatcher.h"
#include "tcp/CommandTable.h"
#include "tcp/Replies.h"

#include <gtest/gtest.h>
#include <cstring>

namespace {

struct FakeSink : CommandSink {
    QByteArray replies;
    QStringList lines;
    int updated = 0;
    int flushes = 0;
    int finished = 0;
    void sendReply(const QByteArray& bytes, const char*) override { replies += bytes; }
    void log(const QString& line) override { lines << line; }
    void userParamsUpdated() override { ++updated; }
    void flushParamsRequested() override { ++flushes; }
    void clientFinished() override { ++finished; }
};

class Commands : public ::testing::Test {
protected:
    Commands() {
        for (int i = 0; i < kCameraPictureSize; ++i)
            picture[i] = static_cast<uint8_t>(i % 251);
        schedule.setFrequency(0);  // results unpaced
    }

    QByteArray run(const QByteArray& stream) {
        RequestFramer framer;
        framer.feed(stream);
        Request request;
        while (framer.next(request))
            dispatcher.dispatch(request, sink);
        return std::exchange(sink.replies, {});
    }

    QByteArray result() { return run(encodeRequest(1)); }

    void setParams(void (*change)(USER_PARAMS&)) { params.update(change); }

    UserParamsStore params;
    ProfileStore profile;
    ProfileFeed feed{profile};
    CameraPicture picture{};
    HelloBuffer hello;
    MeasurementSchedule schedule;
    ServerSettings settings;
    FakeSink sink;
    CommandDispatcher dispatcher{params, feed, &picture, hello, schedule, settings};
};

TEST_F(Commands, LogOnlyAndUnknownCodesLogTheirNameAndSendNothing) {
    for (const CommandInfo& info : kCommandTable) {
        if (info.action != CommandAction::LogOnly)
            continue;
        sink.lines.clear();
        EXPECT_TRUE(run(encodeRequest(info.code, "payload ignored")).isEmpty()) << info.code;
        EXPECT_EQ(sink.lines, QStringList{info.name}) << info.code;
    }
    sink.lines.clear();
    EXPECT_TRUE(run(encodeRequest(200) + encodeRequest(26)).isEmpty());
    EXPECT_EQ(sink.lines, (QStringList{"default", "default"}));

    EXPECT_TRUE(run(encodeRequest(25)).isEmpty());
    EXPECT_EQ(sink.finished, 1);
    EXPECT_EQ(sink.updated + sink.flushes, 0);
}

TEST_F(Commands, FactoryWriteReplacesOnlyTheFirst49BytesOfTheImageAfterAnyPayload) {
    const QByteArray before = run(encodeRequest(130));
    ASSERT_EQ(before.size(), kFactoryImageSize);

    QByteArray written(kFactoryImageSize, '\0');
    for (int i = 0; i < written.size(); ++i)
        written[i] = static_cast<char>(0xA0 + i % 7);
    const QByteArray after = run(encodeRequest(131, "\x01\x02\x03\x04") + written + encodeRequest(130));
    EXPECT_FALSE(sink.lines.contains("default")) << "the image is not run as requests";
    EXPECT_EQ(after, written.left(49) + before.mid(49));

    // Carried by the announcer's packet and by results as well.
    EXPECT_EQ(hello.packet()[hello::kSerial], uint8_t(written[1]));
    EXPECT_EQ(result().mid(12 + 3, 3), written.mid(1, 3));
}

TEST_F(Commands, FactoryWriteShorterThanTheWritableBlockIsRefusedWhole) {
    const QByteArray before = run(encodeRequest(130));
    Request request;
    request.header.command = 131;
    request.payload = QByteArray(48, '\x11');
    dispatcher.dispatch(request, sink);
    EXPECT_EQ(run(encodeRequest(130)), before);
    request.payload += '\x11';
    dispatcher.dispatch(request, sink);
    EXPECT_EQ(run(encodeRequest(130)).left(50), QByteArray(49, '\x11') + before[49]);
}

TEST_F(Commands, ParamsWriteOfAnotherSizeIsRefusedSilently) {
    const QByteArray original = run(encodeRequest(4));
    EXPECT_TRUE(run(encodeRequest(5, QByteArray(511, '\x33')) + encodeRequest(5, QByteArray(513, '\x33'))).isEmpty());
    EXPECT_EQ(run(encodeRequest(4)), original);
    EXPECT_EQ(sink.updated, 0);
}

TEST_F(Commands, ExtentsBlockIsFixed) {
    EXPECT_EQ(run(encodeRequest(32)), hexBytes("00 00 80 0C BC 34 B0 04 C4 09 C0 5D BC 34 E2 04 9C 63 08 07 BC 34 "
                                               "28 00 28 00 28 00 28 00"));
    EXPECT_EQ(sink.lines, (QStringList{"get extends", "30"}));
}

TEST_F(Commands, EveryImageNumbersItsChunksFromZero) {
    const QByteArray first = run(encodeRequest(2) + encodeRequest(3, {}, 0, 1) + encodeRequest(3, {}, 1, 1));
    const QByteArray second = run(encodeRequest(2) + encodeRequest(3, {}, 2, 1));
    ASSERT_EQ(first.size(), 6);
    EXPECT_EQ(first.mid(1, 2) + first.mid(4, 2), hexBytes("00 00 01 01")) << "chunk counter, picture byte";
    EXPECT_EQ(first[3], first[0]);
    EXPECT_EQ(second, QByteArray(1, char(first[0] + 1)) + hexBytes("00 02"));
}

TEST(PictureChunk, NeverReachesPastThePicture) {
    CameraPicture picture;
    picture.fill(0xFF);
    EXPECT_EQ(pictureChunk(&picture, 0, 0, 307000, 1000).size(), 2 + 200);
    EXPECT_EQ(pictureChunk(&picture, 0, 0, 307200, 1000).size(), 2);
    EXPECT_EQ(pictureChunk(&picture, 0, 0, 0xFFFFFFFFu, 0xFFFFFFFFu).size(), 2);
    EXPECT_EQ(pictureChunk(&picture, 0, 0, 1, 0xFFFFFFFFu).size(), 2 + kCameraPictureSize - 1);
    EXPECT_EQ(pictureChunk(nullptr, 4, 5, 0, 1000), hexBytes("04 05"));
}

TEST_F(Commands, InversionWorksOnACopyOfTheProfile) {
    const ProfilePoint point{100, 0};
    profile.replace(&point, 1);
    setParams([](USER_PARAMS& p) { p.invertXZ = 3; });
    EXPECT_EQ(result().mid(12, 4), hexBytes("9C FF 00 40"));
    EXPECT_EQ(profile.at(0), point) << "the drawn profile is left alone";
}

TEST_F(Commands, ResultsAreCutToTheSharedCapConsistently) {
    profile.replace(rampProfile(kMaxProfilePoints));
    const QByteArray packet = result();
    ASSERT_EQ(packet.size(), profilePacketSize(kMaxPacketPoints, false));
    EXPECT_EQ(u16At(packet, 10), kMaxPacketPoints);
    EXPECT_EQ(u16At(packet, 12 + 4 * kMaxPacketPoints), 8) << "trailer right after the last Z";
    EXPECT_EQ(wordSum(packet), 0xFFFF);
}

}  // namespace
