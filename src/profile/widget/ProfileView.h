#pragma once

#include "profile/ProfileStore.h"

#include <QLine>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <vector>

// One tick of a scale with its label (text baseline starts at labelAt).
struct ScaleMark {
    QLine tick;
    QPoint labelAt;
    QString label;
};

// 13 ticks along the bottom edge, labelled in steps of xemr / 13 millimetres
// with 0 at the centre column.
std::vector<ScaleMark> xScaleMarks(int xemr);
// Up to 10 ticks along the left edge in steps of zdiap / 10 millimetres; a
// position whose label would read "0" gets neither tick nor label.
std::vector<ScaleMark> zScaleMarks(int zdiap);

// A mouse position in whole pixels; halves round toward +infinity.
QPoint toPixel(const QPointF& position);

// Where a profile point in scanner units lies in the area, to the nearest
// pixel; the inverse of the conversion that drawing applies.
QPoint unitsToPixel(ProfilePoint point);
