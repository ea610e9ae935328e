#include "udp/StreamSchedule.h"

#include <algorithm>

void StreamSchedule::reset(Clock::time_point now) {
    start_ = now;
    packets_ = 0;
}

void StreamSchedule::skip(Clock::time_point from, Clock::time_point now) {
    start_ += now - std::max(from, start_);
}

uint32_t StreamSchedule::packetCounter() const {
    return packets_;
}

uint32_t StreamSchedule::measurementCounter() const {
    return std::max<uint32_t>(packets_, 1);
}

StreamSchedule::Clock::time_point StreamSchedule::currentSlot(double periodMs) const {
    return slotOf(packets_, periodMs);
}

StreamSchedule::Clock::time_point StreamSchedule::packetDue(double periodMs) const {
    return slotOf(packets_ + 1, periodMs);
}

StreamSchedule::Clock::time_point StreamSchedule::slotOf(uint32_t packet, double periodMs) const {
    const uint64_t periods = packet == 0 ? 0 : packet - 1;
    const std::chrono::duration<double, std::milli> offset(double(periods) * periodMs);
    return start_ + std::chrono::duration_cast<Clock::duration>(offset);
}

void StreamSchedule::countPacket() {
    ++packets_;
}
