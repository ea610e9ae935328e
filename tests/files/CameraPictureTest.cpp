#include "profile/CameraPicture.h"

#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <gtest/gtest.h>
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
}  // namespace
