#include "support/TestUtil.h"
#include "udp/HelloPacket.h"

#include <gtest/gtest.h>

namespace {

QByteArray bytes(const HelloBytes& p, int from, int count) {
    return QByteArray(reinterpret_cast<const char*>(p.data()) + from, count);
}

TEST(HelloBuffer, TemplateHasDeviceTypeFactoryDefaultsAndPadding) {
    HelloBuffer hello;
    const HelloBytes p = hello.packet();
    EXPECT_EQ(bytes(p, 0, 6), hexBytes("36 01 C0 A8 02 60"));
    EXPECT_EQ(bytes(p, 12, 12), hexBytes("87 7B 00 00 28 00 AF 00 22 00 A0 00"));
    EXPECT_EQ(bytes(p, 24, 4), hexBytes("00 40 00 80"));
    EXPECT_EQ(bytes(p, 228, 10), hexBytes("77 FC 40 ED 7A FC 24 D2 7B FC"));
    EXPECT_EQ(bytes(p, 262, 6), hexBytes("FF 00 FF 00 FF 00"));
}

TEST(HelloBuffer, SerialNumberUsesTheSevenBitMiddleByte) {
    EXPECT_EQ(encodeSerialNumber(123), (SerialBytes{0x7B, 0x00, 0x00}));
    EXPECT_EQ(encodeSerialNumber(32767), (SerialBytes{0xFF, 0x7F, 0x00}));
    EXPECT_EQ(encodeSerialNumber(32768), (SerialBytes{0x00, 0x00, 0x01}));
    EXPECT_EQ(encodeSerialNumber(65535), (SerialBytes{0xFF, 0x7F, 0x01}));
    EXPECT_EQ(encodeSerialNumber(999999), (SerialBytes{0x3F, 0x42, 0x1E}));
}

TEST(HelloBuffer, PanelValuesAndRunStampLandAtTheirOffsets) {
    HelloBuffer hello;
    hello.setLocalAddress("10.0.0.5");
    hello.setLocalAddress("");  // no change
    hello.setSerialNumber(999999);
    hello.setXemr(70);
    hello.setZdiap(170);
    hello.setXsmr(3);
    hello.setZbase(4);
    hello.markRunning(6003, 620);
    const HelloBytes p = hello.packet();
    EXPECT_EQ(bytes(p, 2, 4), hexBytes("0A 00 00 05"));
    EXPECT_EQ(bytes(p, 13, 3), hexBytes("3F 42 1E"));
    EXPECT_EQ(bytes(p, 16, 8), hexBytes("04 00 AA 00 03 00 46 00"));
    EXPECT_EQ(bytes(p, 45, 2), hexBytes("11 00"));
    EXPECT_EQ(bytes(p, 232, 6), hexBytes("73 17 24 D2 6C 02"));

    hello.setLocalAddress("1.2");
    EXPECT_EQ(bytes(hello.packet(), 2, 4), hexBytes("01 02 00 00"));
}

TEST(HelloBuffer, FactoryImageIsTheBlockThenTheTemplateTail) {
    HelloBuffer hello;
    hello.setMac({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    QByteArray written(100, '\x5A');
    hello.writeFactoryPrefix(reinterpret_cast<const uint8_t*>(written.constData()), written.size());

    const FactoryImage image = hello.factoryImage();
    const QByteArray img(reinterpret_cast<const char*>(image.data()), kFactoryImageSize);
    EXPECT_EQ(img.left(49), QByteArray(49, '\x5A'));
    EXPECT_EQ(img.mid(49, 4), hexBytes("FB E4 E2 00"));  // untouched block bytes (hello 61..64)
    EXPECT_EQ(img.mid(256, 8), hexBytes("00 40 00 00 00 2A 38 01"));
    EXPECT_EQ(img.mid(272, 6), hexBytes("AA BB CC DD EE FF"));
    EXPECT_EQ(img.mid(488, 14), hexBytes("03 01 03 28 FF 0F 00 00 FF 0F 00 00 FF 0F"));
    EXPECT_EQ(img.mid(510, 7), hexBytes("32 07 FF 02 64 00 64"));
    EXPECT_EQ(img.mid(526, 18), hexBytes("C0 A8 01 64 FF FF FF 00 FF FF FF FF 73 17 00 00 6C 02"));
    EXPECT_EQ(img.mid(544), QByteArray(kFactoryImageSize - 544, '\0'));
    EXPECT_EQ(bytes(hello.packet(), 6, 6), hexBytes("AA BB CC DD EE FF"));
}

}  // namespace
