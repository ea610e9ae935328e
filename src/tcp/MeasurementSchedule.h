#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

// The two counters that go into results and the clock they run on. The
// measurement counter is advanced by a counter task on a pool thread, the
// packet counter by the result command on the server thread, and the panel
// resets both from the GUI thread; everything here is guarded by one lock, and
// every wait wakes at once on a reset, a stop or the end of its task. Wake-ups
// are sent under the lock, so whoever takes it next (a destructor included)
// finds them finished.
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

    // Both counters to 0, the clock restarts, the period is the measurement one.
    void reset(bool dhs);

    // The result command's rate replaces the period. 0 Hz has no period:
    // results are not held back and the counter task idles until a reset.
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
    uint32_t packetCounter() const;

    // A new counter task's ticket; every earlier task ends.
    int beginCounterTask();
    void endCounterTasks();
    // The counter task's body: advances the measurement counter once per
    // period until its ticket is superseded or the schedule is stopped. A
    // result brings the counter up to date itself, so the two always agree.
    void runCounter(int ticket);

    // Stop ends every wait at once and keeps later ones from starting.
    void stop();
    void restart();
    bool stopped() const;

private:
    bool hasPeriod() const;
    void openResultAt(Clock::time_point now);
    void catchUpMeasurements(Clock::time_point now);
    Clock::time_point slotTime(uint64_t index) const;

    static constexpr std::chrono::milliseconds kMinCounterTick{1};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point start_;
    double periodMs_ = kNormalPeriodMs;  // 0: no period
    uint64_t measurementCounter_ = 0;  // low 32 bits are handed out
    uint32_t packetCounter_ = 0;
    std::optional<ResultSlot> openResult_;
    int counterTicket_ = 0;
    bool stopped_ = false;
};
