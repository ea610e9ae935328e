#include "profile/widget/ProfileView.h"

#include <cmath>

std::vector<ScaleMark> xScaleMarks(int xemr) {
    const int step = xemr / 13;
    std::vector<ScaleMark> marks;
    for (int j = 0; j < 13; ++j) {
        const int x = 26 + 49 * j;
        marks.push_back({QLine(x, 478, x, 468), QPoint(24 + 49 * j, 465), QString::number((j - 6) * step)});
    }
    return marks;
}

std::vector<ScaleMark> zScaleMarks(int zdiap) {
    const int step = zdiap / 10;
    std::vector<ScaleMark> marks;
    for (int k = 0; k < 10; ++k) {
        const QString label = QString::number(k * step);
        if (label == QLatin1String("0"))
            continue;
        const int y = 478 - 48 * k;
        marks.push_back({QLine(0, y, 10, y), QPoint(15, y + 2), label});
    }
    return marks;
}

QPoint toPixel(const QPointF& position) {
    return QPoint(static_cast<int>(std::floor(position.x() + 0.5)), static_cast<int>(std::floor(position.y() + 0.5)));
}

QPoint unitsToPixel(ProfilePoint point) {
    return QPoint(static_cast<int>(std::lround(point.x * 640.0 / 16384 + 320)),
                  static_cast<int>(std::lround(480 - point.z * 480.0 / 16384)));
}
