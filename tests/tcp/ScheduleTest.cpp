#include "state/MeasurementSchedule.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <future>

namespace {

TEST(MeasurementSchedule, HoldsTheKthResultKPeriodsAfterTheResetWithTheCountersOfBeforeTheWait) {
    MeasurementSchedule schedule;
    QElapsedTimer sinceReset;
    sinceReset.start();
    schedule.reset();
    schedule.setFrequency(100);
    EXPECT_EQ(schedule.takeResultSlot()->packetCounter, 0u);
    const auto second = schedule.takeResultSlot();
    EXPECT_EQ(std::make_pair(second->packetCounter, second->measurementCounter), std::make_pair(1u, 1u));
    EXPECT_GE(sinceReset.elapsed(), 10);
    // No task ticks the counter: it is read off the clock.
    QThread::msleep(30);
    const qint64 elapsed = sinceReset.elapsed();
    const uint32_t counted = schedule.measurementCounter();
    EXPECT_GE(counted, uint32_t(elapsed / 10));
    schedule.setFrequency(0);
    EXPECT_EQ(schedule.measurementCounter(), counted) << "0 Hz: the counter stands";
}

// A stopped schedule hands out no result; a reset one hands it out at once.
TEST(MeasurementSchedule, StopOrResetEndsAPacedResultAtOnce) {
    for (const bool reset : {false, true}) {
        MeasurementSchedule schedule;
        schedule.setFrequency(1);
        ASSERT_TRUE(schedule.takeResultSlot());
        auto paced = std::async(std::launch::async, [&] { return schedule.takeResultSlot(); });
        ASSERT_EQ(paced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "paced";
        reset ? schedule.reset() : schedule.stop();
        EXPECT_EQ(paced.wait_for(std::chrono::milliseconds(500)), std::future_status::ready) << "1 s wait cut short";
        EXPECT_EQ(paced.get().has_value(), reset);
    }
}

}  // namespace
