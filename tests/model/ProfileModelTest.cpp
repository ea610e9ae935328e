#include "profile/ProfileModel.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

namespace {

using Points = std::vector<ProfilePoint>;
using Dots = std::vector<Dot>;

Segment drag(int x1, int y1, int x2, int y2) {
    Segment s = Segment::startingAt(x1, y1);
    s.setEnd(x2, y2);
    return s;
}

// The i-th dot of a drawing that sweeps the rows alternately right and left,
// so that neighbouring dots are always one pixel apart.
Dot snakeDot(int i) {
    const int row = i / kAreaWidth, column = i % kAreaWidth;
    return {row % 2 ? kAreaWidth - 1 - column : column, row};
}

class ProfileModelTest : public ::testing::Test {
protected:
    void setInterpolation(uint8_t index) {
        params.update([index](USER_PARAMS& p) { p.interpolation_u8 = index; });
    }
    bool appendSnakeDot(int i) { return model.appendDot(snakeDot(i).x, snakeDot(i).y); }
    void drawSnake(int n) {
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(appendSnakeDot(i)) << i;
    }

    ProfileStore store;
    UserParamsStore params;
    ProfileModel model{store, params};
};

TEST(Conversion, PixelsToUnitsTruncateTowardZeroAndMidpointsRoundDown) {
    EXPECT_EQ((Points{pixelToUnits(0, 479), pixelToUnits(639, 0), pixelToUnits(1, 240)}),
              (Points{{-8192, 34}, {8166, 16384}, {-8166, 8192}}));
    EXPECT_EQ(midpointOf({-11, 0}, {-20, 0}).x, -16);
    EXPECT_EQ(midpointOf({-32768, 16384}, {-32767, 16349}), (ProfilePoint{-32768, 16366}));
}

TEST(Geometry, LineHasOnePointPerColumnWithoutTheEndColumnInsideTheAreaOnly) {
    EXPECT_EQ(linePoints(drag(100, 200, 103, 206)), (Dots{{100, 200}, {101, 202}, {102, 204}}));
    EXPECT_EQ(linePoints(drag(103, 10, 101, 11)), (Dots{{103, 10}, {102, 10}}));  // right to left
    EXPECT_TRUE(linePoints(drag(100, 200, 100, 300)).empty());
    EXPECT_EQ(linePoints(drag(636, 5, 700, 5)), (Dots{{636, 5}, {637, 5}, {638, 5}, {639, 5}}));
    EXPECT_EQ(linePoints(drag(10, 2, 14, -2)), (Dots{{10, 2}, {11, 1}, {12, 0}}));
    // A drag far outside does not walk billions of columns.
    EXPECT_EQ(linePoints(drag(-2000000000, 7, 2000000000, 7)).size(), size_t(kAreaWidth));
}

TEST(Geometry, ArcMatchesHandComputedPointsAndDegenerateDragsGiveNone) {
    // Centre (110, 100), radius 10; columns 101..108.
    EXPECT_EQ(arcPoints(drag(100, 100, 110, 110)),
              (Dots{{101, 104}, {102, 106}, {103, 107}, {104, 108}, {105, 108}, {106, 109}, {107, 109}, {108, 109}}));
    // B above A, dragged to the left: the upper half.
    const Dots upper = arcPoints(drag(200, 300, 190, 290));
    ASSERT_EQ(upper.size(), 8u);
    EXPECT_EQ(upper[6], (Dot{197, 292}));  // 300 - sqrt(51) = 292.86
    EXPECT_TRUE(arcPoints(drag(100, 100, 100, 150)).empty() && arcPoints(drag(100, 100, 150, 100)).empty());
    // A press alone leaves the end unset, whatever end is stored.
    const Segment stale{100, 200, 103, 206, false};
    EXPECT_TRUE(linePoints(stale).empty() && arcPoints(stale).empty());
}

TEST_F(ProfileModelTest, DotsInsideTheAreaAreTakenOnceUntilCleared) {
    for (Dot outside : Dots{{-1, 0}, {0, -1}, {640, 0}, {0, 480}})
        EXPECT_FALSE(model.appendDot(outside.x, outside.y)) << outside.x << "," << outside.y;
    EXPECT_TRUE(model.appendDot(639, 479) && !model.appendDot(639, 479)) << "once";
    model.commitLine(drag(638, 479, 641, 479));  // skips the drawn pixel
    EXPECT_EQ(model.dots(), (Dots{{639, 479}, {638, 479}}));
    EXPECT_EQ(store.points(), (Points{pixelToUnits(639, 479), pixelToUnits(638, 479)}));
    model.clear();
    EXPECT_TRUE(store.count() == 0 && model.appendDot(639, 479));
}

TEST_F(ProfileModelTest, DrawingAddsAMidpointBeforeADotWithinHalfAThousandUnitsOfZ) {
    setInterpolation(4);
    const uint16_t z = pixelToUnits(0, 200).z;
    for (int dz : {499, -499, 500, -500}) {
        model.clear();
        store.append(ProfilePoint{0, static_cast<uint16_t>(z + dz)});  // as from a loaded file
        ASSERT_TRUE(model.appendDot(0, 200));
        EXPECT_EQ(store.count(), std::abs(dz) < 500 ? 3 : 2) << dz;
    }
    setInterpolation(3);
    EXPECT_TRUE(model.appendDot(1, 200) && store.count() == 3);
}

// Point-count index, step between the dots kept.
class RebuildStep : public ProfileModelTest, public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(RebuildStep, KeepsEveryNthDotAndNeverStepsByZero) {
    drawSnake(20);
    store.append(ProfilePoint{1, 1});  // not from a dot: a rebuild drops it
    const auto [index, step] = GetParam();
    EXPECT_EQ(model.rebuild(index), (20 + step - 1) / step);
    EXPECT_TRUE(step >= 20 || store.at(1) == pixelToUnits(step, 0));
    EXPECT_EQ(model.dots().size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(Indices, RebuildStep,
                         ::testing::Values(std::make_tuple(0, 8), std::make_tuple(3, 1), std::make_tuple(-1, 16),
                                           std::make_tuple(6, 1), std::make_tuple(INT_MAX, 1),
                                           std::make_tuple(-13, 65536), std::make_tuple(INT_MIN, 65536)));

TEST_F(ProfileModelTest, RebuildAtIndexFourAddsMidpointsBetweenCloseDotsOnly) {
    // 19 columns are 486 units apart; 18 columns and 6 rows 504
    const Dots drawn{{100, 100}, {101, 100}, {102, 100}, {121, 100}, {139, 106}};
    for (Dot d : drawn)
        model.appendDot(d.x, d.y);
    EXPECT_EQ(model.rebuild(4), 7);
    Points at;
    for (Dot d : drawn)
        at.push_back(pixelToUnits(d.x, d.y));
    EXPECT_EQ(store.points(), (Points{at[0], at[1], midpointOf(at[1], at[2]), at[2], midpointOf(at[2], at[3]), at[3],
                                      at[4]}));
}

TEST_F(ProfileModelTest, MidpointsStopTheProfileAt65535OnADrawnPointWithoutWrapping) {
    appendSnakeDot(0);
    appendSnakeDot(1);
    setInterpolation(4);
    int i = 2;
    while (store.count() < kMaxProfilePoints - 1)
        ASSERT_TRUE(appendSnakeDot(i++));
    // One slot left: the dot goes in without its midpoint; then nothing does.
    ASSERT_TRUE(appendSnakeDot(i));
    EXPECT_EQ(store.at(kMaxProfilePoints - 1), pixelToUnits(snakeDot(i).x, snakeDot(i).y));
    EXPECT_FALSE(appendSnakeDot(i + 1));
    EXPECT_FALSE(store.append(ProfilePoint{})) << "the store itself keeps the limit";
    EXPECT_EQ(store.count(), kMaxProfilePoints);

    model.clear();
    setInterpolation(3);
    drawSnake(kMaxDots);
    EXPECT_FALSE(appendSnakeDot(kMaxDots));
    EXPECT_EQ(model.rebuild(4), kMaxProfilePoints);
    const Dot last = model.dots()[32768];  // dots 0 and 1, then (midpoint, dot) pairs
    EXPECT_EQ(store.at(kMaxProfilePoints - 1), pixelToUnits(last.x, last.y));
}

}  // namespace
