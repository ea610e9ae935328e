#include "profile/CameraPicture.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QImage>
#include <QImageReader>

namespace {
// Colours below this 0xRRGGBB number count as dark.
constexpr QRgb kDarkBelow = 0x888888;
}  // namespace

bool binarizePicture(const QImage& image, CameraPicture& out) {
    if (image.width() != kPictureWidth || image.height() != kPictureHeight) return false;
    // pixel() gives straight (not premultiplied) colours in every format, so
    // alpha does not darken a pixel. Once per run: no need for a faster path.
    for (int x = 0; x < kPictureWidth; ++x)
        for (int y = 0; y < kPictureHeight; ++y)
            out[x * kPictureHeight + y] = (image.pixel(x, y) & 0xFFFFFF) < kDarkBelow ? 255 : 0;
    return true;
}

bool loadCameraPicture(const QString& path, CameraPicture& out, QString* error) {
    QImageReader reader(path);
    const QImage image = reader.read();
    qCDebug(lcProfile) << image.height();
    qCDebug(lcProfile) << image.width();
    if (binarizePicture(image, out)) return true;
    if (error) {
        *error = image.isNull() ? QStringLiteral("cannot read picture %1: %2").arg(path, reader.errorString())
                                : QStringLiteral("picture %1 is %2 wide and %3 high, not %4 x %5")
                                      .arg(path)
                                      .arg(image.width())
                                      .arg(image.height())
                                      .arg(kPictureWidth)
                                      .arg(kPictureHeight);
    }
    return false;
}
