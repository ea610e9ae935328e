#include "profile/widget/PaintWidget.h"

#include "profile/widget/ProfileView.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace {
const std::vector<Dot> kNoDots;
// The form's style sheet: a 5 px margin, then a 1 px border.
constexpr int kFrameInset = 6;
}  // namespace

PaintWidget::PaintWidget(QWidget* parent) : QWidget(parent) {
    // A plain QWidget subclass ignores its style sheet's background and border
    // unless asked; the form gives the area a grey ground and a yellow frame.
    setAttribute(Qt::WA_StyledBackground);
}

PaintWidget::~PaintWidget() = default;

const std::vector<Dot>& PaintWidget::dots() const { return model_ ? model_->dots() : kNoDots; }

void PaintWidget::onXemrUpdated(int xemr) {
    xemr_ = xemr;
    update();
}

void PaintWidget::onZdiapUpdated(int zdiap) {
    zdiap_ = zdiap;
    update();
}

void PaintWidget::clearDots() {
    if (model_)
        model_->clear();
    showsBuiltIn_ = false;
    update();
}

void PaintWidget::showBuiltInProfile(int pointCountIndex) {
    if (!model_)
        return;
    model_->clear();
    drawBuiltInProfile(*model_);
    model_->rebuild(pointCountIndex);
    showsBuiltIn_ = true;
    update();
}

QString PaintWidget::dotsCaption() const {
    if (showsBuiltIn_)
        return tr("built-in profile: draw to replace it");
    return tr("dots drawn: %1").arg(dots().size());
}

QRect PaintWidget::frameInterior() {
    return QRect(0, 0, kAreaWidth, kAreaHeight).adjusted(kFrameInset, kFrameInset, -kFrameInset, -kFrameInset);
}

void PaintWidget::setUserParams(UserParamsStore* userParams, ProfileStore* profile) {
    profile_ = profile;
    model_ = userParams && profile ? std::make_unique<ProfileModel>(*profile, *userParams) : nullptr;
    if (profile_)
        profile_->clear();
    update();
}

void PaintWidget::onBufferSizeChanged(int index) {
    if (!model_)
        return;
    const int count = model_->rebuild(index);
    qCDebug(lcProfile) << "profile rebuilt:" << count << "points";
    qCDebug(lcProfile) << "point-count index:" << index;
    update();  // the stored profile is shown
}

void PaintWidget::setCurrentPaintMode(int mode) {
    paintMode_ = static_cast<PaintMode>(mode);
    qCDebug(lcProfile) << "paint mode changed:" << mode;
    update();  // the old tool's segment goes, the new one's shows
}

std::optional<Segment>* PaintWidget::segmentOf(PaintMode tool) {
    switch (tool) {
    case PaintMode::Lines:
        return &line_;
    case PaintMode::Arcs:
        return &arc_;
    default:
        return nullptr;
    }
}

const std::optional<Segment>* PaintWidget::segmentOf(PaintMode tool) const {
    return const_cast<PaintWidget*>(this)->segmentOf(tool);
}

void PaintWidget::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (!model_ || event->button() != Qt::LeftButton)
        return;
    if (std::exchange(showsBuiltIn_, false))
        model_->clear();
    mousePressed_ = true;
    dragTool_ = paintMode_;
    const QPoint pixel = toPixel(event->localPos());
    if (auto* segment = segmentOf(dragTool_))
        *segment = Segment::startingAt(pixel.x(), pixel.y());
    else
        model_->appendDot(pixel.x(), pixel.y());
    update();  // a dot shows while the button is held
}

void PaintWidget::mouseMoveEvent(QMouseEvent* event) {
    if (!model_ || !mousePressed_) {
        event->ignore();
        return;
    }
    event->accept();
    const QPoint pixel = toPixel(event->localPos());
    if (auto* segment = segmentOf(dragTool_))
        (*segment)->setEnd(pixel.x(), pixel.y());  // the press started it
    else
        model_->appendDot(pixel.x(), pixel.y());
    update();
}

void PaintWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (!model_ || !mousePressed_ || event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    mousePressed_ = false;
    const QPoint pixel = toPixel(event->localPos());
    if (dragTool_ == PaintMode::Lines)
        model_->commitLine(*line_);
    else if (dragTool_ == PaintMode::Arcs)
        model_->commitArc(*arc_);
    else
        model_->appendDot(pixel.x(), pixel.y());
    update();
}

void PaintWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setClipRect(frameInterior());
    // A recording being played shows alone: the area shows what is streamed.
    if (!frame_)
        paintDots(painter);
    paintStoredProfile(painter);
    paintSegmentPreview(painter);
    painter.setClipping(false);
    paintScales(painter);
    if (!frame_) {
        painter.setPen(Qt::red);
        painter.drawText(50, 50, dotsCaption());
    }
}

void PaintWidget::paintDots(QPainter& painter) const {
    painter.setPen(Qt::red);
    QBrush brush = painter.brush();
    brush.setStyle(Qt::SolidPattern);
    brush.setColor(Qt::red);
    painter.setBrush(brush);
    for (const Dot& dot : dots())
        painter.drawEllipse(QRect(QPoint(dot.x - 2, dot.y - 2), QPoint(dot.x + 1, dot.y + 1)));
}

// What clients receive, drawn over the dots: a drawn dot without a green
// centre is not streamed (coarse point count), a green point without a dot
// came from a CSV file or is a midpoint. While a recording plays, the frame
// being sent takes the stored profile's place.
void PaintWidget::paintStoredProfile(QPainter& painter) const {
    painter.setPen(Qt::NoPen);
    painter.setBrush(kStoredProfileColour);
    const auto mark = [&painter](ProfilePoint point) {
        painter.drawRect(QRect(unitsToPixel(point) - QPoint(1, 1), QSize(2, 2)));
    };
    if (frame_) {
        for (int i = 0; i < frame_->count(); ++i)
            mark(ProfilePoint{frame_->x[i], frame_->z[i]});
    } else if (profile_) {
        for (const ProfilePoint& point : profile_->points())
            mark(point);
    }
}

void PaintWidget::showFrame(std::optional<ProfileSnapshot> frame) {
    frame_ = std::move(frame);
    update();
}

void PaintWidget::paintScales(QPainter& painter) const {
    painter.setBrush(Qt::NoBrush);
    painter.setPen(Qt::black);
    for (const auto& marks : {xScaleMarks(xemr_), zScaleMarks(zdiap_)}) {
        for (const ScaleMark& mark : marks) {
            painter.drawLine(mark.tick);
            painter.drawText(mark.labelAt, mark.label);
        }
    }
}

void PaintWidget::paintSegmentPreview(QPainter& painter) const {
    const auto* segment = segmentOf(paintMode_);
    if (!segment || !*segment || !(*segment)->endSet)
        return;
    painter.setPen(Qt::red);
    painter.setBrush(Qt::NoBrush);
    const Segment& s = **segment;
    if (paintMode_ == PaintMode::Lines) {
        painter.drawLine(s.x1, s.y1, s.x2, s.y2);
        return;
    }
    for (const Dot& dot : arcPoints(s))
        painter.drawEllipse(QRect(QPoint(dot.x, dot.y), QPoint(dot.x + 1, dot.y + 1)));
}
