#include "params/UserParams.h"
#include "params/UserParamsFields.h"

#include <gtest/gtest.h>

// The record's layout is held by static_asserts; what remains is the
// address rule: field bytes are the dotted text reversed.
TEST(Ipv4TextRule, FieldBytesReverseTheDottedTextAndBadPartsReadAsZero) {
    const uint8_t field[4] = {10, 0, 168, 192};
    EXPECT_EQ(std::pair(ipv4FieldToText(field), ipv4FieldToNumber(field)), std::pair(QString("192.168.0.10"), 0xC0A8000Au));
    uint8_t back[4] = {9, 9, 9, 9};
    ipv4TextToField("300.x..7", back);  // wide parts keep their low bits
    EXPECT_EQ(ipv4FieldToText(back), "44.0.0.7");
    ipv4TextToField("10.1", back);  // short text pads with 0
    EXPECT_EQ(ipv4FieldToText(back), "10.1.0.0");
}

// What a user types is strict, unlike what a record file holds.
TEST(FieldText, TypedAddressesAreFourDottedNumbersUpTo255AndARefusedNumberIsNamed) {
    const UserParamsField& field = *findUserParamsField(QStringLiteral("tcp_ip_address_u8"));
    USER_PARAMS params{};
    EXPECT_FALSE(setFieldFromText(params, field, " 255.0.0.9 "));
    for (const char* bad : {"1a.2.3.4", "1.2.3.256", "1.2.3", "1..3.4", "1.2.3.4.5", "0001.2.3.4", "1.2.3.-4"})
        EXPECT_TRUE(setFieldFromText(params, field, bad)) << bad;
    EXPECT_EQ(fieldValueText(params, field), "255.0.0.9") << "a refused text leaves the record alone";
    const UserParamsField& port = *findUserParamsField(QStringLiteral("udp_port_u16"));
    EXPECT_TRUE(setFieldFromText(params, port, "+5"));
    const MaybeFailure refused = setFieldFromText(params, port, "65536");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->message, R"(udp_port_u16 takes a whole number from 0 to 65535, not "65536")");
}
