#include "tcp/MeasurementSchedule.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <future>

namespace {

TEST(MeasurementSchedule, HoldsTheKthResultKPeriodsAfterTheResetWithTheCountersOfBeforeTheWait) {
    MeasurementSchedule schedule;
    QElapsedTimer sinceReset;
    sinceReset.start();
    schedule.reset(false);
    schedule.setFrequency(100);
    EXPECT_EQ(schedule.takeResultSlot()->packetCounter, 0u);
    const auto second = schedule.takeResultSlot();
    EXPECT_EQ(second->packetCounter, 1u);
    EXPECT_EQ(second->measurementCounter, 1u);
    EXPECT_GE(sinceReset.elapsed(), 10);
    // No task ticks the counter: it is read off the clock.
    QThread::msleep(30);
    EXPECT_GE(schedule.measurementCounter(), uint32_t(sinceReset.elapsed() / 10));
}

TEST(MeasurementSchedule, StopEndsAPacedResultAtOnce) {
    MeasurementSchedule schedule;
    schedule.setFrequency(1);
    ASSERT_TRUE(schedule.takeResultSlot());
    auto paced = std::async(std::launch::async, [&] { return schedule.takeResultSlot(); });
    ASSERT_EQ(paced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "second result is paced";
    schedule.stop();
    EXPECT_EQ(paced.wait_for(std::chrono::milliseconds(500)), std::future_status::ready) << "1 s wait cut short";
    EXPECT_FALSE(paced.get()) << "a stopped schedule hands out no result";
}

}  // namespace
