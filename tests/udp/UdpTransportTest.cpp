#include "params/UserParams.h"
#include "udp/ProfilePacket.h"
#include "udp/UdpTestSupport.h"
#include "udp/UdpTransport.h"

#include <QThread>
#include <gtest/gtest.h>
#include <atomic>
#include <cstdlib>

namespace {

// Expects packet counters first, first + 1, ... over `datagrams` from `from` on.
void expectConsecutive(const std::vector<QByteArray>& datagrams, size_t from, uint16_t first) {
    for (size_t i = from; i < datagrams.size(); ++i)
        ASSERT_EQ(u16At(datagrams[i], packet::kPacketCounter), uint16_t(first + (i - from))) << "datagram " << i;
}

class StreamTest : public ::testing::Test {
protected:
    StreamTest() {
        profile.replace(rampProfile(8));
        setFrequency(200);
    }

    void setFrequency(uint16_t hz, uint8_t enabled = 1) {
        params.update([&](USER_PARAMS& p) {
            p.wUDP = enabled;
            p.udp_frequency_u16 = hz;
            p.udp_port_u16 = receiver.port();
        });
    }

    // Nothing arrives for `quietMs` once a packet that was under way has had
    // time to leave. Returns the datagrams received.
    size_t expectSilence(int quietMs) {
        QThread::msleep(50);
        receiver.drain();
        const size_t before = receiver.datagrams.size();
        EXPECT_FALSE(receiver.waitForCount(before + 1, quietMs)) << "sent while held";
        return before;
    }

    UdpTransport* makeStream() { return new UdpTransport(nullptr, 640, 480, &params, &feed, &hello); }

    UserParamsStore params;
    ProfileStore profile;
    ProfileFeed feed{profile};
    HelloBuffer hello;
    Receiver receiver;
};

TEST_F(StreamTest, SendsConsecutiveCheckedPacketsWithTheCurrentTrailerFromItsDrawnSourcePort) {
    params.update([](USER_PARAMS& p) {
        p.ext_sync_signal_u16 = packet::kExtSyncStepdir;
        p.invertXZ = 1;
    });
    hello.setSerialNumber(999999);
    std::srand(7);
    const int sourcePort = 12345 + std::rand() % 2000;
    std::srand(7);
    UdpTransport* worker = makeStream();
    worker->onXemrChanged(70);
    worker->onZdiapChanged(0x1234);
    worker->SwitchStepdir(true);
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(20));
    expectConsecutive(receiver.datagrams, 0, 0);
    const QByteArray& last = receiver.datagrams.back();
    ASSERT_EQ(last.size(), profilePacketSize(8, true));
    EXPECT_EQ(wordSum(last), 0xFFFF);
    EXPECT_EQ(u16At(last, 12), 4) << "X = -4 inverted";
    EXPECT_EQ(last.mid(12 + 4 * 8, 12), hexBytes("0A 00 01 3F 42 1E 46 00 34 12 01 00"));
    EXPECT_GT(u16At(last, packet::kMeasurementCounter), 1) << "the counter task did not run";
    EXPECT_EQ(receiver.senderPorts.back(), sourcePort);
}

TEST_F(StreamTest, DatagramsGoToThePortOfTheMomentAndNoSubnetCopyToASingleHost) {
    EXPECT_EQ(broadcastAddress(0xC0A8000A, 0xFFFFFF00), 0xC0A800FFu);  // 192.168.0.10/24
    Receiver other;
    Receiver target(QHostAddress("127.0.0.2"));
    params.update([](USER_PARAMS& p) {
        p.localSAPEnabled = 1;
        ipv4TextToField("127.0.0.2", p.tcp_ip_address_u8);  // a full mask makes a single host of it
        ipv4TextToField("255.255.255.255", p.tcp_subnet_mask_u8);
    });
    UdpTransport* worker = makeStream();
    worker->setBroadcastPort(target.port());
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(5));
    params.update([&](USER_PARAMS& p) { p.udp_port_u16 = other.port(); });
    ASSERT_TRUE(other.waitForCount(5));
    receiver.drain();
    // Every packet went to exactly one of the two ports, in order.
    expectConsecutive(receiver.datagrams, 0, 0);
    expectConsecutive(other.datagrams, 0, uint16_t(u16At(receiver.datagrams.back(), packet::kPacketCounter) + 1));
    EXPECT_FALSE(target.waitForCount(1, 100)) << "the stream was aimed at a single host";
}

// The timetable runs on through a pause but not through a frequency of 0.
TEST_F(StreamTest, DisabledPausedOrZeroFrequencyStreamIsHeldOwingOnlyForThePause) {
    setFrequency(50);
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(3));
    setFrequency(0);
    size_t held = expectSilence(500);
    QElapsedTimer sinceRelease;
    sinceRelease.start();
    setFrequency(50);
    ASSERT_TRUE(receiver.waitForCount(held + 5));
    EXPECT_GE(sinceRelease.elapsed(), 60) << "at 50 Hz";
    // What a disabled or paused stream owes may still be going out when a
    // check after it starts, so these come last.
    setFrequency(50, 0);
    expectSilence(250);
    setFrequency(50);
    stream->shutdown();
    held = expectSilence(1000);
    stream->resume();
    // Paced, 40 packets would take 800 ms at 50 Hz.
    ASSERT_TRUE(receiver.waitForCount(held + 40, 600)) << "made up at once";
    expectConsecutive(receiver.datagrams, 0, 0);
    setFrequency(0);
    QThread::msleep(50);
    EXPECT_LT(stream.stop(), 500);
}

TEST_F(StreamTest, StopDoesNotWaitOutASlowPeriod) {
    delete makeStream();  // never started: nothing to wait for
    setFrequency(1);
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(2));  // packets 0 and 1 leave at once
    EXPECT_LT(stream.stop(), 500);
}

TEST_F(StreamTest, FrequencyChangeDuringTheSleepRestartsTheTimetableFromTheNextPacket) {
    setFrequency(1);
    QElapsedTimer sinceStart;
    sinceStart.start();
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(2));
    stream->onFreqChanged(100);  // the worker is in its 1 s sleep
    EXPECT_EQ(params.read([](const USER_PARAMS& p) { return p.udp_frequency_u16; }), 100);
    ASSERT_TRUE(receiver.waitForCount(10));
    EXPECT_GE(sinceStart.elapsed(), 990) << "the sleep was cut short";
    expectConsecutive(receiver.datagrams, 2, 1);
}

std::atomic<int> cutWarnings{0};

void countCutWarnings(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (text.contains(QLatin1String("cut to")))
        ++cutWarnings;
}

TEST_F(StreamTest, ALongProfileIsCutWithOneWarningForTheSpellNotOnePerPacket) {
    profile.replace(rampProfile(kMaxPacketPoints + 1));
    const QtMessageHandler previous = qInstallMessageHandler(countCutWarnings);
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(5));
    stream.stop();
    qInstallMessageHandler(previous);
    EXPECT_EQ(cutWarnings, 1);
    EXPECT_EQ(receiver.datagrams.back().size(), profilePacketSize(kMaxPacketPoints, false));
}

}  // namespace
