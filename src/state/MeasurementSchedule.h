#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

// The two counters that go into results and the clock they run on. The
// measurement counter is a function of the last reset and the clock (one
// measurement at the reset and one per period since), brought up to date
// whenever it is read; no task ticks it. The packet counter is advanced by
// the result command on the server thread, and the panel resets both from
// the GUI thread; everything here is guarded by one lock, and every wait
// wakes at once on a reset or a stop. Wake-ups are sent under the lock, so
// whoever takes it next (a destructor included) finds them finished.
class MeasurementSchedule {
public:
    using Clock = std::chrono::steady_clock;

    struct ResultSlot {
        uint32_t measurementCounter;
        uint32_t packetCounter;  // the result's number since the reset
    };

    // Measurement period of the scanner with and without DHS.
    static constexpr double kDhsPeriodMs = 2.03666;
    static constexpr double kNormalPeriodMs = 4.032258;

    MeasurementSchedule();

    // Both counters to 0 and the clock restarts. The period stays: every
    // result sets it from the rate before it reads the counters.
    void reset();

    // The result command's rate replaces the period. 0 Hz has no period:
    // results are not held back and the counter stands.
    void setFrequency(uint16_t hz);

    // Takes up the next result: its counters are those of this moment, even
    // when it has to wait. Returns how long until it may leave (k-th result
    // since the reset: k periods after it). Taking it up again changes nothing.
    Clock::duration openResult();
    // The result taken up belonged to a connection that is gone.
    void dropOpenResult();
    // Holds the caller until the result (taken up now unless it was before)
    // may leave, then counts it. Empty when stopped.
    std::optional<ResultSlot> takeResultSlot();

    uint32_t measurementCounter() const;

    // Stop ends every wait at once and keeps later ones from starting.
    void stop();
    void restart();
    bool stopped() const;

private:
    bool hasPeriod() const;
    void openResultAt(Clock::time_point now);
    void catchUpMeasurements(Clock::time_point now) const;
    Clock::time_point slotTime(uint64_t index) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point start_;
    double periodMs_ = kNormalPeriodMs;  // 0: no period
    mutable uint64_t measurementCounter_ = 0;  // low 32 bits are handed out; never goes back
    uint32_t packetCounter_ = 0;
    std::optional<ResultSlot> openResult_;
    bool stopped_ = false;
};
