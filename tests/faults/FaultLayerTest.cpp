#include "../capture/CaptureTestSupport.h"
#include "faults/ScannerFaults.h"
#include "udp/ProfilePacketDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace {

using Clock = DatagramFaults::Clock;
using std::chrono::milliseconds;
using Sent = std::vector<std::pair<QByteArray, int>>;  // what left, and when (ms)

int counterOf(const QByteArray& d) { return uint8_t(d[2]) | uint8_t(d[3]) << 8; }

// Hands over `count` numbered packets one millisecond apart, waking like the
// sender at the earlier of the next slot and the next due datagram.
Sent pass(DatagramFaults& stream, int count) {
    Sent out;
    Clock::time_point now{};
    const auto sink = [&](const QByteArray& d) { out.emplace_back(d, int(now.time_since_epoch() / milliseconds(1))); };
    for (int k = 0; k < count || stream.nextDue(); ++k) {
        const Clock::time_point slot = Clock::time_point{} + milliseconds(k);
        while (stream.nextDue() && *stream.nextDue() < slot)
            stream.sendDue(now = *stream.nextDue(), sink);
        now = slot;
        if (k < count)
            stream.send(profileDatagram(k, 3), slot, sink);
    }
    return out;
}

// Lost datagrams per run of losses, read off the counters that arrived.
double meanLossRun(const Sent& received, int sent) {
    std::set<int> arrived;
    for (const auto& [d, at] : received)
        arrived.insert(counterOf(d));
    int runs = 0;
    for (int k = 1; k < sent; ++k)
        runs += !arrived.count(k) && arrived.count(k - 1);
    return double(sent - int(arrived.size())) / runs;
}

// Jitter never reorders: only the datagrams held back arrive late.
TEST(DatagramFaults, SeededFaultsRepeatAndAreCountedAsAReceiverSeesThem) {
    const FaultSpec spec = parseFaultSpec("loss=2%,burst=3,dup=2%,reorder=2%,corrupt=2%,delay=5ms,jitter=5ms").spec;
    ScannerFaults faults(42), same(42), other(43);
    for (ScannerFaults* f : {&faults, &same, &other})
        f->setFaults(spec);
    const int sent = 20000;
    const Sent received = pass(faults.stream(), sent);
    EXPECT_EQ(pass(same.stream(), sent), received);
    EXPECT_NE(pass(other.stream(), sent), received);
    const FaultCounts counts = faults.counters().snapshot();

    std::map<int, uint64_t> copies;
    uint64_t checksumFailures = 0, late = 0;
    int newest = -1;
    std::set<int> delays;  // of the datagrams that arrive in order
    std::set<int> corruptedBytes;
    for (const auto& [d, at] : received) {
        const PacketDecode decoded = decodeProfilePacket(d);
        ASSERT_TRUE(decoded.ok() || decoded.failure.code == PacketFault::Checksum) << decoded.failure.message.toStdString();
        checksumFailures += decoded.failure.code == PacketFault::Checksum;
        // Corruption leaves the counters alone, so every datagram can be told apart.
        const int counter = counterOf(d);
        const QByteArray intact = profileDatagram(counter, 3);
        if (d != intact)
            corruptedBytes.insert(int(std::mismatch(d.begin(), d.end(), intact.begin()).first - d.begin()));
        if (++copies[counter] == 1 && counter < newest)
            ++late;
        else
            delays.insert(at - counter);
        newest = std::max(newest, counter);
    }
    EXPECT_EQ(std::tie(counts.datagramsSent, counts.lost, counts.duplicated, counts.reordered, counts.corrupted),
              std::make_tuple(received.size(), sent - copies.size(), received.size() - copies.size(), late, checksumFailures));
    EXPECT_GT(std::min({counts.duplicated, counts.reordered, counts.corrupted, counts.lost / 3}), 200u);
    EXPECT_NEAR(meanLossRun(received, sent), 3.0, 0.5) << "mean burst length";
    ScannerFaults pairs(42);
    pairs.setFaults(parseFaultSpec("loss=2%,burst=2").spec);
    EXPECT_NEAR(meanLossRun(pass(pairs.stream(), sent), sent), 2.0, 0.4) << "the shortest burst";
    EXPECT_EQ(std::pair(*delays.begin(), *delays.rbegin()), std::pair(0, 10));
    EXPECT_EQ(corruptedBytes, (std::set<int>{4, 5, 6, 7, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23}))
        << "the reserved bytes and the points only: a receiver sees a bad checksum, not a bad frame";
}

