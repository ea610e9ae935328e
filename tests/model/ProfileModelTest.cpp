#include "profile/ProfileModel.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using Points = std::vector<ProfilePoint>;
using Dots = std::vector<Dot>;

// The i-th distinct dot of a drawing that sweeps the rows alternately right and
// left, so that neighbouring dots are always one pixel apart.
Dot snakeDot(int i) {
    const int row = i / kAreaWidth, column = i % kAreaWidth;
    return {row % 2 ? kAreaWidth - 1 - column : column, row};
}

class ProfileModelTest : public ::testing::Test {
protected:
    void setInterpolation(uint8_t index) {
        params.update([index](USER_PARAMS& p) { p.interpolation_u8 = index; });
    }
    Points profile() const { return store.points(); }
    bool appendSnakeDot(int i) {
        const Dot d = snakeDot(i);
        return model.appendDot(d.x, d.y);
    }
    void drawSnake(int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(appendSnakeDot(i)) << i;
    }

    ProfileStore store;
    UserParamsStore params;
    ProfileModel model{store, params};
};

Segment drag(int x1, int y1, int x2, int y2) {
    Segment s = Segment::startingAt(x1, y1);
    s.setEnd(x2, y2);
    return s;
}

TEST(Conversion, PixelsToUnitsAndMidpoints) {
    EXPECT_EQ(pixelToUnits(0, 479).x, -8192);
    EXPECT_EQ(pixelToUnits(320, 479).x, 0);
    EXPECT_EQ(pixelToUnits(639, 479).x, 8166);
    EXPECT_EQ(pixelToUnits(0, 479).z, 34);
    EXPECT_EQ(pixelToUnits(0, 240).z, 8192);
    EXPECT_EQ(pixelToUnits(0, 0).z, 16384);
    // Negative products truncate toward zero, not down.
    EXPECT_EQ(pixelToUnits(1, 0).x, -8166);
    // Midpoints round half sums down, also for negative X.
    EXPECT_EQ(midpointOf({-10, 0}, {10, 0}).x, 0);
    EXPECT_EQ(midpointOf({-11, 0}, {-20, 0}).x, -16);
    EXPECT_EQ(midpointOf({-32768, 16384}, {-32767, 16349}), (ProfilePoint{-32768, 16366}));
}

TEST(Geometry, LineHasOnePointPerColumnWithoutTheEndColumn) {
    EXPECT_EQ(linePoints(drag(100, 200, 103, 206)), (Dots{{100, 200}, {101, 202}, {102, 204}}));
    // Right to left walks down from the start; rows truncate toward zero.
    EXPECT_EQ(linePoints(drag(103, 10, 101, 11)), (Dots{{103, 10}, {102, 10}}));
    EXPECT_TRUE(linePoints(drag(100, 200, 100, 300)).empty());
}

TEST(Geometry, LineLeavingTheAreaListsOnlyInsidePoints) {
    const Dots right = linePoints(drag(636, 5, 700, 5));
    EXPECT_EQ(right, (Dots{{636, 5}, {637, 5}, {638, 5}, {639, 5}}));
    const Dots up = linePoints(drag(10, 2, 14, -2));  // rows 2, 1, 0, then -1 is outside
    EXPECT_EQ(up, (Dots{{10, 2}, {11, 1}, {12, 0}}));
    // A drag far outside does not walk millions of columns.
    EXPECT_EQ(linePoints(drag(-2000000000, 7, 2000000000, 7)).size(), size_t(kAreaWidth));
}

TEST(Geometry, ArcMatchesHandComputedPoints) {
    // Centre (110, 100), radius 10; columns 101..108.
    EXPECT_EQ(arcPoints(drag(100, 100, 110, 110)),
              (Dots{{101, 104}, {102, 106}, {103, 107}, {104, 108}, {105, 108}, {106, 109}, {107, 109}, {108, 109}}));
    // Centre (103.125, 100), radius 3.125: a centre between pixels.
    EXPECT_EQ(arcPoints(drag(100, 100, 104, 103)), (Dots{{101, 102}, {102, 102}}));
    // B above A, dragged to the left: the upper half, columns 191..198 ascending.
    const Dots arc = arcPoints(drag(200, 300, 190, 290));
    ASSERT_EQ(arc.size(), 8u);
    EXPECT_EQ(arc.front(), (Dot{191, 290}));
    EXPECT_EQ(arc[6], (Dot{197, 292}));  // 300 - sqrt(51) = 292.86
    EXPECT_EQ(arc.back(), (Dot{198, 294}));
}

