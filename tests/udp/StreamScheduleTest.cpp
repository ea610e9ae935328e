#include "udp/StreamSchedule.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

TEST(StreamSchedule, MeasurementsCountPeriodsBegunAndNeverGoBack) {
    const StreamSchedule::Clock::time_point start = StreamSchedule::Clock::now();
    StreamSchedule schedule(start);
    EXPECT_EQ(schedule.advanceMeasurements(10.0, start), start + milliseconds(10));
    EXPECT_EQ(schedule.measurementCounter(), 1u);
    // Catching up after a pause jumps ahead in one step.
    EXPECT_EQ(schedule.advanceMeasurements(10.0, start + milliseconds(25)), start + milliseconds(30));
    EXPECT_EQ(schedule.measurementCounter(), 3u);
    // A longer period does not take the counter back; the next step waits for the stretched timetable.
    EXPECT_EQ(schedule.advanceMeasurements(20.0, start + milliseconds(26)), start + milliseconds(60));
    EXPECT_EQ(schedule.measurementCounter(), 3u);
}

TEST(StreamSchedule, SkippedTimeIsNotOwed) {
    const StreamSchedule::Clock::time_point start = StreamSchedule::Clock::now();
    StreamSchedule schedule(start);
    schedule.countPacket();
    schedule.skip(start + milliseconds(10), start + milliseconds(110));
    EXPECT_EQ(schedule.packetDue(5.0), start + milliseconds(105));
    // A reset within the skipped time: the timetable starts where the skip ends.
    schedule.reset(start + milliseconds(200));
    schedule.skip(start + milliseconds(150), start + milliseconds(300));
    EXPECT_EQ(schedule.packetDue(5.0), start + milliseconds(300));
}

}  // namespace
