#include "params/UserParamsIni.h"
#include "profile/widget/PaintWidget.h"
#include "profile/widget/ProfileView.h"
#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStringList>
#include <gtest/gtest.h>

#include <functional>

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
        event.ignore();  // accepted only if the view takes it
        QCoreApplication::sendEvent(&paint, &event);
        return event.isAccepted();
    }
    bool press(QPointF pos) { return send(QEvent::MouseButtonPress, pos); }
    bool move(QPointF pos) { return send(QEvent::MouseMove, pos); }
    bool release(QPointF pos) { return send(QEvent::MouseButtonRelease, pos); }
    void click(QPointF at, Qt::MouseButton button = Qt::LeftButton) {
        send(QEvent::MouseButtonPress, at, button);
        send(QEvent::MouseButtonRelease, at, button);
    }
    std::vector<Dot> dots() const { return paint.dots(); }
    QColor shown(int x, int y) { return paint.grab().toImage().pixelColor(x, y); }

    UserParamsStore params;
    ProfileStore profile;
    PaintWidget paint;
};

// The rectangle that the pixels of `colour` within `area` fill.
QRect footprint(const QImage& view, QColor colour, QRect area) {
    QRect filled;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            filled |= view.pixelColor(x, y) == colour ? QRect(x, y, 1, 1) : QRect();
    return filled;
}

QString labelsOf(const std::vector<ScaleMark>& marks) {
    QStringList labels;
    for (const ScaleMark& mark : marks)
        labels << mark.label;
    return labels.join(' ');
}

}  // namespace

TEST_F(PaintWidgetTest, ALeftClickAddsTheNearestPixelToDotsAndProfileOtherButtonsNothing) {
    click(QPointF(50, 50), Qt::RightButton);
    EXPECT_FALSE(move(QPointF(60, 60)) || release(QPointF(60, 60)));  // no press: not taken
    EXPECT_TRUE(press(QPointF(320.4, 239.5)) && release(QPointF(319.5, 240.2)));
    EXPECT_FALSE(move(QPointF(70, 70))) << "released: not taken";
    EXPECT_EQ(dots(), (std::vector<Dot>{{320, 240}}));
    EXPECT_EQ(paint.profile().points(), (std::vector<ProfilePoint>{pixelToUnits(320, 240)}));

    paint.setUserParams(nullptr, nullptr);  // without the record, mouse input is ignored
    click(QPointF(10, 10));
    EXPECT_TRUE(dots().empty());
}

class PaintToolTest : public PaintWidgetTest, public ::testing::WithParamInterface<PaintMode> {};

