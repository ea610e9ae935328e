#include "state/MeasurementSchedule.h"

#include <algorithm>
#include <utility>

MeasurementSchedule::MeasurementSchedule() : start_(Clock::now()) {}

void MeasurementSchedule::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = Clock::now();
    measurementCounter_ = 0;
    packetCounter_ = 0;
    changed_.notify_all();
}

void MeasurementSchedule::setFrequency(uint16_t hz) {
    const double period = hz == 0 ? 0.0 : 1000.0 / hz;
    std::lock_guard<std::mutex> lock(mutex_);
    if (periodMs_ == period)
        return;  // the usual case: every result sets the same rate again
    periodMs_ = period;
    changed_.notify_all();
}

MeasurementSchedule::Clock::duration MeasurementSchedule::openResult() {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    openResultAt(now);
    if (stopped_ || !hasPeriod())
        return Clock::duration::zero();
    return std::max(slotTime(packetCounter_) - now, Clock::duration::zero());
}

void MeasurementSchedule::dropOpenResult() {
    std::lock_guard<std::mutex> lock(mutex_);
    openResult_.reset();
}

std::optional<MeasurementSchedule::ResultSlot> MeasurementSchedule::takeResultSlot() {
    std::unique_lock<std::mutex> lock(mutex_);
    openResultAt(Clock::now());
    // Re-evaluated after every wake-up: a reset in between releases the result at once.
    while (!stopped_ && hasPeriod() && Clock::now() < slotTime(packetCounter_))
        changed_.wait_until(lock, slotTime(packetCounter_));
    if (stopped_)
        return std::nullopt;
    const ResultSlot slot = *std::exchange(openResult_, std::nullopt);
    ++packetCounter_;
    return slot;
}

uint32_t MeasurementSchedule::measurementCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    catchUpMeasurements(Clock::now());
    return static_cast<uint32_t>(measurementCounter_);
}

void MeasurementSchedule::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

void MeasurementSchedule::restart() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = false;
}

bool MeasurementSchedule::stopped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

bool MeasurementSchedule::hasPeriod() const { return periodMs_ > 0.0; }

void MeasurementSchedule::openResultAt(Clock::time_point now) {
    if (openResult_)
        return;
    catchUpMeasurements(now);
    openResult_ = ResultSlot{static_cast<uint32_t>(measurementCounter_), packetCounter_};
}

void MeasurementSchedule::catchUpMeasurements(Clock::time_point now) const {
    if (!hasPeriod() || now < start_)
        return;
    // One measurement at the reset and one at the end of every period since,
    // counted on from where the counter stands when the period changes.
    const std::chrono::duration<double, std::milli> elapsed = now - start_;
    const uint64_t due = static_cast<uint64_t>(elapsed.count() / periodMs_) + 1;
    measurementCounter_ = std::max(measurementCounter_, due);
}

MeasurementSchedule::Clock::time_point MeasurementSchedule::slotTime(uint64_t index) const {
    const std::chrono::duration<double, std::milli> offset(index * periodMs_);
    return start_ + std::chrono::duration_cast<Clock::duration>(offset);
}
