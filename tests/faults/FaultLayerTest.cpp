#include "faults/ScannerFaults.h"
#include "udp/ProfilePacketDecoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace {

using Clock = DatagramFaults::Clock;
using std::chrono::milliseconds;

FaultSpec specOf(const char* text) {
    const FaultSpecParse parsed = parseFaultSpec(QLatin1String(text));
    EXPECT_TRUE(parsed.ok()) << parsed.message.toStdString();
    return parsed.spec;
}

QByteArray packetNumber(uint32_t counter, int points = 3) {
    ProfileSnapshot profile;
    for (int i = 0; i < points; ++i) {
        profile.x.push_back(int16_t(i - 1));
        profile.z.push_back(uint16_t(100 * i));
    }
    PacketFields fields;
    fields.packetCounter = counter;
    QByteArray out;
    encodeProfilePacket(profile, fields, out);
    return out;
}

// Sends `count` numbered packets one millisecond apart and returns what left.
std::vector<QByteArray> pass(ScannerFaults& faults, int count) {
    std::vector<QByteArray> out;
    const auto sink = [&](const QByteArray& d) { out.push_back(d); };
    Clock::time_point now{};
    for (int k = 0; k < count; ++k, now += milliseconds(1))
        faults.stream().send(packetNumber(uint32_t(k)), now, sink);
    faults.stream().sendDue(now + milliseconds(60000), sink);
    return out;
}

TEST(DatagramFaults, TheSameSeedGivesTheSameFaultsAndAnotherSeedOthers) {
    const FaultSpec spec = specOf("loss=3%,burst=2,dup=2%,reorder=2%,corrupt=2%,jitter=3ms");
    ScannerFaults a(7), b(7), c(8);
    for (ScannerFaults* f : {&a, &b, &c})
        f->setFaults(spec);
    const std::vector<QByteArray> first = pass(a, 2000);
    EXPECT_EQ(pass(b, 2000), first);
    EXPECT_NE(pass(c, 2000), first);
    // Setting the faults again starts the sequence again.
    a.setFaults(spec);
    EXPECT_EQ(pass(a, 2000), first);
}

TEST(DatagramFaults, CountsEveryFaultAReceiverSees) {
    ScannerFaults faults(42);
    faults.setFaults(specOf("loss=2%,burst=3,dup=2%,reorder=2%,corrupt=2%,delay=5ms,jitter=5ms"));
    const int sent = 5000;
    const std::vector<QByteArray> received = pass(faults, sent);

    std::map<uint16_t, int> copies;
    uint64_t checksumFailures = 0, late = 0;
    int newest = -1;
    for (const QByteArray& d : received) {
        const PacketDecode decoded = decodeProfilePacket(d);
        ASSERT_TRUE(decoded.ok() || decoded.fault == PacketFault::Checksum) << decoded.error.toStdString();
        checksumFailures += decoded.fault == PacketFault::Checksum;
        // Corruption leaves the counters alone, so every datagram can be told apart.
        const uint16_t counter = uint16_t(uint8_t(d[2]) | uint8_t(d[3]) << 8);
        if (++copies[counter] == 1 && counter < newest)
            ++late;
        newest = std::max<int>(newest, counter);
    }
    uint64_t duplicates = 0;
    for (const auto& entry : copies)
        duplicates += uint64_t(entry.second - 1);

    const FaultCounts counts = faults.counters().snapshot();
    EXPECT_EQ(counts.datagramsSent, received.size());
    EXPECT_EQ(counts.lost, uint64_t(sent) - copies.size());
    EXPECT_EQ(counts.duplicated, duplicates);
    EXPECT_EQ(counts.reordered, late);
    EXPECT_EQ(counts.corrupted, checksumFailures);
    for (uint64_t n : {counts.lost, counts.duplicated, counts.reordered, counts.corrupted})
        EXPECT_GT(n, 40u);
}

TEST(DatagramFaults, LossComesInBurstsOfTheMeanLength) {
    ScannerFaults faults(3);
    faults.setFaults(specOf("loss=1%,burst=5"));
    const std::vector<QByteArray> received = pass(faults, 20000);
    int bursts = 0, lost = 0, expected = 0;
    for (const QByteArray& d : received) {
        const int counter = uint8_t(d[2]) | uint8_t(d[3]) << 8;
        bursts += counter != expected;
        lost += counter - expected;
        expected = counter + 1;
    }
    ASSERT_GT(bursts, 50);
    EXPECT_NEAR(double(lost) / bursts, 5.0, 1.0);
}

TEST(DatagramFaults, DelayAndJitterKeepOrderWithinTheirBoundsAndSaySoWhenDue) {
    ScannerFaults faults(1);
    faults.setFaults(specOf("delay=10ms,jitter=5ms"));
    std::vector<std::pair<int, Clock::time_point>> out;
    Clock::time_point now{};
    const auto sink = [&](const QByteArray& d) { out.push_back({uint8_t(d[2]), now}); };
    // The sender wakes at the earlier of its next slot and the next due datagram.
    for (int k = 0; k < 200 || faults.stream().nextDue(); ++k) {
        const Clock::time_point slot = Clock::time_point{} + milliseconds(k);
        while (faults.stream().nextDue() && *faults.stream().nextDue() < slot) {
            now = *faults.stream().nextDue();
            faults.stream().sendDue(now, sink);
        }
        now = slot;
        if (k < 200)
            faults.stream().send(packetNumber(uint32_t(k)), slot, sink);
    }
    ASSERT_EQ(out.size(), 200u);
    std::set<Clock::duration> delays;
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].first, int(i));
        const auto delay = out[i].second - (Clock::time_point{} + milliseconds(i));
        EXPECT_GE(delay, milliseconds(5));
        EXPECT_LE(delay, milliseconds(15));
        delays.insert(delay);
    }
    EXPECT_GT(delays.size(), 5u);
}

