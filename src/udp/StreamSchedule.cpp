#include "udp/StreamSchedule.h"

#include <algorithm>
#include <cmath>

void StreamSchedule::reset(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = now;
    packets_ = 0;
    measurements_ = 0;
}

void StreamSchedule::skip(Clock::time_point from, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ += now - std::max(from, start_);
}

uint32_t StreamSchedule::packetCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}

uint32_t StreamSchedule::measurementCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return measurements_;
}

StreamSchedule::Clock::time_point StreamSchedule::packetDue(double periodMs) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return start_ + periods(packets_, periodMs);
}

void StreamSchedule::countPacket() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++packets_;
}

StreamSchedule::Clock::time_point StreamSchedule::advanceMeasurements(double periodMs, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double elapsedMs = std::chrono::duration<double, std::milli>(now - start_).count();
    const double begun = std::floor(std::max(elapsedMs, 0.0) / periodMs) + 1;
    if (begun > measurements_)
        measurements_ = static_cast<uint32_t>(std::min(begun, 4294967295.0));
    return start_ + periods(measurements_, periodMs);
}

StreamSchedule::Clock::duration StreamSchedule::periods(uint64_t count, double periodMs) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(count * periodMs));
}
