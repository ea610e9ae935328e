#include "profile/ProfileModel.h"
#include "profile/widget/ProfileView.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {
QStringList labelsOf(const std::vector<ScaleMark>& marks) {
    QStringList labels;
    for (const ScaleMark& mark : marks)
        labels << mark.label;
    return labels;
}
}  // namespace

TEST(ScaleMarks, XScaleRunsFromMinusSixToPlusSixStepsWithZeroAtTheCentreColumn) {
    const auto marks = xScaleMarks(70);
    ASSERT_EQ(marks.size(), 13u);
    EXPECT_EQ(labelsOf(marks).join(' '), "-30 -25 -20 -15 -10 -5 0 5 10 15 20 25 30");
    EXPECT_EQ(marks[6].tick, QLine(320, 478, 320, 468));
    EXPECT_EQ(marks[6].labelAt, QPoint(318, 465));
    EXPECT_EQ(marks[0].tick.x1(), 26);
    EXPECT_EQ(marks[12].tick.x1(), 614);
    // Below 13 mm per thirteen the step truncates to 0.
    EXPECT_EQ(labelsOf(xScaleMarks(12)), QStringList(QVector<QString>(13, "0").toList()));
}

TEST(ScaleMarks, ZScaleSkipsEveryPositionThatWouldReadZero) {
    const auto marks = zScaleMarks(170);
    ASSERT_EQ(marks.size(), 9u);
    EXPECT_EQ(labelsOf(marks).join(' '), "17 34 51 68 85 102 119 136 153");
    EXPECT_EQ(marks.front().tick, QLine(0, 430, 10, 430));
    EXPECT_EQ(marks.front().labelAt, QPoint(15, 432));
    EXPECT_EQ(marks.back().tick.y1(), 478 - 48 * 9);
    EXPECT_TRUE(zScaleMarks(9).empty());
    EXPECT_TRUE(zScaleMarks(0).empty());
}

TEST(ToPixel, RoundsHalvesTowardPlusInfinity) {
    EXPECT_EQ(toPixel(QPointF(1.5, -1.5)), QPoint(2, -1));
    EXPECT_EQ(toPixel(QPointF(2.4, 2.6)), QPoint(2, 3));
    EXPECT_EQ(toPixel(QPointF(-0.5, -0.6)), QPoint(0, -1));
}

TEST(UnitsToPixel, FindsThePixelAPointWasDrawnAt) {
    for (const QPoint pixel : {QPoint(0, 0), QPoint(639, 479), QPoint(320, 240), QPoint(1, 478), QPoint(333, 17)})
        EXPECT_EQ(unitsToPixel(pixelToUnits(pixel.x(), pixel.y())), pixel);
}
