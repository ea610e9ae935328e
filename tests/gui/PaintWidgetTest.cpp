#include "profile/widget/PaintWidget.h"
#include "profile/widget/ProfileView.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
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
    void click(QPointF at) {
        press(at);
        release(at);
    }
    std::vector<Dot> dots() const { return paint.dots(); }
    QColor shown(int x, int y) { return paint.grab().toImage().pixelColor(x, y); }

    UserParamsStore params;
    ProfileStore profile;
    PaintWidget paint;
};

}  // namespace

TEST(PaintWidgetWithoutRecord, IgnoresMouseInputUntilItHasTheRecord) {
    PaintWidget paint;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, 10), QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&paint, &press);
    EXPECT_TRUE(paint.dots().empty());
}

TEST_F(PaintWidgetTest, ALeftClickAddsTheNearestPixelToDotsAndProfileOtherButtonsNothing) {
    press(QPointF(50, 50), Qt::RightButton);
    release(QPointF(50, 50), Qt::RightButton);
    EXPECT_FALSE(move(QPointF(60, 60)));  // no press: not taken
    press(QPointF(320.4, 239.5));
    release(QPointF(319.5, 240.2));
    EXPECT_EQ(dots(), (std::vector<Dot>{{320, 240}}));
    EXPECT_EQ(paint.profile().points(), (std::vector<ProfilePoint>{pixelToUnits(320, 240)}));
}

class PaintToolTest : public PaintWidgetTest, public ::testing::WithParamInterface<PaintMode> {};

TEST_P(PaintToolTest, ADragCommitsTheToolsPointsOnReleaseOnlyAndAPressAloneNothing) {
    paint.setCurrentPaintMode(int(GetParam()));
    click(QPointF(10, 10));
    EXPECT_TRUE(dots().empty());
    press(QPointF(300, 100));
    move(QPointF(400, 200));
    EXPECT_TRUE(dots().empty());
    release(QPointF(400, 200));
    Segment segment = Segment::startingAt(300, 100);
    segment.setEnd(400, 200);
    EXPECT_EQ(dots(), GetParam() == PaintMode::Lines ? linePoints(segment) : arcPoints(segment));
    EXPECT_EQ(paint.profile().count(), int(dots().size()));
    // A new press replaces the segment: released unmoved, it commits neither.
    paint.clearDots();
    click(QPointF(10, 10));
    EXPECT_TRUE(dots().empty());
}

INSTANTIATE_TEST_SUITE_P(LinesAndArcs, PaintToolTest, ::testing::Values(PaintMode::Lines, PaintMode::Arcs));

TEST_F(PaintWidgetTest, AToolChangeDuringADragAppliesFromTheNextPress) {
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    drag(QPointF(100, 200), QPointF(103, 206));
    paint.clearDots();
    paint.setCurrentPaintMode(int(PaintMode::Dots));
    press(QPointF(5, 5));
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    release(QPointF(5, 5));  // must not bring the cleared line back
    EXPECT_EQ(dots(), (std::vector<Dot>{{5, 5}}));
}

TEST_F(PaintWidgetTest, ViewShowsTheDotsTheStoredProfileAndTheCurrentToolsSegment) {
    for (int i = 0; i < 20; ++i)
        click(QPointF(10 + 5 * i, 100));
    EXPECT_TRUE(repaints(&paint, [&] { paint.onBufferSizeChanged(0); }));  // stores dots 0, 8 and 16 only
    paint.profile().append(pixelToUnits(300, 300));                        // as a CSV import would
    const QColor stored(PaintWidget::kStoredProfileColour);
    EXPECT_EQ(shown(10, 100), stored);
    EXPECT_EQ(shown(15, 100), QColor(Qt::red));
    EXPECT_EQ(shown(300, 300), stored);

    EXPECT_TRUE(repaints(&paint, [&] { paint.setCurrentPaintMode(int(PaintMode::Lines)); }));
    drag(QPointF(100, 400), QPointF(300, 400));
    paint.clearDots();
    EXPECT_EQ(shown(200, 400), QColor(Qt::red));  // the last line stays
    press(QPointF(50, 250));
    EXPECT_NE(shown(200, 400), QColor(Qt::red));  // a new drag replaces it
    move(QPointF(50, 350));
    EXPECT_EQ(shown(50, 300), QColor(Qt::red));
    release(QPointF(50, 350));
    paint.setCurrentPaintMode(int(PaintMode::Dots));
    EXPECT_NE(shown(50, 300), QColor(Qt::red));  // another tool's segment is not shown
}

TEST_F(PaintWidgetTest, ViewWritesTheNumberOfDrawnDots) {
    for (int i = 0; i < 12; ++i)
        click(QPointF(400 + 5 * i, 400));
    const QImage view = paint.grab().toImage();
    // The same text drawn by hand over a blanked place must match pixel for pixel.
    const QRect place = paint.fontMetrics().boundingRect("12").translated(50, 50).adjusted(-2, -2, 2, 2);
    QImage expected = view.copy();
    QPainter painter(&expected);
    painter.fillRect(place, view.pixelColor(300, 100));
    painter.setFont(paint.font());
    painter.setPen(Qt::red);
    painter.drawText(50, 50, "12");
    painter.end();
    EXPECT_EQ(view.copy(place), expected.copy(place));
    EXPECT_NE(view.pixelColor(300, 100), QColor(Qt::red));
}
