#include "profile/CameraPicture.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <algorithm>
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

int indexOf(int x, int y) { return x * kPictureHeight + y; }

TEST(CameraPicture, OnlyAnImage480WideAnd640HighIsAccepted) {
    auto picture = pictureOf(7);
    EXPECT_FALSE(binarizePicture(blankImage(640, 480), *picture));
    EXPECT_FALSE(binarizePicture(QImage(), *picture));
    EXPECT_TRUE(std::all_of(picture->begin(), picture->end(), [](uint8_t b) { return b == 7; }));
    EXPECT_TRUE(binarizePicture(blankImage(480, 640), *picture));
    EXPECT_TRUE(std::all_of(picture->begin(), picture->end(), [](uint8_t b) { return b == 0; }));
}

TEST(CameraPicture, DarkBelow0x888888AsAWholeNumberAndAlphaIgnored) {
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
    ASSERT_TRUE(binarizePicture(image, *picture));
    for (const Case& c : cases) EXPECT_EQ((*picture)[indexOf(c.x, c.y)], c.expected) << std::hex << c.colour;
}

TEST(CameraPicture, ColumnsFollowOneAnother) {
    QImage image(480, 640, QImage::Format_RGB888);  // any format will do
    image.fill(Qt::white);
    QPainter(&image).fillRect(0, 0, 240, 640, Qt::black);
    auto picture = pictureOf(7);
    ASSERT_TRUE(binarizePicture(image, *picture));
    EXPECT_TRUE(std::all_of(picture->begin(), picture->begin() + 153600, [](uint8_t b) { return b == 255; }));
    EXPECT_TRUE(std::all_of(picture->begin() + 153600, picture->end(), [](uint8_t b) { return b == 0; }));
}

TEST(CameraPicture, LoaderRefusesMissingFilesAndWrongSizes) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString wide = dir.filePath("wide.png");
    const QString tall = dir.filePath("tall.png");
    ASSERT_TRUE(blankImage(640, 480).save(wide));
    ASSERT_TRUE(blankImage(480, 640, 0xFF000000).save(tall));

    auto picture = pictureOf(7);
    QString error;
    EXPECT_FALSE(loadCameraPicture(dir.filePath("absent.jpg"), *picture, &error));
    EXPECT_TRUE(error.contains("absent.jpg")) << error.toStdString();
    EXPECT_FALSE(loadCameraPicture(wide, *picture, &error));
    EXPECT_TRUE(error.contains("640 wide")) << error.toStdString();
    EXPECT_EQ((*picture)[0], 7);
    EXPECT_TRUE(loadCameraPicture(tall, *picture));
    EXPECT_EQ((*picture)[0], 255);
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

// Each would otherwise hang start-up, cost gigabytes or serve another picture.
TEST(CameraPicture, LoaderRefusesFifosHugeHeadersAndCutFilesBeforeDecoding) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray whole = jpegOf(blankImage(480, 640, 0xFF000000));
    const QString fifo = dir.filePath("fifo.jpg");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);

    QByteArray huge = whole;  // the start-of-frame header announces 65500 x 65500
    const int frame = huge.indexOf("\xFF\xC0");
    ASSERT_GT(frame, 0);
    huge.replace(frame + 5, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));
    ASSERT_TRUE(writeFile(dir.filePath("huge.jpg"), huge));
    ASSERT_TRUE(writeFile(dir.filePath("cut.jpg"), whole.left(whole.size() / 2)));
    ASSERT_TRUE(writeFile(dir.filePath("whole.jpg"), whole));

    auto picture = pictureOf(7);
    QString error;
    EXPECT_FALSE(loadCameraPicture(fifo, *picture, &error));
    EXPECT_TRUE(error.contains("not a regular file")) << error.toStdString();
    EXPECT_FALSE(loadCameraPicture(dir.filePath("huge.jpg"), *picture, &error));
    EXPECT_TRUE(error.contains("65500 wide")) << error.toStdString();
    EXPECT_FALSE(loadCameraPicture(dir.filePath("cut.jpg"), *picture, &error));
    EXPECT_TRUE(error.contains("cut short")) << error.toStdString();
    EXPECT_EQ((*picture)[0], 7);
    EXPECT_TRUE(loadCameraPicture(dir.filePath("whole.jpg"), *picture));
    EXPECT_EQ((*picture)[0], 255);
}
}  // namespace
