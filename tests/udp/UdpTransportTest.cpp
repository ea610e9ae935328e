#include "params/UserParams.h"
#include "udp/ProfilePacket.h"
#include "udp/ProfilePacketDecoder.h"
#include "udp/UdpTestSupport.h"
#include "udp/UdpTransport.h"

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace {

// Expects packet counters first, first + 1, ... over `datagrams` from `from` on.
void expectConsecutive(const std::vector<QByteArray>& datagrams, size_t from, uint16_t first) {
    for (size_t i = from; i < datagrams.size(); ++i)
        ASSERT_EQ(u16At(datagrams[i], packet::kPacketCounter), uint16_t(first + (i - from))) << "datagram " << i;
}

// Each profile takes longer than an unpaced run may, as a heavy scene's does.
constexpr std::chrono::milliseconds kSlowProfile{3};
static_assert(kSlowProfile > UdpTransport::kUnpacedBudget);
constexpr uint16_t kUnpacedHz = 65535;

class SlowSource : public ProfileSource {
public:
    void copyProfile(uint64_t, ProfileSnapshot& out, int) override {
        std::this_thread::sleep_for(kSlowProfile);
        out.x.assign(8, 0);
        out.z.assign(8, 0);
    }
};

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

    UdpTransport* makeStream() { return new UdpTransport(nullptr, &state, &feed); }

    ScannerState state;
    UserParamsStore& params = state.record();
    ProfileStore profile;
    ProfileFeed feed{profile};
    DeviceIdentity& hello = state.identity();
    Receiver receiver;
};

TEST_F(StreamTest, SendsConsecutiveCheckedPacketsWithTheCurrentTrailerFromAPortNoOtherSocketMayShare) {
    params.update([](USER_PARAMS& p) {
        p.ext_sync_signal_u16 = packet::kExtSyncStepdir;
        p.invertXZ = 3;
    });
    hello.setSerialNumber(999999);
    UdpTransport* worker = makeStream();
    state.changeSettings([](ScannerSettings& s) {
        s.xemr = 70;
        s.zdiap = 0x1234;
        s.stepdirForward = true;
    });
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(20));
    expectConsecutive(receiver.datagrams, 0, 0);
    const QByteArray& last = receiver.datagrams.back();
    ASSERT_EQ(last.size(), profilePacketSize(8, true));
    EXPECT_EQ(wordSum(last), 0xFFFF);
    EXPECT_EQ((std::pair<int, int>(u16At(last, 12), u16At(last, 12 + 2 * 8))), std::pair(4, 16384 - 1000)) << "-4, 1000 inverted";
    EXPECT_EQ(last.mid(12 + 4 * 8, 12), hexBytes("0A 00 01 3F 42 1E 46 00 34 12 01 00"));
    EXPECT_EQ(u16At(last, packet::kMeasurementCounter), u16At(last, packet::kPacketCounter));
    QUdpSocket sharer;  // a receiver started later must not get the stream's port, nor take it over
    EXPECT_FALSE(sharer.bind(QHostAddress::AnyIPv4, receiver.senderPorts.back(), QUdpSocket::ShareAddress));
}

TEST_F(StreamTest, ADrawnProfileChangedWhileStreamingIsInThePointsOfTheLaterPackets) {
    constexpr size_t kBuiltBeforeTheChange = 3;  // at most, still on the way when it lands
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(kBuiltBeforeTheChange));
    std::vector<ProfilePoint> changed = rampProfile(8);
    for (ProfilePoint& point : changed)
        point.z += 500;
    profile.replace(changed);
    ASSERT_TRUE(receiver.waitForCount(receiver.datagrams.size() + 2 * kBuiltBeforeTheChange));
    const PacketDecode last = decodeProfilePacket(receiver.datagrams.back());
    ASSERT_TRUE(last.ok()) << last.failure.message.toStdString();
    EXPECT_EQ(last.packet.z.front(), changed.front().z);
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

TEST_F(StreamTest, AHeldStreamAsksForNoRunAtAll) {
    setFrequency(100, 0);
    UdpTransport stream(nullptr, &state, &feed);
    EXPECT_EQ(stream.runDue(UdpTransport::Clock::now()), std::nullopt);
}

TEST_F(StreamTest, AnUnpacedRunOverASlowSourceEndsAfterItsTimeNotItsCount) {
    feed.play(std::make_shared<SlowSource>());
    setFrequency(kUnpacedHz);
    UdpTransport stream(nullptr, &state, &feed);
    stream.runDue(UdpTransport::Clock::now());
    receiver.waitForCount(2, 200);
    EXPECT_EQ(receiver.datagrams.size(), 1u);
}

