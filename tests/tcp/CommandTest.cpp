#include "support/TestUtil.h"
#include "tcp/CommandDispatcher.h"
#include "tcp/Replies.h"

#include <gtest/gtest.h>

namespace {

struct FakeSink : CommandSink {
    QByteArray replies;
    int updated = 0;
    int flushes = 0;
    void sendReply(const QByteArray& bytes, const char*) override { replies += bytes; }
    void log(const QString&) override {}
    void userParamsUpdated() override { ++updated; }
    void flushParamsRequested() override { ++flushes; }
    void clientFinished() override {}
};

class Commands : public ::testing::Test {
protected:
    Commands() { schedule.setFrequency(0); }  // results unpaced

    QByteArray run(const QByteArray& stream) {
        RequestFramer framer;
        framer.feed(stream);
        Request request;
        while (framer.next(request))
            dispatcher.dispatch(request, sink);
        return std::exchange(sink.replies, {});
    }

    QByteArray factoryImage() { return run(encodeRequest(130)); }

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

TEST_F(Commands, FactoryWriteTakesExactlyTheFirst49BytesOfTheImageAfterAnyPayload) {
    const QByteArray before = factoryImage();
    Request shortImage;
    shortImage.header.command = 131;
    shortImage.payload = QByteArray(48, '\x11');
    dispatcher.dispatch(shortImage, sink);
    EXPECT_EQ(factoryImage(), before) << "a shorter image is refused whole";
    shortImage.payload += '\x11';
    dispatcher.dispatch(shortImage, sink);
    EXPECT_EQ(factoryImage().left(50), QByteArray(49, '\x11') + before[49]);

    const QByteArray written(kFactoryImageSize, '\xA5');
    EXPECT_TRUE(run(encodeRequest(131, "\x01\x02\x03\x04") + written).isEmpty());
    EXPECT_EQ(factoryImage(), written.left(49) + before.mid(49));
    EXPECT_EQ(run(encodeRequest(1)).mid(12 + 3, 3), written.mid(1, 3)) << "results carry the new serial";
    const QByteArray image(kFactoryImageSize, '\x5A');
    EXPECT_EQ(run(encodeRequest(131, image) + encodeRequest(6)), "OK") << "a payload of one image is the image";
    EXPECT_EQ(factoryImage().left(49), image.left(49));
}

TEST_F(Commands, ParamsWriteTakesOnlyAWholeRecordAndFlushAsksForItToBeKept) {
    QByteArray record = run(encodeRequest(4));
    record[59] = 3;  // invertXZ
    EXPECT_TRUE(run(encodeRequest(5, record.left(511)) + encodeRequest(5, record + 'x')).isEmpty());
    EXPECT_EQ(run(encodeRequest(5, record) + encodeRequest(6)), "OKOK");
    EXPECT_EQ(run(encodeRequest(4)), record);
    EXPECT_EQ(sink.updated, 1) << "the refused writes are not announced";
    EXPECT_EQ(sink.flushes, 1);
    EXPECT_TRUE(run(encodeRequest(200)).isEmpty()) << "an unknown code has no reply";
}

TEST_F(Commands, EveryImageNumbersItsChunksFromZero) {
    picture.fill(7);
    const QByteArray first = run(encodeRequest(2) + encodeRequest(3, {}, 0, 1) + encodeRequest(3, {}, 1, 1));
    const QByteArray second = run(encodeRequest(2) + encodeRequest(3, {}, 2, 1));
    EXPECT_EQ(first, hexBytes("00 00 07 00 01 07"));
    EXPECT_EQ(second, hexBytes("01 00 07"));
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
    params.update([](USER_PARAMS& p) { p.invertXZ = 3; });
    EXPECT_EQ(run(encodeRequest(1)).mid(12, 4), hexBytes("9C FF 00 40"));
    EXPECT_EQ(profile.at(0), point) << "the drawn profile is left alone";
}

}  // namespace
