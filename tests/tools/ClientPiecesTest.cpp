#include "PacketCounterTracker.h"

#include "params/UserParamsFields.h"
#include "udp/HelloDecoder.h"
#include "udp/ProfilePacketDecoder.h"

#include "support/TestUtil.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <cstring>

namespace {

const UserParamsField& field(const char* name) {
    const UserParamsField* found = findUserParamsField(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return *found;
}

QByteArray recordBytes(const USER_PARAMS& p) { return QByteArray(reinterpret_cast<const char*>(&p), sizeof p); }

}  // namespace

TEST(UserParamsFields, TextValuesAreCheckedAgainstTheFieldsWidthAndKind) {
    USER_PARAMS p{};
    const QByteArray untouched = recordBytes(p);
    QString error;
    EXPECT_FALSE(setFieldFromText(p, field("laser_level_u8"), "256", &error));
    EXPECT_TRUE(error.contains("0 to 255")) << error.toStdString();
    for (const char* port : {"65536", "-1", "12ab", ""})
        EXPECT_FALSE(setFieldFromText(p, field("udp_port_u16"), port, nullptr)) << port;
    for (const char* address : {"1.2.3", "1.2.3.256", "1.2.3.4.5", "1.2.-3.4", "a.b.c.d"})
        EXPECT_FALSE(setFieldFromText(p, field("tcp_ip_address_u8"), address, nullptr)) << address;
    EXPECT_EQ(recordBytes(p), untouched) << "a refused value leaves the record alone";
}

TEST(UserParamsFields, AcceptedValuesLandAtTheFieldsBytesOnly) {
    USER_PARAMS p{};
    // wnd_top_u8 is 16 bits wide despite its name.
    ASSERT_TRUE(setFieldFromText(p, field("wnd_top_u8"), "300", nullptr));
    ASSERT_TRUE(setFieldFromText(p, field("udp_port_u16"), "0x1773", nullptr));
    ASSERT_TRUE(setFieldFromText(p, field("SDChannels"), "65535", nullptr));
    ASSERT_TRUE(setFieldFromText(p, field("udp_ip_address_u8"), " 192.168.0.10 ", nullptr));
    const QByteArray bytes = recordBytes(p);
    EXPECT_EQ(bytes.mid(5, 2), hexBytes("2C 01"));
    EXPECT_EQ(bytes.mid(25, 2), hexBytes("73 17"));
    EXPECT_EQ(bytes.mid(65, 2), hexBytes("FF FF"));
    EXPECT_EQ(bytes.mid(21, 4), hexBytes("0A 00 A8 C0"));
    EXPECT_EQ(bytes.count('\0'), 512 - 2 - 2 - 2 - 3) << "nothing else was written";
    EXPECT_EQ(fieldValueText(p, field("udp_ip_address_u8")), "192.168.0.10");
    EXPECT_EQ(fieldValueText(p, field("udp_port_u16")), "6003");
}

TEST(UserParamsFields, NamesMatchExactlyAndOnlyNamedFields) {
    EXPECT_EQ(findUserParamsField("laser_level_u8"), &field("laser_level_u8"));
    EXPECT_EQ(findUserParamsField("LASER_LEVEL_U8"), nullptr);
    EXPECT_EQ(findUserParamsField("reserved"), nullptr);
}

namespace {

ProfileSnapshot twoPoints() {
    ProfileSnapshot points;
    points.x = {-100, 4096};
    points.z = {0, 16384};
    return points;
}

PacketFields fieldsWith(uint16_t extSync) {
    PacketFields fields;
    fields.measurementCounter = 70001;  // low 16 bits: 4465
    fields.packetCounter = 7;
    fields.extSyncSignal = extSync;
    fields.serial = encodeSerialNumber(999999);
    fields.xemr = 70;
    fields.zdiap = 170;
    fields.stepdirForward = 1;
    return fields;
}

QByteArray encoded(const ProfileSnapshot& points, const PacketFields& fields) {
    QByteArray out;
    encodeProfilePacket(points, fields, out);
    return out;
}

}  // namespace

TEST(ProfilePacketDecoder, ReadsBackWhatTheEncoderWroteInBothTrailerForms) {
    for (uint16_t extSync : {uint16_t(0), packet::kExtSyncStepdir}) {
        const PacketDecode d = decodeProfilePacket(encoded(twoPoints(), fieldsWith(extSync)));
        ASSERT_TRUE(d.ok()) << d.error.toStdString();
        EXPECT_EQ(d.packet.stepdir, extSync == packet::kExtSyncStepdir);
        const DecodedProfilePacket& k = d.packet;
        EXPECT_EQ(std::vector<int>({k.measurementCounter, k.packetCounter, k.serial, k.xemr, k.zdiap, k.stepdirForward}),
                  std::vector<int>({4465, 7, 999999, 70, 170, k.stepdir ? 1 : 0}));
        EXPECT_EQ(d.packet.x, (std::vector<int16_t>{-100, 4096}));
        EXPECT_EQ(d.packet.z, (std::vector<uint16_t>{0, 16384}));
    }
}

TEST(ProfilePacketDecoder, RefusesBytesWhoseChecksumOrLengthsDisagree) {
    const QByteArray good = encoded(twoPoints(), fieldsWith(0));

    QByteArray flipped = good;
    flipped[12] = char(flipped[12] ^ 0x01);
    EXPECT_EQ(decodeProfilePacket(flipped).fault, PacketFault::Checksum);

    EXPECT_EQ(decodeProfilePacket(good.left(good.size() - 1)).fault, PacketFault::Malformed);
    EXPECT_EQ(decodeProfilePacket(good + '\0').fault, PacketFault::Malformed);
    EXPECT_EQ(decodeProfilePacket(QByteArray()).fault, PacketFault::Malformed);

    // A point count far beyond the bytes must not be read past the end.
    QByteArray lying = good;
    lying[packet::kPointCount] = char(0xFF);
    lying[packet::kPointCount + 1] = char(0xFF);
    EXPECT_EQ(decodeProfilePacket(lying).fault, PacketFault::Malformed);

    QByteArray oddTrailer = good;
    oddTrailer[12 + 8] = 9;  // trailer length neither 8 nor 10
    EXPECT_EQ(decodeProfilePacket(oddTrailer).fault, PacketFault::Malformed);
}

TEST(ProfilePacketDecoder, UnitsBecomeMillimetresOfTheRange) {
    EXPECT_DOUBLE_EQ(unitsToMillimetres(16384, 170), 170.0);
    EXPECT_DOUBLE_EQ(unitsToMillimetres(-4096, 70), -17.5);
}

TEST(HelloDecoder, ReadsTheAnnouncedDevice) {
    HelloBuffer hello;
    hello.setSerialNumber(32768);
    hello.setXemr(70);
    hello.setZdiap(171);
    hello.setXsmr(5);
    hello.setZbase(6);
    hello.setLocalAddress("10.0.0.5");
    hello.setMac({0xAA, 0xBB, 0xCC, 0x01, 0x02, 0x03});
    hello.markRunning(6003, 620);
    const HelloBytes bytes = hello.packet();
    const auto info = decodeHelloPacket(QByteArray(reinterpret_cast<const char*>(bytes.data()), kHelloPacketSize));
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(QStringList({info->address, macText(info->mac)}), QStringList({"10.0.0.5", "AA:BB:CC:01:02:03"}));
    const auto& f = info->factory;
    EXPECT_EQ(std::vector<int>({info->deviceType, f.serial, f.xemr, f.zdiap, f.xsmr, f.zbase, f.udpPort, f.tcpPort}),
              std::vector<int>({310, 32768, 70, 171, 5, 6, 6003, 620}));

    EXPECT_FALSE(decodeHelloPacket(QByteArray(kHelloPacketSize - 1, '\0')).has_value());
}

TEST(HelloDecoder, SerialNumbersSurviveTheirThreeByteForm) {
    for (int serial : {0, 123, 32767, 32768, 65535, 999999}) {
        const SerialBytes bytes = encodeSerialNumber(serial);
        EXPECT_EQ(decodeSerialNumber(bytes.data()), serial);
    }
}

namespace {

PacketCounterTracker tracked(std::initializer_list<int> counters) {
    PacketCounterTracker tracker;
    for (int c : counters)
        tracker.note(uint16_t(c));
    return tracker;
}

}  // namespace

TEST(PacketCounterTracker, CountsGapsAsLostAndLatePacketsAsReordered) {
    EXPECT_EQ(tracked({0, 1, 2, 3}).lost(), 0);
    const PacketCounterTracker gap = tracked({0, 1, 4, 5});
    EXPECT_EQ(gap.lost(), 2);
    EXPECT_EQ(gap.reordered(), 0);

    // 2 arrives after 3: late, and no longer lost.
    const PacketCounterTracker late = tracked({0, 1, 3, 2, 4});
    EXPECT_EQ(late.lost(), 0);
    EXPECT_EQ(late.reordered(), 1);
    EXPECT_EQ(late.packets(), 5);

    // A second copy is neither late nor a loss made good.
    const PacketCounterTracker copies = tracked({0, 1, 1, 4, 4, 2, 2, 3});
    EXPECT_EQ(copies.duplicates(), 3);
    EXPECT_EQ(copies.reordered(), 2);
    EXPECT_EQ(copies.lost(), 0);
}

TEST(PacketCounterTracker, FollowsTheCounterAcrossItsWrapAndRestarts) {
    const PacketCounterTracker wrap = tracked({65534, 65535, 0, 1});
    EXPECT_EQ(wrap.lost(), 0);
    EXPECT_EQ(wrap.reordered(), 0);
    EXPECT_EQ(tracked({65535, 2}).lost(), 2);

    // A new schedule starts again at 0: neither loss nor reordering.
    const PacketCounterTracker restart = tracked({5000, 5001, 0, 1, 2});
    EXPECT_EQ(restart.restarts(), 1);
    EXPECT_EQ(restart.lost(), 0);
    EXPECT_EQ(restart.reordered(), 0);
}
