#include "profile/ProfileSource.h"
#include "udp/ProfilePacket.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Points = std::vector<ProfilePoint>;

const Points kDrawn{{-100, 200}, {0, 300}, {100, 400}};
const Points kOther{{-5, 7000}, {5, 8000}, {15, 9000}};  // as many: only the points tell them apart
constexpr uint8_t kInvertX = 1;

Points pointsOf(const ProfileSnapshot& snapshot) {
    Points points;
    for (int i = 0; i < snapshot.count(); ++i)
        points.push_back({snapshot.x[size_t(i)], snapshot.z[size_t(i)]});
    return points;
}

ProfileSnapshot snapshotOf(const Points& points) {
    ProfileStore store;
    store.replace(points);
    ProfileSnapshot snapshot;
    store.copySnapshot(snapshot);
    snapshot.stamp = 0;
    return snapshot;
}

// A snapshot reused copy after copy, as the stream keeps one.
class ReusedSnapshot : public ::testing::Test {
protected:
    void SetUp() override { drawn.replace(kDrawn); }
    Points copyFromFeed() {
        feed.copyProfile(1, snapshot, kMaxProfilePoints);
        return pointsOf(snapshot);
    }

    ProfileStore drawn;
    ProfileFeed feed{drawn};
    ProfileSnapshot snapshot;
};

}  // namespace

TEST_F(ReusedSnapshot, TakesTheStoresChange) {
    copyFromFeed();
    drawn.replace(kOther);
    EXPECT_EQ(copyFromFeed(), kOther);
}

TEST_F(ReusedSnapshot, HoldsTheDrawnProfileAgainAfterARecordingPlayed) {
    copyFromFeed();
    feed.play(std::make_shared<HeldFramesSource>(std::vector<ProfileSnapshot>{snapshotOf(kOther)}, Playback::Loop));
    ASSERT_EQ(copyFromFeed(), kOther);
    feed.play(nullptr);
    EXPECT_EQ(copyFromFeed(), kDrawn);
}

TEST_F(ReusedSnapshot, HoldsTheStoresPointsAgainAfterATransform) {
    copyFromFeed();
    transformProfile(snapshot, kInvertX, {});
    EXPECT_EQ(copyFromFeed(), kDrawn);
}

TEST_F(ReusedSnapshot, HoldsAnotherStoresPointsWhenCopiedFromIt) {
    copyFromFeed();
    ProfileStore other;
    other.replace(kOther);
    other.copySnapshot(snapshot);
    EXPECT_EQ(pointsOf(snapshot), kOther);
}
