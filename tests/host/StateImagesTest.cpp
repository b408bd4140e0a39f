// The components tree's state images: which one a component gets, which
// size a tree takes, and what the drawn pictures hold at every size.
#include <gtest/gtest.h>

#include <set>

#include "wizard/StateImages.h"

using namespace stw;

TEST(StateImages, TheFirstMatchingConditionDecides) {
  // required, optional, selected, installed before
  EXPECT_EQ(StateImageFor(true, true, false, true), kStateFixedChosen);
  EXPECT_EQ(StateImageFor(false, false, true, false), kStateFixedChosen);
  EXPECT_EQ(StateImageFor(false, false, false, true), kStateFixedNotChosen);
  EXPECT_EQ(StateImageFor(false, true, true, true), kStateChosen);
  EXPECT_EQ(StateImageFor(false, true, false, true), kStateInstalledBefore);
  EXPECT_EQ(StateImageFor(false, true, false, false), kStateNotChosen);
}

TEST(StateImages, TheSizeFollowsTheIconsOrTheScreen) {
  const int cases[][3] = {{16, 0, 16}, {19, 0, 16}, {20, 0, 20}, {23, 0, 20}, {24, 0, 24}, {28, 0, 28},
                          {32, 0, 32}, {36, 0, 36}, {39, 0, 36}, {40, 0, 40}, {47, 0, 40}, {48, 0, 48},
                          {256, 0, 48}, {0, 96, 16}, {0, 120, 20}, {0, 144, 24}, {0, 192, 32}, {0, 288, 48}};
  for (const auto& c : cases) EXPECT_EQ(StateImageSize(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

TEST(StateImages, EveryPictureAtEverySizeIsABoxWithItsMark) {
  for (const int size : kStateImageSizes) {
    std::set<std::vector<uint32_t>> distinct;
    for (int image = 1; image <= 5; ++image) {
      const StateBitmap b = DrawStateImage(image, size);
      ASSERT_EQ(b.pixels.size(), static_cast<size_t>(size * size));
      const int m = size / 8, mid = size / 2;
      // Transparent around the box, opaque inside it.
      EXPECT_EQ(b.At(0, 0), 0u) << size;
      EXPECT_EQ(b.At(size - 1, size - 1), 0u) << size;
      EXPECT_EQ(b.At(m, mid) >> 24, 0xFFu) << size << " " << image;
      EXPECT_EQ(b.At(size - m - 1, mid) >> 24, 0xFFu) << size << " " << image;
      // The border is darker than the inside next to it.
      const bool fixed = image == kStateFixedNotChosen || image == kStateFixedChosen;
      // (the inside sampled at its bottom right corner, away from the mark)
      const int inside = size - m - 1 - std::max(1, size / 16) - 1;
      const uint32_t border = b.At(m, mid) & 0xFF, fill = b.At(inside, inside) & 0xFF;
      EXPECT_LT(border, fill) << size << " " << image;
      // A fixed box is filled grey, a changeable one white.
      EXPECT_EQ(fill, fixed ? 224u : 255u) << size << " " << image;
      // The check mark's corner lies at 42 % / 72 % of the box.
      const int inner = size - 2 * m;
      const uint32_t corner = b.At(m + inner * 42 / 100, m + inner * 72 / 100) & 0xFF;
      if (image == kStateChosen)
        EXPECT_LT(corner, 64u) << size;
      else if (image == kStateFixedChosen)
        EXPECT_TRUE(corner > 64u && corner < 200u) << size << " " << corner;
      else
        EXPECT_GE(corner, 200u) << size << " " << image;
      // Installed before: a coloured square in the middle.
      const uint32_t centre = b.At(mid, mid);
      if (image == kStateInstalledBefore) EXPECT_NE(centre & 0xFF, (centre >> 16) & 0xFF) << size;
      distinct.insert(b.pixels);
    }
    EXPECT_EQ(distinct.size(), 5u) << size;
  }
}
