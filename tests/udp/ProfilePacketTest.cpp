#include "support/TestUtil.h"
#include "udp/ProfilePacket.h"

#include <gtest/gtest.h>

namespace {

ProfileSnapshot profileOf(std::vector<int16_t> x, std::vector<uint16_t> z) {
    ProfileSnapshot s;
    s.x = std::move(x);
    s.z = std::move(z);
    return s;
}

PacketFields fields() {
    PacketFields f;
    f.measurementCounter = 0x10005;  // only the low 16 bits go out
    f.packetCounter = 7;
    f.serial = encodeSerialNumber(123);
    f.xemr = 70;
    f.zdiap = 170;
    return f;
}


TEST(PacketChecksum, MatchesTheRfc1071Example) {
    // RFC 1071's example words 0001 f203 f4f5 f6f7, summed little-endian.
    const QByteArray data = hexBytes("01 00 03 F2 F5 F4 F7 F6");
    EXPECT_EQ(packetChecksum(reinterpret_cast<const uint8_t*>(data.constData()), data.size()), uint16_t(~0xDDF2 & 0xFFFF));
    // 0x1FFFF: the first fold carries again.
    const QByteArray twice = hexBytes("FF FF FF FF 01 00");
    EXPECT_EQ(packetChecksum(reinterpret_cast<const uint8_t*>(twice.constData()), twice.size()), 0xFFFE);
}

TEST(ProfilePacket, EmptyProfileStandardAndStepdirForms) {
    QByteArray out;
    encodeProfilePacket(ProfileSnapshot{}, fields(), out);
    ASSERT_EQ(out.size(), 24);
    EXPECT_EQ(out.left(22), hexBytes("05 00 07 00 00 00 00 00 02 FF 00 00 08 00 01 7B 00 00 46 00 AA 00"));
    EXPECT_EQ(wordSum(out), 0xFFFF);

    PacketFields sd = fields();
    sd.extSyncSignal = packet::kExtSyncStepdir;
    sd.stepdirForward = 1;
    encodeProfilePacket(ProfileSnapshot{}, sd, out);
    ASSERT_EQ(out.size(), 26);
    EXPECT_EQ(out.mid(12, 12), hexBytes("0A 00 01 7B 00 00 46 00 AA 00 01 00"));
    EXPECT_EQ(wordSum(out), 0xFFFF);
}

TEST(ProfilePacket, PointsAreAllXThenAllZAndTheWholePacketSumsToFFFF) {
    QByteArray out;
    encodeProfilePacket(profileOf({-4096, 100}, {8192, 0}), fields(), out);
    ASSERT_EQ(out.size(), 4 * 2 + 24);
    EXPECT_EQ(out.mid(10, 10), hexBytes("02 00 00 F0 64 00 00 20 00 00"));
    EXPECT_EQ(wordSum(out), 0xFFFF);
}

TEST(ProfilePacket, InversionNegatesXAndMirrorsZ) {
    ProfileSnapshot s = profileOf({100, -32768}, {0, 16384});
    transformProfile(s, 3, {});
    EXPECT_EQ(s.x, (std::vector<int16_t>{-100, -32768}));
    EXPECT_EQ(s.z, (std::vector<uint16_t>{16384, 0}));
    transformProfile(s, 0, {});
    EXPECT_EQ(s.x[0], -100);
}

TEST(ProfilePacket, NoiseStaysWithinItsRule) {
    std::srand(42);
    ProfileSnapshot s = profileOf(std::vector<int16_t>(500, 10), std::vector<uint16_t>(500, 20));
    transformProfile(s, 0, streamNoise(1));
    EXPECT_EQ(s.x, std::vector<int16_t>(500, 10));
    transformProfile(s, 0, streamNoise(20));
    for (int i = 0; i < 500; ++i) {
        EXPECT_TRUE(s.x[i] == 10 || s.x[i] == 11);
        EXPECT_TRUE(s.z[i] == 20 || s.z[i] == 21);
    }
    ProfileSnapshot r = profileOf(std::vector<int16_t>(500, 0), std::vector<uint16_t>(500, 0));
    transformProfile(r, 0, resultNoise(5));
    bool sawFour = false;
    for (int i = 0; i < 500; ++i) {
        EXPECT_LE(r.x[i], 4);
        EXPECT_GE(r.x[i], 0);
        EXPECT_LE(r.z[i], 4);
        sawFour |= r.z[i] == 4;
    }
    EXPECT_TRUE(sawFour);
    EXPECT_FALSE(streamNoise(0));
}

TEST(ProfilePacket, LongProfilesAreCutToOneDatagramConsistently) {
    ProfileSnapshot big = profileOf(std::vector<int16_t>(20000, 1), std::vector<uint16_t>(20000, 2));
    QByteArray out;
    encodeProfilePacket(big, fields(), out);
    ASSERT_EQ(out.size(), profilePacketSize(kMaxPacketPoints, false));
    EXPECT_EQ(uint8_t(out[10]) | uint8_t(out[11]) << 8, kMaxPacketPoints);
    EXPECT_EQ(wordSum(out), 0xFFFF);
    EXPECT_LE(out.size(), 65507);
}

}  // namespace
