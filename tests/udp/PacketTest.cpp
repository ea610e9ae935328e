#include "support/TestUtil.h"
#include "state/DeviceIdentity.h"
#include "udp/HelloPacket.h"
#include "udp/ProfilePacket.h"
#include "udp/ProfilePacketDecoder.h"

#include <gtest/gtest.h>

namespace {

QByteArray bytes(const uint8_t* data, int from, int count) {
    return QByteArray(reinterpret_cast<const char*>(data) + from, count);
}

TEST(DeviceIdentity, PanelValuesMacAndAtMost49WrittenBytesLandAtTheirOffsets) {
    // The serial number's middle byte has seven bits.
    EXPECT_EQ(encodeSerialNumber(32767), (SerialBytes{0xFF, 0x7F, 0x00}));
    EXPECT_EQ(encodeSerialNumber(32768), (SerialBytes{0x00, 0x00, 0x01}));
    DeviceIdentity hello;
    const QByteArray written(100, '\x5A');
    hello.writeFactoryPrefix(reinterpret_cast<const uint8_t*>(written.constData()), written.size());
    hello.setZbase(4);
    hello.setZdiap(300);
    hello.setXsmr(3);
    hello.setLocalAddress("1.2");
    hello.setLocalAddress("");  // no change
    hello.setMac({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    const HelloBytes p = hello.packet();
    EXPECT_EQ(bytes(p.data(), 0, 22), hexBytes("36 01 01 02 00 00 AA BB CC DD EE FF 5A 5A 5A 5A 04 00 2C 01 03 00"));
    const FactoryImage image = hello.factoryImage();
    EXPECT_EQ(bytes(image.data(), 0, kFactoryParamsSize), bytes(p.data(), 12, kFactoryParamsSize)) << "one block";
    EXPECT_EQ(bytes(image.data(), 10, 43), written.left(39) + hexBytes("FB E4 E2 00"));
    EXPECT_EQ(bytes(image.data(), 272, 6), hexBytes("AA BB CC DD EE FF"));
}

TEST(PacketChecksum, MatchesTheRfc1071ExampleAndFoldsTwice) {
    // RFC 1071's example words 0001 f203 f4f5 f6f7, summed little-endian.
    const QByteArray data = hexBytes("01 00 03 F2 F5 F4 F7 F6");
    EXPECT_EQ(packetChecksum(reinterpret_cast<const uint8_t*>(data.constData()), 8), uint16_t(~0xDDF2 & 0xFFFF));
    // 0x1FFFF: the first fold carries again.
    EXPECT_EQ(packetChecksum(reinterpret_cast<const uint8_t*>(hexBytes("FF FF FF FF 01 00").constData()), 6), 0xFFFE);
}

TEST(ProfilePacket, PointsAreAllXThenAllZBetweenHeaderAndTrailer) {
    PacketFields fields;
    fields.measurementCounter = 0x10005;  // only the low 16 bits go out
    fields.packetCounter = 7;
    fields.serial = encodeSerialNumber(123);
    fields.xemr = 70;
    fields.zdiap = 170;
    QByteArray out;
    encodeProfilePacket(ProfileSnapshot{{-4096, 100}, {8192, 0}}, fields, out);
    ASSERT_EQ(out.size(), 12 + 4 * 2 + 12);
    EXPECT_EQ(out.left(30), hexBytes("05 00 07 00 00 00 00 00 02 FF 02 00 00 F0 64 00 00 20 00 00 "
                                     "08 00 01 7B 00 00 46 00 AA 00"));
    EXPECT_EQ(wordSum(out), 0xFFFF);
    EXPECT_EQ(decodeProfilePacket(out.left(1)).failure.code, PacketFault::Malformed);
}

TEST(ProfilePacket, LongProfilesAreCutToOneDatagramConsistently) {
    QByteArray out;
    encodeProfilePacket(ProfileSnapshot{std::vector<int16_t>(20000, 1), std::vector<uint16_t>(20000, 2)}, {}, out);
    ASSERT_EQ(out.size(), profilePacketSize(kMaxPacketPoints, false));
    EXPECT_EQ(std::pair(int(u16At(out, packet::kPointCount)), int(wordSum(out))), std::pair(kMaxPacketPoints, 0xFFFF));
}

constexpr uint64_t kFirstStamp = 7;
constexpr uint64_t kOtherStamp = 8;
constexpr uint64_t kNoStamp = 0;

PacketFields fieldsOf(uint32_t counter, uint16_t extSync) {
    PacketFields fields;
    fields.measurementCounter = fields.packetCounter = counter;
    fields.extSyncSignal = extSync;
    fields.serial = encodeSerialNumber(int(counter));
    fields.stepdirForward = 1;
    return fields;
}

struct Reencoding {
    const char* name;
    uint64_t firstStamp;
    ProfileSnapshot second;
    PacketFields secondFields;
};

class ReencodedPacket : public ::testing::TestWithParam<Reencoding> {};

// A buffer encoded once, then again with what the case changes, against a fresh encoding.
TEST_P(ReencodedPacket, EqualsAFreshEncoding) {
    const Reencoding& c = GetParam();
    QByteArray reused;
    EncodedPoints encoded;
    encodeProfilePacket(ProfileSnapshot{{-4096, 100, 5}, {8192, 0, 9}, c.firstStamp}, fieldsOf(1, 0), reused, &encoded);
    encodeProfilePacket(c.second, c.secondFields, reused, &encoded);
    QByteArray fresh;
    encodeProfilePacket(c.second, c.secondFields, fresh);
    EXPECT_EQ(reused.toHex(' '), fresh.toHex(' '));
}

INSTANTIATE_TEST_SUITE_P(
    ProfilePacket, ReencodedPacket,
    ::testing::Values(
        Reencoding{"OtherCounters", kFirstStamp, {{-4096, 100, 5}, {8192, 0, 9}, kFirstStamp}, fieldsOf(0x1FFFF, 0)},
        Reencoding{"StepdirForm", kFirstStamp, {{-4096, 100, 5}, {8192, 0, 9}, kFirstStamp},
                   fieldsOf(2, packet::kExtSyncStepdir)},
        Reencoding{"AnotherStamp", kFirstStamp, {{1, 2, 3}, {4, 5, 6}, kOtherStamp}, fieldsOf(2, 0)},
        Reencoding{"Unstamped", kNoStamp, {{1, 2, 3}, {4, 5, 6}, kNoStamp}, fieldsOf(2, 0)},
        Reencoding{"FewerPoints", kFirstStamp, {{-4096, 100}, {8192, 0}, kFirstStamp}, fieldsOf(2, 0)}),
    [](const ::testing::TestParamInfo<Reencoding>& info) { return std::string(info.param.name); });

TEST(ProfilePacket, StreamNoiseAddsZeroOrOne) {
    std::srand(42);
    ProfileSnapshot s{std::vector<int16_t>(500, 10), std::vector<uint16_t>(500, 20)};
    transformProfile(s, 0, streamNoise(20));
    for (int i = 0; i < 500; ++i)
        EXPECT_TRUE((s.x[i] == 10 || s.x[i] == 11) && (s.z[i] == 20 || s.z[i] == 21)) << i;
    EXPECT_NE(s.x, std::vector<int16_t>(500, 10));
    EXPECT_FALSE(streamNoise(0));
}

}  // namespace
