#include "params/UserParams.h"
#include "udp/ProfilePacket.h"
#include "udp/UdpTestSupport.h"
#include "udp/UdpTransport.h"
#include "tcp/TcpTestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <atomic>

namespace {

uint16_t packetCounterOf(const QByteArray& d) { return u16At(d, packet::kPacketCounter); }
uint16_t measurementCounterOf(const QByteArray& d) { return u16At(d, packet::kMeasurementCounter); }


// Expects counters first, first + 1, ... over `datagrams` from `from` on.
void expectConsecutive(const std::vector<QByteArray>& datagrams, size_t from, uint16_t first) {
    for (size_t i = from; i < datagrams.size(); ++i)
        ASSERT_EQ(packetCounterOf(datagrams[i]), static_cast<uint16_t>(first + (i - from))) << "datagram " << i;
}

class StreamTest : public ::testing::Test {
protected:
    StreamTest() {
        setRecord([this](USER_PARAMS& p) {
            p.wUDP = 1;
            p.udp_frequency_u16 = 200;
            p.udp_port_u16 = receiver.port();
        });
        profile.replace(rampProfile(8));
    }

    template <typename Change>
    void setRecord(Change change) { params.update(change); }

    // After `settleMs` (a packet under way when the stream was held may still
    // leave) nothing arrives for `quietMs`. Returns the datagrams received.
    size_t expectSilence(int settleMs, int quietMs) {
        QThread::msleep(settleMs);
        receiver.drain();
        const size_t before = receiver.datagrams.size();
        QThread::msleep(quietMs);
        receiver.drain();
        EXPECT_EQ(receiver.datagrams.size(), before) << "sent while held";
        return before;
    }

    UdpTransport* makeStream() { return new UdpTransport(nullptr, 640, 480, &params, &feed, &hello); }

    UserParamsStore params;
    ProfileStore profile;
    ProfileFeed feed{profile};
    HelloBuffer hello;
    Receiver receiver;
};

TEST_F(StreamTest, SendsConsecutivePacketsWithValidChecksumsAndTheCurrentTrailer) {
    hello.setSerialNumber(999999);
    UdpTransport* worker = makeStream();
    worker->onXemrChanged(70);
    worker->onZdiapChanged(0x1234);
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(20));

    expectConsecutive(receiver.datagrams, 0, 0);
    uint16_t lastMeasurement = 0;
    for (size_t i = 0; i < receiver.datagrams.size(); ++i) {
        const QByteArray& d = receiver.datagrams[i];
        ASSERT_EQ(d.size(), profilePacketSize(8, false));
        EXPECT_EQ(wordSum(d), 0xFFFF);
        EXPECT_EQ(d.mid(12 + 4 * 8, 10), hexBytes("08 00 01 3F 42 1E 46 00 34 12"));
        EXPECT_GE(measurementCounterOf(d), lastMeasurement);
        lastMeasurement = measurementCounterOf(d);
        EXPECT_GE(receiver.senderPorts[i], 12345);
        EXPECT_LE(receiver.senderPorts[i], 14344);
    }
    EXPECT_GT(lastMeasurement, 0) << "the counter task did not run";
}

TEST_F(StreamTest, StepdirTrailerAndInversionFollowTheRecord) {
    setRecord([](USER_PARAMS& p) {
        p.ext_sync_signal_u16 = 4;
        p.invertXZ = 1;
    });
    UdpTransport* worker = makeStream();
    worker->SwitchStepdir(true);
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(1));
    const QByteArray d = receiver.datagrams[0];
    ASSERT_EQ(d.size(), profilePacketSize(8, true));
    EXPECT_EQ(int16_t(u16At(d, 12)), 4);  // X = -4 inverted
    EXPECT_EQ(u16At(d, 12 + 4 * 8), 10);
    EXPECT_EQ(d.mid(d.size() - 4, 2), hexBytes("01 00"));
    EXPECT_EQ(wordSum(d), 0xFFFF);
}

TEST_F(StreamTest, PortIsReadAnewForEveryPacket) {
    Receiver other;
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(5));
    setRecord([&](USER_PARAMS& p) { p.udp_port_u16 = other.port(); });
    ASSERT_TRUE(other.waitForCount(5));
    receiver.drain();
    // Every packet went to exactly one of the two ports, in order.
    const uint16_t last = packetCounterOf(receiver.datagrams.back());
    expectConsecutive(receiver.datagrams, 0, 0);
    expectConsecutive(other.datagrams, 0, static_cast<uint16_t>(last + 1));
}

TEST_F(StreamTest, SubnetCopyToAnAddressThatIsNoLocalBroadcastIsRefusedAndLoggedOnce) {
    EXPECT_EQ(broadcastAddress(0xC0A8000A, 0xFFFFFF00), 0xC0A800FFu);  // 192.168.0.10/24
    Receiver target(QHostAddress("127.0.0.2"));
    setRecord([](USER_PARAMS& p) {
        p.localSAPEnabled = 1;
        ipv4TextToField("127.0.0.2", p.tcp_ip_address_u8);  // a full mask makes a single host of it
        ipv4TextToField("255.255.255.255", p.tcp_subnet_mask_u8);
    });
    LogCapture log;
    UdpTransport* worker = makeStream();
    worker->setBroadcastPort(target.port());
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(20));
    stream.stop();
    EXPECT_FALSE(target.waitForCount(1, 100)) << "the stream was aimed at a single host";
    EXPECT_EQ(log.countContaining("no subnet copy to 127.0.0.2"), 1);
}

