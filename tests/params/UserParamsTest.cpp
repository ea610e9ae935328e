#include "params/UserParams.h"

#include <gtest/gtest.h>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

// The record's layout is held by static_asserts; what remains is the
// address rule: field bytes are the dotted text reversed.
TEST(Ipv4TextRule, FieldBytesReverseTheDottedTextAndBadPartsReadAsZero) {
    const uint8_t field[4] = {10, 0, 168, 192};
    EXPECT_EQ(ipv4FieldToText(field), "192.168.0.10");
    EXPECT_EQ(ipv4FieldToNumber(field), 0xC0A8000Au);
    uint8_t back[4] = {9, 9, 9, 9};
    ipv4TextToField("300.x..7", back);  // wide parts keep their low bits; short text pads with 0
    EXPECT_EQ(ipv4FieldToText(back), "44.0.0.7");
    ipv4TextToField("10.1", back);
    EXPECT_EQ(ipv4FieldToText(back), "10.1.0.0");
}

TEST(UserParamsStore, StartsZeroAndReadersNeverSeeAHalfWrittenRecord) {
    UserParamsStore store;
    USER_PARAMS zero, a, b;
    std::memset(&zero, 0, sizeof zero);
    std::memset(&a, 0x11, sizeof a);
    std::memset(&b, 0xEE, sizeof b);
    USER_PARAMS s = store.snapshot();
    EXPECT_EQ(std::memcmp(&s, &zero, sizeof s), 0);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 5000; ++i)
            store.replace(i % 2 ? a : b);
        done = true;
    });
    int torn = 0;
    while (!done) {
        s = store.snapshot();
        torn += std::memcmp(&s, &a, sizeof s) != 0 && std::memcmp(&s, &b, sizeof s) != 0 &&
                std::memcmp(&s, &zero, sizeof s) != 0;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
