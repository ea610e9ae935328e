#include "params/UserParams.h"

#include <gtest/gtest.h>
#include <cstring>
#include <thread>

namespace {

const uint8_t* bytesOf(const USER_PARAMS& p) { return reinterpret_cast<const uint8_t*>(&p); }

TEST(UserParamsRecord, FieldsLandAtTheirWireOffsetsLowByteFirst) {
    USER_PARAMS p;
    std::memset(&p, 0, sizeof p);
    p.config_version_u16 = 0x0102;
    p.exposure_time_u16 = 0x0304;
    p.wnd_top_u8 = 300;
    p.udp_port_u16 = 6003;
    p.tcp_port_u16 = 620;
    p.interpolation_u8 = 4;
    p.invertXZ = 3;
    p.SDChannels = 0xBEEF;
    p.reserved[444] = 0x77;
    const uint8_t* b = bytesOf(p);
    EXPECT_EQ(b[0], 0x02);
    EXPECT_EQ(b[1], 0x01);
    EXPECT_EQ(b[3], 0x04);
    EXPECT_EQ(b[4], 0x03);
    EXPECT_EQ(b[5], 300 & 0xFF);
    EXPECT_EQ(b[6], 300 >> 8);
    EXPECT_EQ(b[25], 6003 & 0xFF);
    EXPECT_EQ(b[26], 6003 >> 8);
    EXPECT_EQ(b[29], 620 & 0xFF);
    EXPECT_EQ(b[30], 620 >> 8);
    EXPECT_EQ(b[35], 4);
    EXPECT_EQ(b[59], 3);
    EXPECT_EQ(b[65], 0xEF);
    EXPECT_EQ(b[66], 0xBE);
    EXPECT_EQ(b[511], 0x77);
}

TEST(Ipv4TextRule, FieldBytesReverseTheDottedText) {
    uint8_t field[4] = {10, 0, 168, 192};
    EXPECT_EQ(ipv4FieldToText(field), "192.168.0.10");
    uint8_t back[4] = {};
    ipv4TextToField("192.168.0.10", back);
    EXPECT_EQ(0, std::memcmp(field, back, 4));
    EXPECT_EQ(ipv4FieldToNumber(field), 0xC0A8000Au);
}

TEST(Ipv4TextRule, BadPartsGiveZeroAndWidePartsKeepLowBits) {
    uint8_t field[4] = {9, 9, 9, 9};
    ipv4TextToField("300.x..7", field);
    EXPECT_EQ(field[3], 44);
    EXPECT_EQ(field[2], 0);
    EXPECT_EQ(field[1], 0);
    EXPECT_EQ(field[0], 7);

    uint8_t shortField[4] = {9, 9, 9, 9};
    ipv4TextToField("10.1", shortField);
    EXPECT_EQ(ipv4FieldToText(shortField), "10.1.0.0");
    ipv4TextToField("", shortField);
    EXPECT_EQ(ipv4FieldToText(shortField), "0.0.0.0");
}

TEST(UserParamsStore, StartsZeroAndReadersNeverSeeAHalfWrittenRecord) {
    UserParamsStore store;
    const USER_PARAMS zero = store.snapshot();
    for (int i = 0; i < kUserParamsSize; ++i)
        ASSERT_EQ(bytesOf(zero)[i], 0) << i;

    // The writer alternates between two whole records; every snapshot must be
    // one of them, byte for byte.
    USER_PARAMS a, b;
    std::memset(&a, 0x11, sizeof a);
    std::memset(&b, 0xEE, sizeof b);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i)
            store.replace(i % 2 ? a : b);
        done = true;
    });
    int torn = 0;
    while (!done) {
        const USER_PARAMS s = store.snapshot();
        const uint8_t first = bytesOf(s)[0];
        for (int i = 1; i < kUserParamsSize; ++i)
            if (bytesOf(s)[i] != first) {
                ++torn;
                break;
            }
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