// So that the other streams of its thread catch up first.
TEST_F(StreamTest, AnUnpacedRunThatOverranItsTimeAsksForTheNextAsLongAfter) {
    feed.play(std::make_shared<SlowSource>());
    setFrequency(kUnpacedHz);
    UdpTransport stream(nullptr, &state, &feed);
    const UdpTransport::Clock::time_point start = UdpTransport::Clock::now();
    const auto next = stream.runDue(start);
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(next->at - start, 2 * kSlowProfile - UdpTransport::kUnpacedBudget);
}

TEST_F(StreamTest, AWriteToTheRecordWakesTheStream) {
    int wakes = 0;
    UdpTransport stream(nullptr, &state, &feed);
    stream.setWaker([&] { ++wakes; });
    setFrequency(100);
    EXPECT_EQ(wakes, 1);
}

// The timeline driven by hand at chosen times (half periods, clear of the
// slots' edges), as the scheduler would run it: every packet carries the
// measurement of its slot; a reset starts the next packet at once (the new
// timeline starts at the run that finds it, 5 ms); slots the stream missed
// go out back to back and are counted; a pause or a disabled stream is
// owed, frequency 0 is not.
TEST_F(StreamTest, TimelineGivesEveryPacketItsSlotAndOwesOnlyWhatWasHeld) {
    setFrequency(100);
    UdpTransport stream(nullptr, &state, &feed);
    const auto t0 = UdpTransport::Clock::now();
    const auto sendsAt = [&](double ms) {
        const auto now = t0 + std::chrono::duration_cast<UdpTransport::Clock::duration>(
                                  std::chrono::duration<double, std::milli>(ms));
        const size_t before = receiver.datagrams.size();
        for (auto next = stream.runDue(now); next && next->at <= now; next = stream.runDue(now)) {
        }
        receiver.drain();  // loopback datagrams are there once sent
        return receiver.datagrams.size() - before;
    };
    EXPECT_EQ(sendsAt(0.5), 2u) << "packets 0 and 1 leave at once";
    state.restartTimeline();  // a reset while the stream waits for the 10 ms slot
    EXPECT_EQ(sendsAt(5), 1u) << "the wait for the old slot ends: packet 1 of the new timeline at once";
    EXPECT_EQ(sendsAt(20), 1u) << "packet 2 at its slot, nothing owed from the wait";
    EXPECT_EQ(sendsAt(60), 4u) << "slots 25 to 55 ms, back to back";
    EXPECT_EQ(std::as_const(state).latePackets(), 3u) << "those more than a period behind";
    stream.shutdown();
    EXPECT_EQ(sendsAt(70), 0u);
    stream.resume();
    EXPECT_EQ(sendsAt(100), 4u) << "the pause is owed";
    setFrequency(100, 0);
    EXPECT_EQ(sendsAt(110), 0u);
    setFrequency(0);
    EXPECT_EQ(sendsAt(130), 0u);
    EXPECT_EQ(sendsAt(230), 0u);
    setFrequency(100);
    EXPECT_EQ(sendsAt(330), 3u) << "disabled 105-130 ms is owed, frequency 0 from 130 to 330 ms is not";
    EXPECT_EQ(std::as_const(state).latePackets(), 3u) << "held slots are owed, not missed";
    for (size_t i = 0; i < receiver.datagrams.size(); ++i) {
        const uint16_t packet = u16At(receiver.datagrams[i], packet::kPacketCounter);
        ASSERT_EQ(packet, i < 2 ? i : i - 1) << "datagram " << i;
        ASSERT_EQ(u16At(receiver.datagrams[i], packet::kMeasurementCounter), std::max<uint16_t>(packet, 1))
            << "datagram " << i;
    }
    stream.finish();
}

TEST_F(StreamTest, NeitherARateChangeNorAStopWaitsOutASlowPeriod) {
    setFrequency(1);
    UdpTransport* worker = makeStream();
    RunningWorker<UdpTransport> stream(worker);
    ASSERT_TRUE(receiver.waitForCount(2));  // packets 0 and 1 leave at once
    setFrequency(200);
    state.followRecordRate();
    EXPECT_TRUE(receiver.waitForCount(20, 500)) << "the new rate waited for the old second";
    EXPECT_LT(stream.stop(), 500);
}

std::atomic<int> cutWarnings{0};

void countCutWarnings(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (text.contains(QLatin1String("cut to")))
        ++cutWarnings;
}

TEST_F(StreamTest, ALongProfileIsCutWithOneWarningForTheSpellNotOnePerPacket) {
    profile.replace(rampProfile(kMaxPacketPoints + 1));
    params.update([](USER_PARAMS& p) { p.invertXZ = 3; });  // every point of the cut profile is transformed
    const QtMessageHandler previous = qInstallMessageHandler(countCutWarnings);
    RunningWorker<UdpTransport> stream(makeStream());
    ASSERT_TRUE(receiver.waitForCount(5));
    stream.stop();
    qInstallMessageHandler(previous);
    EXPECT_EQ(cutWarnings, 1);
    EXPECT_EQ(receiver.datagrams.back().size(), profilePacketSize(kMaxPacketPoints, false));
}

}  // namespace