TEST(DatagramFaults, ClearingTheFaultsReleasesHeldDatagramsThenPassesStraightThrough) {
    ScannerFaults faults(1);
    // 0 waits for the next, 1 is delayed and takes 0 along, 2 waits again.
    faults.setFaults(specOf("reorder=100%,delay=50ms"));
    std::vector<QByteArray> out;
    const auto sink = [&](const QByteArray& d) { out.push_back(d); };
    for (int k = 0; k < 3; ++k)
        faults.stream().send(packetNumber(uint32_t(k)), Clock::time_point{} + milliseconds(k), sink);
    EXPECT_TRUE(out.empty());
    faults.setFaults(FaultSpec{});
    faults.stream().send(packetNumber(3), Clock::time_point{} + milliseconds(3), sink);
    EXPECT_EQ(out, (std::vector<QByteArray>{packetNumber(1), packetNumber(0), packetNumber(2), packetNumber(3)}));
    EXPECT_FALSE(faults.stream().nextDue());
    faults.stream().send(packetNumber(4), Clock::time_point{} + milliseconds(4), sink);
    EXPECT_EQ(out.back(), packetNumber(4));
    EXPECT_EQ(faults.counters().snapshot().datagramsSent, 5u);
}

TEST(DatagramFaults, EveryDatagramLeavesOrIsCountedLostWhileFaultsChangeOnAnotherThread) {
    ScannerFaults faults(9);
    const int handed = 20000;
    uint64_t received = 0;
    const auto sink = [&](const QByteArray&) { ++received; };
    std::atomic<bool> done{false};
    std::thread sender([&] {
        Clock::time_point now{};
        for (int k = 0; k < handed; ++k, now += milliseconds(1))
            faults.stream().send(packetNumber(uint32_t(k)), now, sink);
        done = true;
    });
    const FaultSpec specs[] = {specOf("loss=5%,burst=2,dup=5%"), specOf("reorder=10%,delay=3ms"), FaultSpec{}};
    for (int i = 0; !done; ++i) {
        faults.setFaults(specs[i % 3]);
        faults.counters().snapshot();
    }
    sender.join();
    faults.setFaults(FaultSpec{});
    faults.stream().sendDue(Clock::time_point::max(), sink);

    const FaultCounts counts = faults.counters().snapshot();
    EXPECT_EQ(counts.datagramsSent, received);
    EXPECT_EQ(received, handed - counts.lost + counts.duplicated);
}

TEST(CorruptOneByte, AnyChangeFailsTheChecksumAndKeepsTheFraming) {
    for (int points : {0, 1, 40}) {
        const QByteArray intact = packetNumber(9, points);
        for (uint64_t random = 0; random < 3000; random += 7) {
            QByteArray d = intact;
            corruptOneByte(d, random * 0x9E3779B97F4A7C15ull);
            EXPECT_EQ(decodeProfilePacket(d).fault, PacketFault::Checksum) << points << " points, " << random;
        }
    }
}

TEST(ServerFaults, ConnectionsSeeDelaysDropsCutsAndStallsAsPlannedAndCounted) {
    ScannerFaults faults(5);
    faults.setFaults(specOf("reply-delay=50ms,drop-after=3"));
    {
        ConnectionFaults client(faults.server());
        EXPECT_EQ(faults.counters().snapshot().clientsConnected, 1);
        for (int k = 1; k <= 3; ++k) {
            ASSERT_TRUE(client.reading());
            const ReplyPlan plan = client.onRequest(uint32_t(k), 100);
            EXPECT_EQ(plan.delay, milliseconds(50));
            EXPECT_EQ(plan.bytes, 100);
            EXPECT_EQ(plan.closeAfter, k == 3);
        }
        EXPECT_FALSE(client.reading());
    }
    faults.setFaults(specOf("stall=2"));
    ConnectionFaults staller(faults.server());
    staller.onRequest(1, 10);
    EXPECT_TRUE(staller.reading());
    EXPECT_FALSE(staller.onRequest(1, 10).closeAfter);
    EXPECT_FALSE(staller.reading());

    faults.setFaults(specOf("cut=100%"));
    ConnectionFaults cut(faults.server());
    const ReplyPlan plan = cut.onRequest(2, 512);
    EXPECT_TRUE(plan.closeAfter);
    EXPECT_GE(plan.bytes, 1);
    EXPECT_LT(plan.bytes, 512);

    const FaultCounts counts = faults.counters().snapshot();
    EXPECT_EQ(counts.repliesDelayed, 3u);
    EXPECT_EQ(counts.connectionsDropped, 1u);
    EXPECT_EQ(counts.stalls, 1u);
    EXPECT_EQ(counts.repliesCut, 1u);
    EXPECT_EQ(counts.requestsByCommand, (std::map<uint32_t, uint64_t>{{1, 3}, {2, 2}, {3, 1}}));
    EXPECT_EQ(counts.clientsConnected, 2);
}

TEST(ScannerFaults, HelloOffSilencesAndCountsAnnouncements) {
    ScannerFaults faults;
    EXPECT_TRUE(faults.announceHello());
    faults.setFaults(specOf("hello=off"));
    EXPECT_FALSE(faults.announceHello());
    EXPECT_FALSE(faults.announceHello());
    EXPECT_EQ(faults.counters().snapshot().hellosSuppressed, 2u);
}

}  // namespace
