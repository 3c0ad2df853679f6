// Pictures of the engine shown in the preview keep their colours.
#include "app/picture_image.h"

#include <gtest/gtest.h>

namespace tessary::app {
namespace {

TEST(PictureImage, TrueColourAndPaletteColoursArrive) {
    Picture bgr(3, 2, 24);
    bgr.Row(0)[0] = 10;   // blue
    bgr.Row(0)[1] = 20;   // green
    bgr.Row(0)[2] = 200;  // red
    bgr.Row(1)[6] = 255;  // blue of the last pixel of the bottom row
    QImage image = PictureToImage(bgr);
    ASSERT_EQ(image.size(), QSize(3, 2));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(200, 20, 10));
    EXPECT_EQ(image.pixelColor(2, 1), QColor(0, 0, 255));

    Picture indexed(5, 1, 4);
    indexed.Colours()[3] = PaletteEntry{30, 60, 90, 0};
    indexed.Row(0)[2] = 0x30;  // the fifth pixel: the high nibble of the third byte
    image = PictureToImage(indexed);
    ASSERT_EQ(image.size(), QSize(5, 1));
    EXPECT_EQ(image.pixelColor(4, 0), QColor(90, 60, 30));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 0));
    EXPECT_TRUE(PictureToImage(Picture()).isNull());
}

}  // namespace
}  // namespace tessary::app
