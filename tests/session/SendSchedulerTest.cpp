#include "scanner/SendScheduler.h"
#include "support/TestUtil.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

namespace {

using Clock = SendJob::Clock;
using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr microseconds kStreamLateness{250};
// Time enough to add every job of a test before the first is due, however slow the machine.
constexpr milliseconds kLead{200};

// Runs first at once (as every added job does), then at the times it is
// given, and notes when each run began.
class ScriptedJob : public SendJob {
public:
    explicit ScriptedJob(std::deque<Due> script) : script_(std::move(script)) {}

    std::optional<Due> runDue(Clock::time_point now) override {
        std::lock_guard<std::mutex> lock(mutex_);
        runs_.push_back(now);
        if (script_.empty())
            return std::nullopt;
        const Due next = script_.front();
        script_.pop_front();
        return next;
    }

    // When run `index` (0: the one at once) began; nothing within 5 s.
    std::optional<Clock::time_point> run(size_t index) {
        if (!waitUntil([&] { return runCount() > index; }))
            return std::nullopt;
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_[index];
    }

private:
    size_t runCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return runs_.size();
    }

    std::mutex mutex_;
    std::deque<Due> script_;
    std::vector<Clock::time_point> runs_;
};

// Jobs on a scheduler of their own, taken off before they go.
class SendSchedulerTest : public ::testing::Test {
protected:
    ~SendSchedulerTest() override {
        for (ScriptedJob& job : jobs_)
            scheduler_.remove(&job);
    }

    // Added once its first run is over, so that the ones added before see it queued at `due`.
    ScriptedJob& addJob(SendJob::Due due) {
        ScriptedJob& job = jobs_.emplace_back(std::deque<SendJob::Due>{due});
        scheduler_.add(&job);
        EXPECT_TRUE(job.run(0));
        return job;
    }

    const Clock::time_point t0_ = Clock::now() + kLead;
    SendScheduler scheduler_;
    std::deque<ScriptedJob> jobs_;
};

TEST_F(SendSchedulerTest, AJobWaitsForAnotherDueWithinItsLateness) {
    const auto later = t0_ + microseconds(100);
    addJob({later, kStreamLateness});
    ScriptedJob& first = addJob({t0_, kStreamLateness});
    EXPECT_GE(first.run(1).value_or(Clock::time_point{}), later);
}

TEST_F(SendSchedulerTest, AJobDoesNotWaitForAnotherDueAfterItsLateness) {
    const auto later = t0_ + seconds(1);
    addJob({later, kStreamLateness});
    ScriptedJob& first = addJob({t0_, kStreamLateness});
    EXPECT_LT(first.run(1).value_or(Clock::time_point::max()), later);
}

// A hello may wait long for a stream's wake-up, but not make the stream wait for another.
TEST_F(SendSchedulerTest, AJobOfLongLatenessRunsWithTheNextJobThatMayNotWait) {
    const auto stream = t0_ + milliseconds(5);
    const auto afterStream = t0_ + seconds(1);
    addJob({afterStream, kStreamLateness});
    addJob({stream, kStreamLateness});
    ScriptedJob& hello = addJob({t0_, seconds(2)});
    const Clock::time_point ran = hello.run(1).value_or(Clock::time_point{});
    EXPECT_GE(ran, stream);
    EXPECT_LT(ran, afterStream);
}

TEST_F(SendSchedulerTest, AWokenJobRunsAtOnceWhateverItsDeadline) {
    ScriptedJob& job = addJob({Clock::now() + hours(1), kStreamLateness});
    scheduler_.wake(&job);
    EXPECT_TRUE(job.run(1));
}

}  // namespace
