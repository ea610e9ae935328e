#include "profile/widget/PaintWidget.h"
#include "profile/widget/ProfileView.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <gtest/gtest.h>

namespace {

// Drives the drawing area with synthetic mouse events, as the window system would.
class PaintWidgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        params.update([](USER_PARAMS& p) { p.interpolation_u8 = 3; });
        paint.resize(640, 480);
        paint.setUserParams(&params, &profile);
    }

    bool send(QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::LeftButton) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent event(type, pos, pos, pos, type == QEvent::MouseMove ? Qt::NoButton : button, held,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(&paint, &event);
        return event.isAccepted();
    }
    void press(QPointF pos, Qt::MouseButton button = Qt::LeftButton) { send(QEvent::MouseButtonPress, pos, button); }
    bool move(QPointF pos) { return send(QEvent::MouseMove, pos); }
    void release(QPointF pos, Qt::MouseButton button = Qt::LeftButton) {
        send(QEvent::MouseButtonRelease, pos, button);
    }
    void drag(QPointF from, QPointF to) {
        press(from);
        move(to);
        release(to);
    }
    std::vector<Dot> dots() const { return paint.dots(); }

    UserParamsStore params;
    ProfileStore profile;
    PaintWidget paint;
};

std::vector<Dot> dotsOf(std::initializer_list<Dot> list) { return list; }

}  // namespace

TEST(PaintWidgetWithoutRecord, IgnoresMouseInputUntilItHasTheRecord) {
    PaintWidget paint;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&paint, &press);
    EXPECT_TRUE(paint.dots().empty());
}

TEST_F(PaintWidgetTest, DotsPressAndReleaseOnOnePixelAddOnePointToDotsAndProfile) {
    press(QPointF(320.4, 239.5));
    release(QPointF(319.5, 240.2));
    EXPECT_EQ(dots(), dotsOf({{320, 240}}));
    ASSERT_EQ(paint.profile().count(), 1);
    EXPECT_EQ(paint.profile().at(0), pixelToUnits(320, 240));
}

TEST_F(PaintWidgetTest, OnlyTheLeftButtonDrawsAndMovesWithoutAPressAreNotTaken) {
    press(QPointF(50, 50), Qt::RightButton);
    release(QPointF(50, 50), Qt::RightButton);
    EXPECT_FALSE(move(QPointF(60, 60)));
    EXPECT_TRUE(dots().empty());
}

TEST_F(PaintWidgetTest, LineDragCommitsOnePointPerColumnWithoutTheEndColumn) {
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    press(QPointF(100, 200));
    move(QPointF(101, 203));
    EXPECT_TRUE(dots().empty());  // lines commit on release only
    move(QPointF(103, 206));
    release(QPointF(103, 206));
    EXPECT_EQ(dots(), dotsOf({{100, 200}, {101, 202}, {102, 204}}));
    EXPECT_EQ(paint.profile().count(), 3);
}

TEST_F(PaintWidgetTest, ReleaseWithoutMoveCommitsNoLineOrArc) {
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    drag(QPointF(100, 200), QPointF(103, 206));
    const auto afterFirstLine = dots();
    paint.clearDots();
    // A second press replaces the segment; its end was never set, so the
    // release must not commit it, nor the earlier line.
    press(QPointF(10, 10));
    release(QPointF(10, 10));
    EXPECT_TRUE(dots().empty());
    EXPECT_EQ(afterFirstLine.size(), 3u);

    paint.setCurrentPaintMode(int(PaintMode::Arcs));
    press(QPointF(300, 100));
    release(QPointF(400, 200));
    EXPECT_TRUE(dots().empty());
    EXPECT_EQ(paint.profile().count(), 0);
}

TEST_F(PaintWidgetTest, ArcDragCommitsTheArcPoints) {
    paint.setCurrentPaintMode(int(PaintMode::Arcs));
    drag(QPointF(300, 100), QPointF(400, 200));
    Segment arc = Segment::startingAt(300, 100);
    arc.setEnd(400, 200);
    EXPECT_EQ(dots(), arcPoints(arc));
    EXPECT_FALSE(dots().empty());
}

TEST_F(PaintWidgetTest, AToolChangeDuringADragAppliesFromTheNextPress) {
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    drag(QPointF(100, 200), QPointF(103, 206));
    paint.clearDots();
    // Dots drag; switching to Lines before the release must not bring the
    // cleared line back.
    paint.setCurrentPaintMode(int(PaintMode::Dots));
    press(QPointF(5, 5));
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    release(QPointF(5, 5));
    EXPECT_EQ(dots(), dotsOf({{5, 5}}));
}

TEST_F(PaintWidgetTest, PointCountSelectionRebuildsAndClearEmptiesTheProfile) {
    for (int i = 0; i < 20; ++i)
        drag(QPointF(10 + i, 100), QPointF(10 + i, 100));
    paint.onBufferSizeChanged(0);
    EXPECT_EQ(paint.profile().count(), 3);
    EXPECT_EQ(dots().size(), 20u);

    paint.clearDots();
    EXPECT_TRUE(dots().empty());
    EXPECT_EQ(paint.profile().count(), 0);
}

TEST_F(PaintWidgetTest, ViewPaintsDotsAndTheCurrentToolsSegmentOnly) {
    press(QPointF(300, 200));
    release(QPointF(300, 200));
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    drag(QPointF(100, 300), QPointF(300, 300));
    paint.clearDots();
    EXPECT_EQ(paint.grab().toImage().pixelColor(200, 300), QColor(Qt::red));  // the last line stays

    press(QPointF(50, 50));  // a new drag replaces it
    const QImage pressed = paint.grab().toImage();
    EXPECT_NE(pressed.pixelColor(200, 300), QColor(Qt::red));
    move(QPointF(50, 150));
    EXPECT_EQ(paint.grab().toImage().pixelColor(50, 100), QColor(Qt::red));
    release(QPointF(50, 150));

    paint.setCurrentPaintMode(int(PaintMode::Dots));
    const QImage dotsOnly = paint.grab().toImage();
    EXPECT_NE(dotsOnly.pixelColor(50, 100), QColor(Qt::red));
    press(QPointF(300, 200));
    release(QPointF(300, 200));
    EXPECT_EQ(paint.grab().toImage().pixelColor(298, 200), QColor(Qt::red));
}

TEST_F(PaintWidgetTest, ViewShowsWhatIsStoredApartFromTheDrawnDots) {
    for (int i = 0; i < 20; ++i)
        drag(QPointF(10 + 5 * i, 100), QPointF(10 + 5 * i, 100));
    paint.onBufferSizeChanged(0);  // stores dots 0, 8 and 16 only
    paint.profile().append(pixelToUnits(300, 300));  // as a CSV import would
    const QImage view = paint.grab().toImage();
    const QColor stored(PaintWidget::kStoredProfileColour);
    EXPECT_EQ(view.pixelColor(10, 100), stored);
    EXPECT_EQ(view.pixelColor(15, 100), QColor(Qt::red));
    EXPECT_EQ(view.pixelColor(300, 300), stored);
}

TEST_F(PaintWidgetTest, ToolChangeAndRebuildRepaintTheArea) {
    drag(QPointF(10, 10), QPointF(10, 10));
    EXPECT_TRUE(repaints(&paint, [&] { paint.setCurrentPaintMode(int(PaintMode::Lines)); }));
    EXPECT_TRUE(repaints(&paint, [&] { paint.onBufferSizeChanged(0); }));
}
