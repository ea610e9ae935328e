#include "profile/CameraPicture.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <functional>
#include <memory>

namespace {

// The picture is large: keep it off the stack.
std::unique_ptr<CameraPicture> pictureOf(uint8_t value) {
    auto picture = std::make_unique<CameraPicture>();
    picture->fill(value);
    return picture;
}

QImage blankImage(int width, int height, QRgb colour = 0xFFFFFFFF) {
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

TEST(CameraPicture, DarkBelow0x888888AsAWholeNumberAlphaIgnoredColumnAfterColumn) {
    QImage image = blankImage(480, 640);
    struct Case {
        int x, y;
        QRgb colour;
        uint8_t expected;
    };
    const Case cases[] = {
        {0, 1, 0xFF888887, 255}, {1, 0, 0xFF888888, 0},   {479, 639, 0xFF900000, 0},
        {2, 3, 0xFF70FFFF, 255}, {3, 2, 0x00000000, 255}, {10, 600, 0x80FFFFFF, 0},
    };
    for (const Case& c : cases) image.setPixel(c.x, c.y, c.colour);
    auto picture = pictureOf(7);
    EXPECT_FALSE(binarizePicture(blankImage(640, 480), *picture));
    EXPECT_EQ((*picture)[0], 7);
    ASSERT_TRUE(binarizePicture(image, *picture));
    for (const Case& c : cases) EXPECT_EQ((*picture)[c.x * kPictureHeight + c.y], c.expected) << std::hex << c.colour;
}

QByteArray jpegOf(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A file the loader must refuse, made in a folder, and what the refusal says.
// Each would otherwise hang start-up, cost gigabytes or serve another picture.
struct BadPicture {
    const char* name;
    std::function<bool(const QString& path, const QByteArray& whole)> make;
    const char* says;
};

class CameraPictureLoader : public ::testing::TestWithParam<BadPicture> {};

TEST_P(CameraPictureLoader, RefusesTheFileAndKeepsThePictureThenTakesAWholeOne) {
    QTemporaryDir dir;
    const QByteArray whole = jpegOf(blankImage(480, 640, 0xFF000000));
    const QString bad = dir.filePath(GetParam().name);
    ASSERT_TRUE(GetParam().make(bad, whole));
    auto picture = pictureOf(7);
    QString error;
    EXPECT_FALSE(loadCameraPicture(bad, *picture, &error));
    EXPECT_TRUE(error.contains(GetParam().says)) << error.toStdString();
    EXPECT_EQ((*picture)[0], 7);
    ASSERT_TRUE(writeFile(dir.filePath("whole.jpg"), whole));
    EXPECT_TRUE(loadCameraPicture(dir.filePath("whole.jpg"), *picture));
    EXPECT_EQ((*picture)[0], 255);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CameraPictureLoader,
    ::testing::Values(
        BadPicture{"absent.jpg", [](const QString&, const QByteArray&) { return true; }, "absent.jpg"},
        BadPicture{"wide.png", [](const QString& path, const QByteArray&) { return blankImage(640, 480).save(path); },
                   "640 wide"},
        BadPicture{"fifo.jpg",
                   [](const QString& path, const QByteArray&) {
                       return ::mkfifo(path.toLocal8Bit().constData(), 0600) == 0;
                   },
                   "not a regular file"},
        BadPicture{"huge.jpg",  // the start-of-frame header announces 65500 x 65500
                   [](const QString& path, QByteArray bytes) {
                       bytes.replace(bytes.indexOf("\xFF\xC0") + 5, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));
                       return writeFile(path, bytes);
                   },
                   "65500 wide"},
        BadPicture{"cut.jpg",
                   [](const QString& path, const QByteArray& bytes) {
                       return writeFile(path, bytes.left(bytes.size() / 2));
                   },
                   "cut short"}),
    [](const ::testing::TestParamInfo<BadPicture>& info) { return QString(info.param.name).section('.', 0, 0).toStdString(); });

}  // namespace
