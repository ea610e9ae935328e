#include "params/UserParams.h"
#include "udp/UdpHello.h"
#include "udp/UdpTestSupport.h"

#include <QNetworkInterface>
#include <gtest/gtest.h>

namespace {

TEST(HardwareAddress, FirstInterfaceThatIsNotLoopbackGivesTheMacWithBadPartsAsZero) {
    EXPECT_EQ(firstNonLoopbackMac({{true, "00:00:00:00:00:00"}, {false, "02:1A:2b:33:zz:55:66"}, {false, "66:66"}}),
              (MacBytes{0x02, 0x1A, 0x2B, 0x33, 0x00, 0x55}));
    // One without a hardware address still counts: its MAC is all zeros.
    EXPECT_EQ(firstNonLoopbackMac({{false, ""}, {false, "02:11:22:33:44:55"}}), MacBytes{});
    EXPECT_FALSE(firstNonLoopbackMac({{true, "01:02:03:04:05:06"}}).has_value());
}

// The MAC of the first interface that is not loopback, as the system lists them.
QByteArray hostMac(const QByteArray& otherwise) {
    for (const QNetworkInterface& iface : QNetworkInterface::allInterfaces())
        if (!iface.flags().testFlag(QNetworkInterface::IsLoopBack))
            return QByteArray::fromHex(iface.hardwareAddress().remove(':').toLatin1()).leftJustified(kMacSize, '\0');
    return otherwise;
}

// An announcer of its own state, to a receiver's port.
struct Announced {
    Announced() { state.changeSettings([this](ScannerSettings& s) { s.helloPort = receiver.port(); }); }

    ScannerState state;
    UserParamsStore& params = state.record();
    DeviceIdentity& hello = state.identity();
    Receiver receiver;
};

TEST(UdpHello, AnnouncesStampedWithPortsAndTheHostsMacThenRepeatsWithChangesUntilStopped) {
    Announced setup;
    UserParamsStore& params = setup.params;
    DeviceIdentity& hello = setup.hello;
    Receiver& receiver = setup.receiver;
    params.update([](USER_PARAMS& p) {
        p.udp_port_u16 = 6003;
        p.tcp_port_u16 = 620;
    });
    QByteArray expected(reinterpret_cast<const char*>(hello.packet().data()), kHelloPacketSize);  // as it starts
    expected.replace(hello::kMac, kMacSize, hostMac(expected.mid(hello::kMac, kMacSize)));
    expected.replace(45, 2, hexBytes("11 00"));  // running
    expected.replace(232, 6, hexBytes("73 17 24 D2 6C 02"));
    auto* worker = new UdpHello(nullptr, &setup.state);
    worker->takePorts();
    worker->open();
    RunningWorker<UdpHello> announcer(worker);
    ASSERT_TRUE(receiver.waitForCount(1));
    EXPECT_EQ(receiver.datagrams[0].toHex(' '), expected.toHex(' '));

    hello.setLocalAddress("192.168.0.200");
    hello.setSerialNumber(999999);
    hello.setXemr(70);
    ASSERT_TRUE(receiver.waitForCount(2, UdpHello::kPeriodMs + 5000));
    EXPECT_EQ(receiver.datagrams[1].mid(2, 4), hexBytes("C0 A8 00 C8"));
    EXPECT_EQ(receiver.datagrams[1].mid(13, 3), hexBytes("3F 42 1E"));
    EXPECT_EQ(receiver.datagrams[1].mid(22, 2), hexBytes("46 00"));

    EXPECT_LT(announcer.stop(), 1000);  // well inside the 2 s sleep that was running
}

// With a held stream, this is all an idle scanner asks of its scheduler.
TEST(UdpHello, AsksToRunAgainOnlyAfterItsPeriod) {
    Announced setup;
    UdpHello announcer(nullptr, &setup.state);
    const UdpHello::Clock::time_point now = UdpHello::Clock::now();
    EXPECT_EQ(announcer.runDue(now).value_or(SendJob::Due{}).at, now + std::chrono::milliseconds(UdpHello::kPeriodMs));
    announcer.finish();
}

// A client may write the record before the scheduler first runs the announcer.
TEST(UdpHello, AnnouncesThePortsTakenAtTheStartThoughTheRecordChangesBeforeItsFirstRun) {
    constexpr uint16_t kStartPort = 6003, kWrittenPort = 7003;
    Announced setup;
    UserParamsStore& params = setup.params;
    Receiver& receiver = setup.receiver;
    params.update([](USER_PARAMS& p) { p.udp_port_u16 = kStartPort; });
    auto* worker = new UdpHello(nullptr, &setup.state);
    worker->takePorts();
    worker->open();
    params.update([](USER_PARAMS& p) { p.udp_port_u16 = kWrittenPort; });
    RunningWorker<UdpHello> announcer(worker);
    ASSERT_TRUE(receiver.waitForCount(1));
    const QByteArray& announced = receiver.datagrams[0];
    EXPECT_EQ(uint8_t(announced[hello::kUdpPort]) | uint8_t(announced[hello::kUdpPort + 1]) << 8, kStartPort);
}

}  // namespace
