#include "tcp/MeasurementSchedule.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <future>
#include <thread>

namespace {

TEST(MeasurementSchedule, HoldsTheKthResultKPeriodsAfterTheReset) {
    MeasurementSchedule schedule;
    QElapsedTimer sinceReset;
    sinceReset.start();
    schedule.reset(false);
    schedule.setFrequency(100);
    EXPECT_EQ(schedule.takeResultSlot()->packetCounter, 0u);
    const auto second = schedule.takeResultSlot();
    EXPECT_EQ(second->packetCounter, 1u);
    EXPECT_EQ(second->measurementCounter, 1u) << "counters are those of before the wait";
    EXPECT_GE(sinceReset.elapsed(), 10);
    EXPECT_EQ(schedule.takeResultSlot()->packetCounter, 2u);
    EXPECT_GE(sinceReset.elapsed(), 20);
}

TEST(MeasurementSchedule, ZeroHertzLeavesResultsUnpacedAndTheCounterIdle) {
    MeasurementSchedule schedule;
    schedule.setFrequency(0);
    for (uint32_t k = 0; k < 100; ++k)
        EXPECT_EQ(schedule.takeResultSlot()->packetCounter, k);

    const int ticket = schedule.beginCounterTask();
    std::thread counter([&] { schedule.runCounter(ticket); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(schedule.measurementCounter(), 0u) << "no period, no measurements";

    schedule.reset(false);  // back to the measurement period: counting resumes
    while (schedule.measurementCounter() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    schedule.endCounterTasks();
    counter.join();
}

TEST(MeasurementSchedule, StopEndsAPacedResultAndTheCounterAtOnce) {
    MeasurementSchedule schedule;
    schedule.setFrequency(1);
    ASSERT_TRUE(schedule.takeResultSlot());
    const int ticket = schedule.beginCounterTask();
    std::thread counter([&] { schedule.runCounter(ticket); });

    QElapsedTimer waited;
    waited.start();
    auto paced = std::async(std::launch::async, [&] { return schedule.takeResultSlot(); });
    ASSERT_EQ(paced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "second result is paced";
    schedule.stop();
    EXPECT_FALSE(paced.get()) << "a stopped schedule hands out no result";
    counter.join();
    EXPECT_LT(waited.elapsed(), 900) << "the 1 s pacing wait was not cut short";
    EXPECT_FALSE(schedule.takeResultSlot());
}

TEST(MeasurementSchedule, ResetReleasesAWaitingResultAndTheNextCountsOnFromIt) {
    MeasurementSchedule schedule;
    schedule.setFrequency(1);
    ASSERT_TRUE(schedule.takeResultSlot());
    schedule.openResult();  // as the server does when the request arrives
    auto paced = std::async(std::launch::async, [&] { return schedule.takeResultSlot(); });
    ASSERT_EQ(paced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    schedule.reset(false);
    const auto slot = paced.get();
    ASSERT_TRUE(slot);
    EXPECT_EQ(slot->packetCounter, 1u) << "taken up before the reset";
    EXPECT_EQ(schedule.takeResultSlot()->packetCounter, 1u);
}

}  // namespace
