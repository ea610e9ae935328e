#include "udp/StreamSchedule.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

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