TEST(Geometry, DegenerateAndUnfinishedDragsGiveNoPoints) {
    EXPECT_TRUE(arcPoints(drag(100, 100, 100, 150)).empty());
    EXPECT_TRUE(arcPoints(drag(100, 100, 150, 100)).empty());
    EXPECT_TRUE(arcPoints(drag(100, 100, 102, 110)).empty());  // no column between the ends
    // A press alone leaves the end unset, whatever end is stored.
    EXPECT_FALSE(Segment::startingAt(10, 10).endSet);
    const Segment stale{100, 200, 103, 206, false};
    EXPECT_TRUE(linePoints(stale).empty());
    EXPECT_TRUE(arcPoints(stale).empty());
}

TEST_F(ProfileModelTest, AppendDotRefusesOutsidePointsAndRepeats) {
    for (Dot outside : Dots{{-1, 0}, {0, -1}, {640, 0}, {0, 480}, {-5000, 100}})
        EXPECT_FALSE(model.appendDot(outside.x, outside.y)) << outside.x << "," << outside.y;
    EXPECT_TRUE(model.appendDot(639, 479));
    EXPECT_TRUE(model.appendDot(0, 0));
    EXPECT_FALSE(model.appendDot(639, 479));
    EXPECT_EQ(model.dots(), (Dots{{639, 479}, {0, 0}}));
    EXPECT_EQ(profile(), (Points{pixelToUnits(639, 479), pixelToUnits(0, 0)}));
}

TEST_F(ProfileModelTest, CommitsAddTheGeometryAndSkipDrawnPoints) {
    model.appendDot(101, 202);
    model.commitLine(drag(100, 200, 103, 206));
    EXPECT_EQ(model.dots(), (Dots{{101, 202}, {100, 200}, {102, 204}}));
    model.commitLine(Segment{300, 10, 350, 10, false});
    model.commitArc(Segment{300, 10, 350, 20, false});
    EXPECT_EQ(model.dots().size(), 3u);
    model.commitArc(drag(100, 100, 104, 103));
    EXPECT_EQ(model.dots().size(), 5u);
    EXPECT_EQ(store.count(), 5);
}

TEST_F(ProfileModelTest, ClearEmptiesDotsAndProfileAndFreesThePixels) {
    model.appendDot(5, 5);
    model.appendDot(6, 5);
    model.clear();
    EXPECT_TRUE(model.dots().empty());
    EXPECT_EQ(store.count(), 0);
    EXPECT_TRUE(model.appendDot(6, 5));
    EXPECT_EQ(profile(), (Points{pixelToUnits(6, 5)}));
}

TEST_F(ProfileModelTest, DrawingMidpointsWhileInterpolating) {
    setInterpolation(4);
    ASSERT_TRUE(model.appendDot(1, 1));
    ASSERT_TRUE(model.appendDot(3, 0));
    EXPECT_EQ(model.dots().size(), 2u);
    EXPECT_EQ(profile(), (Points{{-8166, 16349}, {-8141, 16366}, {-8115, 16384}}));

    // 14 rows are 477 units: a midpoint; 15 rows are 512: a jump.
    model.clear();
    model.appendDot(10, 100);
    model.appendDot(11, 114);
    EXPECT_EQ(store.count(), 3);
    model.appendDot(12, 129);
    EXPECT_EQ(store.count(), 4);

    setInterpolation(3);
    model.appendDot(13, 129);
    EXPECT_EQ(store.count(), 5);

    // The last point may come from a loaded file: 499 units either way still
    // get a midpoint, 500 do not.
    setInterpolation(4);
    const uint16_t z = pixelToUnits(0, 200).z;
    for (int dz : {499, -499, 500, -500}) {
        model.clear();
        store.append(ProfilePoint{0, static_cast<uint16_t>(z + dz)});
        ASSERT_TRUE(model.appendDot(0, 200));
        EXPECT_EQ(store.count(), dz == 499 || dz == -499 ? 3 : 2) << dz;
    }
}

