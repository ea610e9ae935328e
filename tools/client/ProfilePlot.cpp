#include "ProfilePlot.h"

#include <QPainter>
#include <cmath>

namespace {

constexpr int kLeftMargin = 80;
constexpr int kRightMargin = 30;
constexpr int kTopMargin = 50;
constexpr int kBottomMargin = 70;
constexpr int kTickLength = 6;
constexpr double kDotRadius = 1.6;
constexpr int kTargetTicks = 10;

// A step of 1, 2 or 5 times a power of ten that cuts `span` into about `count` parts.
double tickStep(double span, int count) {
    const double raw = span / count;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double multiple : {1.0, 2.0, 5.0})
        if (multiple * magnitude >= raw)
            return multiple * magnitude;
    return 10.0 * magnitude;
}

std::vector<double> ticks(double min, double max) {
    const double step = tickStep(max - min, kTargetTicks);
    std::vector<double> values;
    for (double v = std::ceil(min / step) * step; v <= max + step * 1e-9; v += step)
        values.push_back(std::abs(v) < step * 1e-9 ? 0.0 : v);
    return values;
}

}  // namespace

ProfilePlot::ProfilePlot(int xemrMm, int zdiapMm)
    : frame_(kLeftMargin, kTopMargin, kWidth - kLeftMargin - kRightMargin, kHeight - kTopMargin - kBottomMargin),
      xMin_(-xemrMm / 2.0),
      xMax_(xemrMm / 2.0),
      zMax_(zdiapMm) {}

QPointF ProfilePlot::toPixel(QPointF pointMm) const {
    const double x = frame_.left() + (pointMm.x() - xMin_) / (xMax_ - xMin_) * frame_.width();
    const double y = frame_.bottom() - pointMm.y() / zMax_ * frame_.height();
    return {x, y};
}

void ProfilePlot::drawAxes(QPainter& painter) const {
    const QPen grid(QColor(225, 225, 225), 1);
    const QPen axis(Qt::black, 1);
    painter.setFont(QFont(QStringLiteral("Sans"), 9));
    const QFontMetrics metrics = painter.fontMetrics();
    for (double x : ticks(xMin_, xMax_)) {
        const double px = toPixel({x, 0}).x();
        painter.setPen(grid);
        painter.drawLine(QPointF(px, frame_.top()), QPointF(px, frame_.bottom()));
        painter.setPen(axis);
        painter.drawLine(QPointF(px, frame_.bottom()), QPointF(px, frame_.bottom() + kTickLength));
        const QString label = QString::number(x, 'g', 6);
        painter.drawText(QPointF(px - metrics.horizontalAdvance(label) / 2.0,
                                 frame_.bottom() + kTickLength + metrics.ascent() + 2),
                         label);
    }
    for (double z : ticks(0, zMax_)) {
        const double py = toPixel({xMin_, z}).y();
        painter.setPen(grid);
        painter.drawLine(QPointF(frame_.left(), py), QPointF(frame_.right(), py));
        painter.setPen(axis);
        painter.drawLine(QPointF(frame_.left() - kTickLength, py), QPointF(frame_.left(), py));
        const QString label = QString::number(z, 'g', 6);
        painter.drawText(QPointF(frame_.left() - kTickLength - 4 - metrics.horizontalAdvance(label),
                                 py + metrics.ascent() / 2.0 - 1),
                         label);
    }
    painter.setPen(axis);
    painter.drawRect(frame_);
    painter.drawText(QRectF(frame_.left(), kHeight - metrics.height() - 8, frame_.width(), metrics.height()),
                     Qt::AlignCenter, QStringLiteral("X [mm]"));
    painter.save();
    painter.translate(14, frame_.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-frame_.height() / 2, 0, frame_.height(), metrics.height()), Qt::AlignCenter,
                     QStringLiteral("Z [mm]"));
    painter.restore();
}

QImage ProfilePlot::draw(const std::vector<QPointF>& pointsMm, const QString& title) const {
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    drawAxes(painter);
    painter.drawText(QRectF(0, 10, kWidth, kTopMargin - 20), Qt::AlignCenter, title);

    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(frame_);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgb(kProfileColour));
    for (const QPointF& point : pointsMm)
        painter.drawEllipse(toPixel(point), kDotRadius, kDotRadius);
    return image;
}
