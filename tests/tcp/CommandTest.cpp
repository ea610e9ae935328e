#include "TcpTestSupport.h"
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

class Commands : public ::testing::Test, public ServedParts {
public:
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

    MeasurementSchedule schedule;
    FakeSink sink;
    CommandDispatcher dispatcher{state, feed, &picture, schedule};
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
    EXPECT_EQ(std::pair(sink.updated, sink.flushes), std::pair(1, 1)) << "the refused writes are not announced";
    EXPECT_TRUE(run(encodeRequest(31) + encodeRequest(200)).isEmpty()) << "an unknown code has no reply";
}

TEST_F(Commands, EveryImageNumbersItsChunksFromZero) {
    picture.fill(7);
    const QByteArray first = run(encodeRequest(2) + encodeRequest(3, {}, 0, 1) + encodeRequest(3, {}, 1, 1));
    const QByteArray second = run(encodeRequest(2) + encodeRequest(3, {}, 2, 1));
    EXPECT_EQ(std::pair(first, second), std::pair(hexBytes("00 00 07 00 01 07"), hexBytes("01 00 07")));
}

TEST(PictureChunk, NeverReachesPastThePicture) {
    CameraPicture picture;
    picture.fill(0xFF);
    const auto size = [&](uint32_t offset, uint32_t length) { return pictureChunk(&picture, 0, 0, offset, length).size(); };
    EXPECT_EQ((std::vector<int>{size(307000, 1000), size(307200, 1000), size(~0u, ~0u), size(1, ~0u)}),
              (std::vector<int>{2 + 200, 2, 2, 2 + kCameraPictureSize - 1}));
    EXPECT_EQ(pictureChunk(nullptr, 4, 5, 0, 1000), hexBytes("04 05"));
}

TEST_F(Commands, InversionWorksOnACopyOfTheProfile) {
    const ProfilePoint point{100, 0};
    profile.replace(&point, 1);
    params.update([](USER_PARAMS& p) { p.invertXZ = 1; });  // X alone; the stream's test inverts both
    EXPECT_EQ(run(encodeRequest(1)).mid(12, 4), hexBytes("9C FF 00 00"));
    EXPECT_EQ(profile.at(0), point) << "the drawn profile is left alone";
}

// A block a client reads whose bytes never change, pinned byte by byte;
// `unpinned` ranges (offset, size) are the host's or pinned elsewhere.
struct FixedBlock {
    const char* name;
    QByteArray (*read)(Commands&);
    int size;
    std::vector<std::pair<int, const char*>> bytes;  // all others 0
    std::vector<std::pair<int, int>> unpinned;
};

void PrintTo(const FixedBlock& b, std::ostream* os) { *os << b.name; }

const FixedBlock kFixedBlocks[] = {
    {"extents", [](Commands& c) { return c.run(encodeRequest(32)); }, 30,
     {{0, "00 00 80 0C BC 34 B0 04 C4 09 C0 5D BC 34 E2 04 9C 63 08 07 BC 34 28 00 28 00 28 00 28 00"}}, {}},
    {"hello",
     [](Commands& c) {
         const HelloBytes p = c.hello.packet();
         return QByteArray(reinterpret_cast<const char*>(p.data()), kHelloPacketSize);
     },
     kHelloPacketSize,
     {{0, "36 01 C0 A8 02 60"},
      {12, "87 7B 00 00 28 00 AF 00 22 00 A0 00"
           "00 40 00 80 9A 54 33 01 01 D4 53 33 01 D4 53 33 01 64 77 33 01 FC 64 7B 00 FC D4 A0 CD FC B0 95"
           "F9 FB 58 4F FD FB E4 E2 00 FC F0 E7 FD FB C4 C7 01 FC 70 81 05 FC 9C A8 DF FC 78 9D 0B FC 00 31"
           "0F FC 84 C4 12 FC 84 C4 12 FC 0C 58 16 FC 94 EB 19 FC 1C 7F 1D FC C8 38 21 FC C8 38 21 FC 50 CC"
           "24 FC D4 5F 28 FC 5C F3 2B FC E4 86 2F FC 6C 1A 33 FC 6C 1A 33 FC F0 AD 36 FC 78 41 3A FC 00 D5"
           "3D FC 00 D5 3D FC 88 68 41 FC 01 FC 44 FC B8 B5 48 FC 40 49 4C FC 7C 90 4F FC 28 4A 53 FC B0 DD"
           "56 FC D8 03 57 FC 5C 97 5A FC E4 2A 5E FC 6C BE 61 FC 30 88 63 FC 00 FF 01 FC 78 E5 68 FC 00 79"
           "6C FC AC 32 70 FC 34 C6 73 FC BC 59 77 FC 40 ED 7A FC 24 D2 7B FC"
           "FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00"}},
     {{hello::kMac, kMacSize}}},
    {"factory defaults", [](Commands& c) { return c.run(encodeRequest(130)); }, kFactoryImageSize,
     {{257, "40 00 00 00 2A 38 01"}, {488, "03 01 03 28 FF 0F 00 00 FF 0F 00 00 FF 0F"},
      {510, "32 07 FF 02 64 00 64"}, {526, "C0 A8 01 64 FF FF FF 00 FF FF FF FF 73 17 00 00 6C 02"}},
     {{0, kFactoryParamsSize}, {hello::kFactoryTemplateMac, kMacSize}}},
};

class FixedBlocks : public Commands, public ::testing::WithParamInterface<FixedBlock> {};

TEST_P(FixedBlocks, HoldTheirBytes) {
    const FixedBlock& block = GetParam();
    const QByteArray read = block.read(*this);
    ASSERT_EQ(read.size(), block.size);
    QByteArray expected(block.size, '\0');
    for (const auto& [offset, hex] : block.bytes)
        expected.replace(offset, hexBytes(hex).size(), hexBytes(hex));
    for (const auto& [offset, size] : block.unpinned)
        expected.replace(offset, size, read.mid(offset, size));
    EXPECT_EQ(read.toHex(' '), expected.toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(Replies, FixedBlocks, ::testing::ValuesIn(kFixedBlocks));

}  // namespace
