#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

// The stream's absolute timetable: packet k is due at start + k * period and
// the measurement counter counts the periods begun since start. The counters
// and the start move together under one lock, so a reset from the GUI thread
// never pairs a new start with an old counter.
class StreamSchedule {
public:
    using Clock = std::chrono::steady_clock;

    explicit StreamSchedule(Clock::time_point start = Clock::now()) : start_(start) {}

    // New timetable from `now`, both counters 0.
    void reset(Clock::time_point now);
    // The time from `from` to `now` is not owed any packets: the timetable moves
    // on by that much (by less when it started within that time).
    void skip(Clock::time_point from, Clock::time_point now);

    uint32_t packetCounter() const;
    uint32_t measurementCounter() const;

    // When the packet after the current packet counter may leave.
    Clock::time_point packetDue(double periodMs) const;
    void countPacket();

    // Brings the measurement counter up to the number of periods begun by
    // `now` (it never goes back) and returns when the next period begins.
    Clock::time_point advanceMeasurements(double periodMs, Clock::time_point now);

private:
    static Clock::duration periods(uint64_t count, double periodMs);

    mutable std::mutex mutex_;
    Clock::time_point start_;
    uint32_t packets_ = 0;
    uint32_t measurements_ = 0;
};
