// The window's font size and scale: worked by hand from the rules, at 96
// and 144 pixels per inch and on screens too small for the design.
#include <gtest/gtest.h>

#include "wizard/Scaling.h"

using namespace stw;

namespace {

// The setup form as designed: 8-point text 11 pixels high, a client area
// of 500 × 380 in a frame 16 wider and 39 higher.
constexpr int kH0 = 11;
WindowRoom Screen(int width, int height, int taskbar) {
  return {width, height, width, height - taskbar, 516, 419, 500, 380};
}

}  // namespace

TEST(Scaling, MultiplyThenDivideRoundingHalfAway) {
  EXPECT_EQ(MulDivRound(5, 3, 2), 8);
  EXPECT_EQ(MulDivRound(-5, 3, 2), -8);
  EXPECT_EQ(MulDivRound(28, 17, 11), 43);
  EXPECT_EQ(MulDivRound(2000000000, 3, 4), 1500000000);  // no overflow in between
  EXPECT_EQ(MulDivRound(1, 1, 0), 0);
}

TEST(Scaling, TheUsersTextSizeRaisesTheFont) {
  EXPECT_EQ(TextScaledFontSize(8, std::nullopt), 8);
  EXPECT_EQ(TextScaledFontSize(8, 99u), 8);    // below 100: not a factor
  EXPECT_EQ(TextScaledFontSize(8, 100u), 9);   // 9 points at 100 %
  EXPECT_EQ(TextScaledFontSize(8, 150u), 14);  // 13.5 rounds up
  EXPECT_EQ(TextScaledFontSize(8, 500u), 20);  // at most 225 %: 20.25
  EXPECT_EQ(TextScaledFontSize(22, 225u), 22); // never lowered
}

TEST(Scaling, AtTheDesignsResolutionNothingIsScaled) {
  const WindowScale s = ScaleWindow(kH0, 96, 8, Screen(1024, 768, 40));
  EXPECT_EQ(s.fontSize, 8);
  EXPECT_EQ(s.fontHeight, 11);
  EXPECT_FALSE(s.scaled);
  EXPECT_EQ(s.lineUnit, 28);
  EXPECT_EQ(s.Scale(500, kH0), 500);
}

TEST(Scaling, AHigherResolutionScalesToAtLeastTheDesignsSize) {
  // 8 points are 16 pixels at 144 ppi, below the 16.5 → 17 the design needs.
  const WindowScale s = ScaleWindow(kH0, 144, 8, Screen(1920, 1080, 40));
  EXPECT_EQ(s.fontSize, 8);
  EXPECT_EQ(s.fontHeight, 17);
  EXPECT_TRUE(s.scaled);
  EXPECT_EQ(s.lineUnit, 43);
  EXPECT_EQ(s.Scale(500, kH0), 773);
}

TEST(Scaling, ALargeFontIsLoweredUntilTheWindowFits) {
  // Room 1024 - 0 - 16 by 728 - 40 - 39 = 649: 14 points (19 px) would
  // make the client area 656 high; 13 points (17 px) make it 587.
  WindowScale s = ScaleWindow(kH0, 96, 14, Screen(1024, 768, 40));
  EXPECT_EQ(s.fontSize, 13);
  EXPECT_EQ(s.fontHeight, 17);
  EXPECT_TRUE(s.scaled);
  // Without a taskbar 14 points fit (room 729).
  s = ScaleWindow(kH0, 96, 14, Screen(1024, 768, 0));
  EXPECT_EQ(s.fontSize, 14);
  EXPECT_EQ(s.fontHeight, 19);
  // Room 784 by 481: 380 × H / 11 reaches 481 from 14 px on, so 13 px
  // (10 points) is the largest that fits.
  s = ScaleWindow(kH0, 96, 14, Screen(800, 600, 40));
  EXPECT_EQ(s.fontSize, 10);
  EXPECT_EQ(s.fontHeight, 13);
  // Reaching the room exactly counts as too big: a room of exactly 380 ×
  // 13 / 11 = 449 (rounded) high refuses 13 px.
  WindowRoom exact = Screen(800, 600, 40);
  exact.workHeight = 449 + 39 + 0;
  exact.monitorHeight = exact.workHeight;
  s = ScaleWindow(kH0, 96, 10, exact);
  EXPECT_EQ(s.fontSize, 9);
  // Never below 8 points, however small the screen.
  s = ScaleWindow(kH0, 96, 12, Screen(320, 240, 0));
  EXPECT_EQ(s.fontSize, 8);
  EXPECT_FALSE(s.scaled);
}