TEST_F(StreamTest, PauseHoldsTheStreamAndResumeCatchesUpWithConsecutiveCounters) {
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 100; });
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(5));
    stream->shutdown();
    const size_t beforePause = expectSilence(50, 1000);

    QElapsedTimer sinceResume;
    sinceResume.start();
    stream->resume();
    // The second or so of missed packets (about 100) comes back to back; at the
    // plain rate 80 would take 800 ms.
    ASSERT_TRUE(receiver.waitForCount(beforePause + 80, 5000));
    EXPECT_LT(sinceResume.elapsed(), 600);
    expectConsecutive(receiver.datagrams, 0, 0);
}

TEST_F(StreamTest, DisabledStreamSendsNothingUntilEnabled) {
    setRecord([](USER_PARAMS& p) { p.wUDP = 0; });
    RunningWorker<UdpTransport> stream(makeStream());
    EXPECT_FALSE(receiver.waitForCount(1, 300));
    setRecord([](USER_PARAMS& p) { p.wUDP = 1; });
    ASSERT_TRUE(receiver.waitForCount(10));
    expectConsecutive(receiver.datagrams, 0, 0);
}

TEST_F(StreamTest, ZeroFrequencyHoldsWithoutOwingPacketsAndStillStopsAtOnce) {
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 50; });
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(3));
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 0; });
    const size_t beforeHold = expectSilence(100, 1000);

    QElapsedTimer sinceRelease;
    sinceRelease.start();
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 50; });
    ASSERT_TRUE(receiver.waitForCount(beforeHold + 2));
    QThread::msleep(100);
    receiver.drain();
    // At 50 Hz the held second would owe 50 packets; none are made up.
    const size_t afterRelease = receiver.datagrams.size() - beforeHold;
    EXPECT_LE(afterRelease, static_cast<size_t>(sinceRelease.elapsed() / 20 + 5));
    expectConsecutive(receiver.datagrams, 0, 0);

    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 0; });
    QThread::msleep(50);
    EXPECT_LT(stream.stop(), 500);
}

TEST_F(StreamTest, StopEndsSlowPausedUnpacedAndDisabledStreamsPromptly) {
    delete makeStream();  // never started: nothing to wait for

    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 1; });  // a 1 s period
    RunningWorker<UdpTransport> slow(makeStream());
    ASSERT_TRUE(receiver.waitForCount(2));  // packets 0 and 1 leave at once
    EXPECT_LT(slow.stop(), 500);

    RunningWorker<UdpTransport> paused(makeStream());
    paused->shutdown();
    QThread::msleep(50);
    EXPECT_LT(paused.stop(), 500);

    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 65535; });  // unpaced: sends back to back
    RunningWorker<UdpTransport> unpaced(makeStream());
    ASSERT_TRUE(receiver.waitForCount(2 + 100));
    EXPECT_LT(unpaced.stop(), 500);

    setRecord([](USER_PARAMS& p) { p.wUDP = 0; });
    RunningWorker<UdpTransport> disabled(makeStream());
    QThread::msleep(50);
    EXPECT_LT(disabled.stop(), 500);
}

TEST_F(StreamTest, FrequencyChangeDuringTheSleepRestartsTheTimetableFromTheNextPacket) {
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 1; });
    QElapsedTimer sinceStart;
    sinceStart.start();
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(2));
    stream->onFreqChanged(100);  // the worker is in its 1 s sleep
    const uint16_t written = params.snapshot().udp_frequency_u16;  // a packed field: copy, do not bind
    EXPECT_EQ(written, 100);
    ASSERT_TRUE(receiver.waitForCount(3, 5000));
    EXPECT_GE(sinceStart.elapsed(), 990) << "the sleep was cut short";
    EXPECT_EQ(packetCounterOf(receiver.datagrams[2]), 1);
    ASSERT_TRUE(receiver.waitForCount(10));
    expectConsecutive(receiver.datagrams, 2, 1);
}

TEST_F(StreamTest, LongProfilesAreCutToOneDatagramAndReportedOnce) {
    profile.replace(rampProfile(20000));
    setRecord([](USER_PARAMS& p) { p.udp_frequency_u16 = 50; });
    LogCapture log;
    {
        RunningWorker<UdpTransport> stream(makeStream());
        ASSERT_TRUE(receiver.waitForCount(4));
    }
    EXPECT_EQ(log.countContaining("points cut to"), 1);
    EXPECT_EQ(receiver.datagrams[3].size(), profilePacketSize(kMaxPacketPoints, false));
}

}  // namespace