TEST_F(ProfileModelTest, RebuildKeepsEveryNthDot) {
    EXPECT_EQ(model.rebuild(0), 0);
    drawSnake(20);
    EXPECT_EQ(model.rebuild(0), 3);
    EXPECT_EQ(profile(), (Points{pixelToUnits(0, 0), pixelToUnits(8, 0), pixelToUnits(16, 0)}));
    EXPECT_EQ(model.rebuild(3), 20);
    EXPECT_EQ(model.rebuild(-1), 2);  // no selection: every 16th
    EXPECT_EQ(store.at(1), pixelToUnits(16, 0));
    EXPECT_EQ(model.dots().size(), 20u);
}

TEST_F(ProfileModelTest, RebuildWithAnyIndexNeverStepsByZero) {
    drawSnake(20);
    for (int index : {5, 6, 100, INT_MAX})
        EXPECT_EQ(model.rebuild(index), 20) << index;  // every dot, no midpoints
    for (int index : {-2, -13, -100, INT_MIN})
        EXPECT_EQ(model.rebuild(index), 1) << index;
}

TEST_F(ProfileModelTest, RebuildAtIndexFourAddsMidpointsBetweenCloseDots) {
    for (int x : {100, 101, 102})
        model.appendDot(x, 100);
    EXPECT_EQ(model.rebuild(4), 4);
    const ProfilePoint d1 = pixelToUnits(101, 100), d2 = pixelToUnits(102, 100);
    EXPECT_EQ(profile(), (Points{pixelToUnits(100, 100), d1, midpointOf(d1, d2), d2}));

    // 19 columns are 486 units apart: a midpoint; 20 columns are 512: a jump.
    model.appendDot(121, 100);
    model.appendDot(141, 100);
    EXPECT_EQ(model.rebuild(4), 7);
    EXPECT_EQ(store.at(4), midpointOf(d2, pixelToUnits(121, 100)));
    EXPECT_EQ(store.at(5), pixelToUnits(121, 100));
    EXPECT_EQ(store.at(6), pixelToUnits(141, 100));
}

TEST_F(ProfileModelTest, RebuildReplacesPointsThatDidNotComeFromDots) {
    setInterpolation(4);
    model.appendDot(10, 10);
    model.appendDot(11, 10);
    store.append(ProfilePoint{1, 1});
    EXPECT_EQ(model.rebuild(3), 2);
    EXPECT_EQ(profile(), (Points{pixelToUnits(10, 10), pixelToUnits(11, 10)}));
}

TEST_F(ProfileModelTest, DotsStopAt65535) {
    drawSnake(kMaxDots);
    EXPECT_FALSE(appendSnakeDot(kMaxDots));
    EXPECT_EQ(model.dots().size(), size_t(kMaxDots));
    EXPECT_EQ(store.count(), kMaxProfilePoints);
    model.clear();
    EXPECT_TRUE(model.appendDot(0, 0));
}

TEST_F(ProfileModelTest, DrawingMidpointsStopTheProfileAt65535WithoutWrapping) {
    appendSnakeDot(0);
    appendSnakeDot(1);
    setInterpolation(4);
    // Each further dot adds a midpoint and itself, up to 65534 entries.
    int i = 2;
    while (store.count() < kMaxProfilePoints - 1)
        ASSERT_TRUE(appendSnakeDot(i++));
    EXPECT_EQ(i, 32768);
    // One slot left: the dot goes in without its midpoint.
    const Dot last = snakeDot(i);
    ASSERT_TRUE(appendSnakeDot(i++));
    EXPECT_EQ(store.count(), kMaxProfilePoints);
    EXPECT_EQ(store.at(kMaxProfilePoints - 1), pixelToUnits(last.x, last.y));
    // Full: refused like a full dot list, and nothing wraps to 0.
    EXPECT_FALSE(appendSnakeDot(i));
    EXPECT_EQ(store.count(), kMaxProfilePoints);
    EXPECT_EQ(model.dots().back(), last);
}

TEST_F(ProfileModelTest, RebuildAtIndexFourOverManyDotsStopsAt65535) {
    drawSnake(kMaxDots);
    EXPECT_EQ(model.rebuild(4), kMaxProfilePoints);
    EXPECT_EQ(store.count(), kMaxProfilePoints);
    // dot 0, dot 1, then (midpoint, dot) pairs; the last slot takes a dot alone.
    const Dot d32767 = model.dots()[32767], d32768 = model.dots()[32768];
    EXPECT_EQ(store.at(kMaxProfilePoints - 2), pixelToUnits(d32767.x, d32767.y));
    EXPECT_EQ(store.at(kMaxProfilePoints - 1), pixelToUnits(d32768.x, d32768.y));
}

}  // namespace