TEST_P(PaintToolTest, ADragCommitsTheToolsPointsOnReleaseOnlyAndAPressAloneNothing) {
    paint.setCurrentPaintMode(int(GetParam()));
    press(QPointF(300, 100));
    EXPECT_TRUE(move(QPointF(400, 200)) && dots().empty()) << "a drag is handled and adds no dot";
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

INSTANTIATE_TEST_SUITE_P(LinesAndArcs, PaintToolTest, ::testing::Values(PaintMode::Lines, PaintMode::Arcs),
                         [](const auto& info) { return info.param == PaintMode::Lines ? "Lines" : "Arcs"; });

TEST_F(PaintWidgetTest, AToolChangeDuringADragAppliesFromTheNextPress) {
    paint.setCurrentPaintMode(int(PaintMode::Lines));
    press(QPointF(5, 5));
    paint.setCurrentPaintMode(int(PaintMode::Dots));
    move(QPointF(9, 5));
    release(QPointF(9, 5));  // still the line's drag
    EXPECT_EQ(dots(), (std::vector<Dot>{{5, 5}, {6, 5}, {7, 5}, {8, 5}}));
}

TEST_F(PaintWidgetTest, ViewShowsTheDotsTheStoredProfileAndTheCurrentToolsSegment) {
    for (int i = 0; i < 20; ++i)
        click(QPointF(10 + 5 * i, 100));
    EXPECT_TRUE(repaints(&paint, [&] { paint.onBufferSizeChanged(0); }));  // stores dots 0, 8 and 16 only
    paint.profile().append(pixelToUnits(300, 300));                        // as a CSV import would
    const QColor stored(PaintWidget::kStoredProfileColour);
    const QImage view = paint.grab().toImage();
    EXPECT_EQ(footprint(view, stored, QRect(295, 295, 10, 10)), QRect(299, 299, 2, 2));
    EXPECT_EQ(footprint(view, stored, QRect(5, 95, 10, 10)), QRect(9, 99, 2, 2));
    EXPECT_EQ(footprint(view, Qt::red, QRect(0, 90, 12, 20)), QRect(8, 98, 4, 5)) << "the first dot's left";
    EXPECT_EQ(footprint(view, Qt::red, QRect(103, 90, 15, 20)), QRect(103, 98, 5, 5)) << "the last dot's right";
    EXPECT_EQ(view.pixelColor(105, 100), QColor(Qt::red)) << "the last dot, not streamed, is filled";
    EXPECT_EQ(view.pixelColor(xScaleMarks(70)[6].tick.center()), QColor(Qt::black)) << "the scale's middle mark";

    EXPECT_TRUE(repaints(&paint, [&] { paint.setCurrentPaintMode(int(PaintMode::Lines)); }));
    press(QPointF(50, 250));
    move(QPointF(50, 350));
    EXPECT_EQ(shown(50, 300), QColor(Qt::red));
    release(QPointF(50, 350));  // a vertical line has no points: what shows is the tool's segment
    EXPECT_EQ(shown(50, 300), QColor(Qt::red));
    paint.setCurrentPaintMode(int(PaintMode::Arcs));
    press(QPointF(400, 250));
    move(QPointF(500, 350));
    Segment arc = Segment::startingAt(400, 250);
    arc.setEnd(500, 350);
    const Dot onArc = arcPoints(arc)[arcPoints(arc).size() / 2];
    EXPECT_EQ(shown(onArc.x, onArc.y), QColor(Qt::red)) << "the arc being dragged";
    paint.setCurrentPaintMode(int(PaintMode::Dots));
    EXPECT_NE(shown(50, 300), QColor(Qt::red));  // another tool's segment is not shown
}

// Each change schedules its own repaint; none waits for another to be asked for.
TEST_F(PaintWidgetTest, EveryChangeOfTheViewIsPaintedUnasked) {
    const std::vector<std::function<void()>> changes{
        [&] { paint.onXemrUpdated(50); }, [&] { paint.onZdiapUpdated(100); }, [&] { press(QPointF(5, 5)); },
        [&] { move(QPointF(9, 5)); },     [&] { release(QPointF(9, 5)); },    [&] { paint.clearDots(); },
        [&] { paint.showFrame(ProfileSnapshot{}); }, [&] { paint.setUserParams(&params, &profile); }};
    for (size_t i = 0; i < changes.size(); ++i)
        EXPECT_TRUE(repaints(&paint, changes[i])) << "change " << i;
}

// Whether the caption `text` stands at the area's top left, pixel for pixel
// as the same text drawn by hand over a blanked place.
bool showsCaption(PaintWidget& paint, const QString& text) {
    const QImage view = paint.grab().toImage();
    const QRect place = paint.fontMetrics().boundingRect(text).translated(50, 50).adjusted(-2, -2, 2, 2);
    QImage expected = view.copy();
    QPainter painter(&expected);
    painter.fillRect(place, view.pixelColor(300, 100));
    painter.setFont(paint.font());
    painter.setPen(Qt::red);
    painter.drawText(50, 50, text);
    painter.end();
    return view.copy(place) == expected.copy(place);
}

TEST_F(PaintWidgetTest, ViewWritesTheNumberOfDrawnDotsNotOfStoredPoints) {
    for (int i = 0; i < 12; ++i)
        click(QPointF(400 + 5 * i, 400));
    paint.onBufferSizeChanged(0);  // stores 2 of them
    EXPECT_TRUE(showsCaption(paint, "dots drawn: 12"));
}

TEST_F(PaintWidgetTest, TheBuiltInProfileIsCaptionedAsSuch) {
    paint.showBuiltInProfile(kDefaultPointCountIndex);
    EXPECT_TRUE(showsCaption(paint, "built-in profile: draw to replace it"));
}

TEST_F(PaintWidgetTest, TheFirstPressReplacesTheBuiltInProfile) {
    paint.showBuiltInProfile(kDefaultPointCountIndex);
    click(QPointF(100, 100));
    EXPECT_EQ(dots(), (std::vector<Dot>{{100, 100}}));
}

TEST_F(PaintWidgetTest, AFrameWiderThanTheAreaIsDrawnOnlyInsideItsFrame) {
    ProfileSnapshot frame;
    for (int x = -8192; x < 8192; x += 16) {
        frame.x.push_back(static_cast<int16_t>(x));
        frame.z.push_back(8192);
    }
    paint.showFrame(frame);
    const QImage view = paint.grab().toImage();
    const QColor green(PaintWidget::kStoredProfileColour);
    const QRect inside = footprint(view, green, PaintWidget::frameInterior());
    ASSERT_FALSE(inside.isEmpty());
    EXPECT_EQ(footprint(view, green, view.rect()), inside);
}

TEST(ScaleMarks, XRunsFromMinusSixToPlusSixStepsAndZSkipsEveryPositionThatWouldReadZero) {
    const auto x = xScaleMarks(70);
    ASSERT_EQ(labelsOf(x), "-30 -25 -20 -15 -10 -5 0 5 10 15 20 25 30");
    EXPECT_EQ(std::pair(x[6].tick, x[6].labelAt), std::pair(QLine(320, 478, 320, 468), QPoint(318, 465)));
    EXPECT_EQ(x[12].tick.x1(), 614);
    const auto z = zScaleMarks(170);
    EXPECT_EQ(labelsOf(z), "17 34 51 68 85 102 119 136 153");
    EXPECT_EQ(std::pair(z.front().tick, z.front().labelAt), std::pair(QLine(0, 430, 10, 430), QPoint(15, 432)));
    EXPECT_EQ(z.back().tick.y1(), 478 - 48 * 9);
    EXPECT_TRUE(zScaleMarks(9).empty());
}

TEST(ToPixel, RoundsHalvesUpAndFindsThePixelAPointWasDrawnAt) {
    EXPECT_EQ(toPixel(QPointF(-0.5, -1.6)), QPoint(0, -2));
    for (const QPoint pixel : {QPoint(0, 0), QPoint(639, 479), QPoint(320, 240), QPoint(1, 478), QPoint(333, 17)})
        EXPECT_EQ(unitsToPixel(pixelToUnits(pixel.x(), pixel.y())), pixel);
}
