#include <QImage>
#include <gtest/gtest.h>

// The program ends at start-up when its camera picture has another size, and
// a picture without dark and light parts binarises to nothing useful.
TEST(Assets, DefaultCameraPictureIs480By640WithDarkAndLightParts) {
    const QImage picture(PX310_ASSETS_DIR "/kelvora.jpg");
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.width(), 480);
    EXPECT_EQ(picture.height(), 640);
    EXPECT_LT(qGray(picture.pixel(10, 10)), 64);
    EXPECT_GT(qGray(picture.pixel(470, 10)), 192);
    EXPECT_FALSE(QImage(PX310_ASSETS_DIR "/310.jpg").isNull());
}
