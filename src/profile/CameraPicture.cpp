#include "profile/CameraPicture.h"

#include "log/LogCategories.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <sys/mman.h>
#include <algorithm>
#include <cctype>
#include <new>

PictureBuffer makeBlankPicture() {
    void* pages = mmap(nullptr, sizeof(CameraPicture), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        throw std::bad_alloc();
    return PictureBuffer(new (pages) CameraPicture);  // anonymous pages read as zeros
}

void PictureRelease::operator()(CameraPicture* picture) const { munmap(picture, sizeof(CameraPicture)); }

namespace {
// Colours below this 0xRRGGBB number count as dark.
constexpr QRgb kDarkBelow = 0x888888;

Failure wrongSize(const QString& path, QSize size) {
    return inputFailure(QStringLiteral("picture %1 is %2 wide and %3 high, not %4 x %5")
        .arg(path)
        .arg(size.width())
        .arg(size.height())
        .arg(kPictureWidth)
        .arg(kPictureHeight));
}

// A JPEG cut short still decodes, its missing part filled in grey: only its
// end-of-image marker (after which some writers pad) shows that it is whole.
bool jpegEndsWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kTail = 4096;
    file.seek(std::max<qint64>(0, file.size() - kTail));
    QByteArray tail = file.read(kTail);
    while (!tail.isEmpty() && (tail.back() == '\0' || std::isspace(static_cast<unsigned char>(tail.back()))))
        tail.chop(1);
    return tail.endsWith("\xFF\xD9");
}

Failure unreadable(const QString& path, const QImageReader& reader) {
    return inputFailure(QStringLiteral("cannot read picture %1: %2").arg(path, reader.errorString()));
}

// Why the file cannot be the picture, or nothing. Sizes come from the
// image's header: a small file may announce a huge image.
MaybeFailure refusal(const QString& path, QImageReader& reader) {
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return refusedFailure(QStringLiteral("picture %1 is not a regular file").arg(path));
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid())
        return unreadable(path, reader);
    if (size != QSize(kPictureWidth, kPictureHeight))
        return wrongSize(path, size);
    return std::nullopt;
}
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

MaybeFailure loadCameraPicture(const QString& path, CameraPicture& out) {
    QImageReader reader(path);
    if (MaybeFailure refused = refusal(path, reader))
        return refused;
    const QByteArray format = reader.format();  // known once the header is read, gone after read()
    const QImage image = reader.read();
    qCDebug(lcProfile) << image.height();
    qCDebug(lcProfile) << image.width();
    if (image.isNull())
        return unreadable(path, reader);
    if (format == "jpeg" && !jpegEndsWhole(path))
        return inputFailure(QStringLiteral("picture %1 is cut short").arg(path));
    if (!binarizePicture(image, out))
        return wrongSize(path, image.size());
    return std::nullopt;
}