TEST(DatagramFaults, EveryDatagramLeavesOrIsCountedLostWhileFaultsChangeOnAnotherThread) {
    ScannerFaults faults(9);
    const int handed = 20000;
    uint64_t received = 0;
    const auto sendNumber = [&](int k, int points = 3) {
        const auto sink = [&](const QByteArray&) { ++received; };
        faults.stream().send(profileDatagram(k, points), Clock::time_point{} + milliseconds(k), sink);
    };
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int k = 0; k < handed; ++k)
            sendNumber(k);
        done = true;
    });
    const FaultSpec specs[] = {parseFaultSpec("loss=5%,burst=2,dup=5%").spec,
                               parseFaultSpec("reorder=10%,delay=3ms").spec, FaultSpec{}};
    for (int i = 0; !done; ++i)
        faults.setFaults(specs[i % 3]);
    sender.join();
    // Clearing the faults lets what they hold leave with the next datagram,
    // an outage drops what they hold, and faults set again hold as before.
    faults.setFaults(parseFaultSpec("reorder=100%,delay=50ms").spec);
    sendNumber(handed, 30);
    faults.setFaults(FaultSpec{});
    sendNumber(handed + 1);
    faults.setFaults(parseFaultSpec("reorder=100%").spec);
    sendNumber(handed + 2);
    faults.stream().discardHeld();
    faults.setFaults(parseFaultSpec("dup=100%").spec);
    sendNumber(handed + 3);

    const FaultCounts counts = faults.counters().snapshot();
    EXPECT_FALSE(faults.stream().nextDue());
    EXPECT_TRUE(counts.datagramsSent == received && received == handed + 3 - counts.lost + counts.duplicated) << received;
}

// Past either bound, by count for small datagrams and by memory for large ones.
TEST(DatagramFaults, WhatALongDelayHoldsStopsAtItsBoundAndTheRestIsCountedDropped) {
    for (const size_t size : {size_t(16), size_t(1) << 16}) {
        SCOPED_TRACE(size);
        ScannerFaults faults(1);
        faults.setFaults(parseFaultSpec("dup=100%,delay=60s").spec);
        const size_t bound = std::min(DatagramFaults::kMaxHeldDatagrams, DatagramFaults::kMaxHeldBytes / size);
        uint64_t received = 0;
        const auto sink = [&](const QByteArray&) { ++received; };
        for (size_t k = 0; k < bound; ++k)
            faults.stream().send(QByteArray(int(size), char(k)), Clock::time_point{}, sink);
        faults.stream().sendDue(Clock::time_point{} + std::chrono::minutes(1), sink);
        const FaultCounts counts = faults.counters().snapshot();
        EXPECT_EQ(received + counts.heldDropped, 2 * bound);
        EXPECT_EQ(counts.delayed, received) << "only what was held counts as delayed";
        EXPECT_TRUE(received <= bound && received > bound * 99 / 100) << received;
    }
}

TEST(ScannerFaults, ConnectionsAndHellosSeeTheirFaultsAsPlannedAndCounted) {
    ScannerFaults faults(5);
    EXPECT_TRUE(faults.announceHello());
    faults.setFaults(parseFaultSpec("reply-delay=50ms,stall=2,hello=off").spec);
    EXPECT_FALSE(faults.announceHello());
    {
        ConnectionFaults client(faults.server());
        EXPECT_TRUE(client.onRequest(6, 0).delay == milliseconds(0) && client.reading());  // no reply: nothing to delay
        const ReplyPlan plan = client.onRequest(1, 100);
        EXPECT_TRUE(plan.delay == milliseconds(50) && plan.bytes == 100 && !plan.closeAfter && !client.reading());
    }
    faults.setFaults(parseFaultSpec("drop-after=1").spec);
    EXPECT_TRUE(ConnectionFaults(faults.server()).onRequest(1, 10).closeAfter);
    faults.setFaults(parseFaultSpec("stall=0,cut=100%").spec);
    ConnectionFaults cut(faults.server());
    EXPECT_FALSE(cut.reading() || cut.onRequest(6, 0).closeAfter) << "read at once; nothing to cut without a reply";
    const ReplyPlan plan = cut.onRequest(2, 2);  // a cut sends at least one byte and leaves at least one out
    EXPECT_TRUE(plan.closeAfter && plan.bytes == 1) << plan.bytes;

    const FaultCounts c = faults.counters().snapshot();
    EXPECT_EQ(std::tie(c.repliesDelayed, c.connectionsDropped, c.stalls, c.repliesCut, c.hellosSuppressed,
                       c.clientsConnected), std::make_tuple(1u, 1u, 2u, 1u, 1u, 1));
    EXPECT_EQ(c.requestsByCommand, (std::map<uint32_t, uint64_t>{{1, 2}, {2, 1}, {6, 2}}));

    const auto cutPoints = [](uint64_t seed) {
        ScannerFaults seeded(seed);
        seeded.setFaults(parseFaultSpec("cut=100%").spec);
        std::vector<int> points;
        for (int i = 0; i < 8; ++i)
            points.push_back(ConnectionFaults(seeded.server()).onRequest(2, 512).bytes);
        return points;
    };
    EXPECT_TRUE(cutPoints(5) == cutPoints(5) && cutPoints(5) != cutPoints(6)) << "the cuts follow the seed";
}

}  // namespace
