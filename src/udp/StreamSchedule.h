#pragma once

#include <chrono>
#include <cstdint>

// The stream's timeline, one start and the clock: packet k is due at
// start + (k - 1) * period (packets 0 and 1 at once) and measurement m
// begins with the slot of packet m, so every packet carries the measurement
// of its own slot however late it is built. Only the stream's thread uses
// it: resets come to it through the scanner's timeline.
class StreamSchedule {
public:
    using Clock = std::chrono::steady_clock;

    explicit StreamSchedule(Clock::time_point start = Clock::now()) : start_(start) {}

    // New timeline from `now`, the packet counter 0.
    void reset(Clock::time_point now);
    // The time from `from` to `now` is not owed any packets: the timeline moves
    // on by that much (by less when it started within that time).
    void skip(Clock::time_point from, Clock::time_point now);

    uint32_t packetCounter() const;
    // The measurement of the current packet's slot.
    uint32_t measurementCounter() const;

    // When the current packet's slot begins.
    Clock::time_point currentSlot(double periodMs) const;
    // When the packet after the current one may leave.
    Clock::time_point packetDue(double periodMs) const;
    void countPacket();

private:
    Clock::time_point slotOf(uint32_t packet, double periodMs) const;

    Clock::time_point start_;
    uint32_t packets_ = 0;
};
