#include "params/UserParams.h"
#include "udp/UdpHello.h"
#include "udp/UdpTestSupport.h"

#include <QNetworkInterface>
#include <gtest/gtest.h>
#include <atomic>

namespace {

QByteArray helloBytes(const HelloBytes& packet) {
    return QByteArray(reinterpret_cast<const char*>(packet.data()), static_cast<int>(packet.size()));
}

TEST(HardwareAddress, MissingOrBadPartsGiveZero) {
    EXPECT_EQ(parseHardwareAddress("00:1A:2b:3C:4d:FF"), (MacBytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0xFF}));
    EXPECT_EQ(parseHardwareAddress("AA:BB"), (MacBytes{0xAA, 0xBB, 0, 0, 0, 0}));
    EXPECT_EQ(parseHardwareAddress("AA:zz:CC"), (MacBytes{0xAA, 0, 0xCC, 0, 0, 0}));
    EXPECT_EQ(parseHardwareAddress(""), MacBytes{});
    EXPECT_EQ(parseHardwareAddress("1:2:3:4:5:6:7:8"), (MacBytes{1, 2, 3, 4, 5, 6}));
}

TEST(HardwareAddress, FirstInterfaceThatIsNotLoopbackGivesTheMac) {
    EXPECT_EQ(firstNonLoopbackMac({{true, "00:00:00:00:00:00"}, {false, "02:11:22:33:44:55"}, {false, "66:66:66:66:66:66"}}),
              (MacBytes{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
    // One without a hardware address still counts: its MAC is all zeros.
    EXPECT_EQ(firstNonLoopbackMac({{false, ""}, {false, "02:11:22:33:44:55"}}), MacBytes{});
    EXPECT_FALSE(firstNonLoopbackMac({{true, "01:02:03:04:05:06"}}).has_value());
    EXPECT_FALSE(firstNonLoopbackMac({}).has_value());
}

class HelloTest : public ::testing::Test {
protected:
    HelloTest() {
        params.update([](USER_PARAMS& p) {
            p.udp_port_u16 = 6003;
            p.tcp_port_u16 = 620;
        });
    }

    UdpHello* makeAnnouncer() {
        auto* announcer = new UdpHello(nullptr, &params, &hello);
        announcer->setDestinationPort(receiver.port());
        QObject::connect(announcer, &UdpHello::finished, [this] { ++finishedCount; });
        return announcer;
    }

    UserParamsStore params;
    HelloBuffer hello;
    Receiver receiver;
    std::atomic<int> finishedCount{0};
};

// The MAC of the first interface that is not loopback, as the system lists them.
QByteArray hostMac(const QByteArray& otherwise) {
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces())
        if (!iface.flags().testFlag(QNetworkInterface::IsLoopBack))
            return QByteArray::fromHex(iface.hardwareAddress().remove(':').toLatin1()).leftJustified(kMacSize, '\0');
    return otherwise;
}

TEST_F(HelloTest, AnnouncesThePacketStampedWithPortsAndTheHostsMac) {
    const QByteArray before = helloBytes(hello.packet());
    RunningWorker<UdpHello> announcer(makeAnnouncer());
    ASSERT_TRUE(receiver.waitForCount(1));
    const QByteArray datagram = receiver.datagrams[0];
    EXPECT_EQ(datagram, helloBytes(hello.packet()));
    QByteArray expected = before;
    expected.replace(hello::kMac, kMacSize, hostMac(before.mid(hello::kMac, kMacSize)));
    expected.replace(45, 2, QByteArray("\x11\x00", 2));  // running
    expected.replace(232, 2, hexBytes("73 17"));
    expected.replace(236, 2, hexBytes("6C 02"));
    EXPECT_EQ(datagram.toHex(' '), expected.toHex(' '));
}

TEST_F(HelloTest, RepeatsWithPanelChangesAndStopsWithoutWaitingOutThePeriod) {
    RunningWorker<UdpHello> announcer(makeAnnouncer());
    ASSERT_TRUE(receiver.waitForCount(1));
    announcer->onSerialNumChanged(999999);
    announcer->onLocalAddressChanged("10.0.0.5");
    announcer->onXemrChanged(70);
    ASSERT_TRUE(receiver.waitForCount(2, 2000 + 5000));
    const QByteArray second = receiver.datagrams[1];
    EXPECT_EQ(second.mid(2, 4), hexBytes("0A 00 00 05"));
    EXPECT_EQ(second.mid(13, 3), hexBytes("3F 42 1E"));
    EXPECT_EQ(second.mid(22, 2), hexBytes("46 00"));

    EXPECT_LT(announcer.stop(), 1000);  // well inside the 2 s sleep that was running
    EXPECT_EQ(finishedCount, 1);
    receiver.drain();
    EXPECT_EQ(receiver.datagrams.size(), 2u);
}

}  // namespace
