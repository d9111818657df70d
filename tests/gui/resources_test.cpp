// The images built into the tool. Group: Resources. Every icon number the screens use has a square
// image and the logo is wider than tall, an unknown number gives nothing rather than a crash, and
// pixels decode to their colours, the transparent ones showing the background and reported as not
// opaque.
#include <gtest/gtest.h>

#include "gui/resources.h"

using namespace tav::gui;

TEST(Resources, EveryNumberTheScreensUseHasAnImage) {
  for (int id : {100, 101, 102, 103, 104, 2099, 2100, 2101, 2102, 2103, 2104, 2105, 2106, 2107}) {
    Size s = imageSize(id);
    EXPECT_GE(s.w, 16) << id;
    EXPECT_EQ(s.w, s.h) << id;  // icons are square
  }
  Size logo = imageSize(200);
  EXPECT_GT(logo.w, logo.h);
  EXPECT_EQ(imageData(7), nullptr);
  EXPECT_EQ(imageSize(7), (Size{}));
}

TEST(Resources, PixelsDecodeTheirColoursAndTransparencyShowsTheBackground) {
  Color back = rgb(1, 2, 3);
  EXPECT_EQ(imagePixel(101, 0, 0, back), back);  // the corner of a round icon is clear
  EXPECT_EQ(imagePixel(101, 16, 28, back), rgb(0x1E, 0x4F, 0xA0));  // inside the blue disc
  EXPECT_EQ(imagePixel(101, 99, 0, back), back);                    // outside the image
  EXPECT_EQ(imagePixel(103, 16, 28, back), rgb(0xC8, 0x30, 0x20));
  // Opacity, which the Windows icons take their masks from, says the same of the same pixels.
  EXPECT_FALSE(imageOpaque(101, 0, 0));
  EXPECT_TRUE(imageOpaque(101, 16, 28));
  EXPECT_FALSE(imageOpaque(101, 99, 0));
  EXPECT_FALSE(imageOpaque(7, 0, 0));
}
