#pragma once

#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <vector>

// A profile drawn as an engineer reads it: X across, Z up, both in
// millimetres over the scanner's measuring range, with a grid and labelled
// ticks. Needs a QGuiApplication for the labels.
class ProfilePlot {
public:
    static constexpr int kWidth = 1000;
    static constexpr int kHeight = 700;
    static constexpr QRgb kProfileColour = 0xff0050c8;

    // The measuring range: X from -xemr/2 to +xemr/2, Z from 0 to zdiap.
    ProfilePlot(int xemrMm, int zdiapMm);

    // Where a point in millimetres lands in the image.
    QPointF toPixel(QPointF pointMm) const;
    QImage draw(const std::vector<QPointF>& pointsMm, const QString& title) const;

private:
    void drawAxes(class QPainter& painter) const;

    QRectF frame_;  // the plotting area in pixels
    double xMin_;
    double xMax_;
    double zMax_;
};
