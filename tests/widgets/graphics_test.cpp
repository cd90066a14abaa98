#include "Graphics.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(MulDivTest, RoundsHalvesAwayFromZeroWithExactIntermediate) {
  struct Case {
    int32_t a, b, d, expected;
  };
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  const Case cases[] = {
      {1, 255, 2, 128},
      {1, -255, 2, -128},
      {-1, 255, 2, -128},
      {1, 255, -2, -128},
      {-1, -255, 2, 128},
      {-1, 255, -2, 128},
      {3, 1, 4, 1},
      {1, 1, 4, 0},
      {2, 1, 3, 1},
      {1, 1, 3, 0},
      {-3, 1, 4, -1},
      {-1, 1, 4, 0},
      {5, 7, 1, 35},
      {0, 0, 7, 0},
      {kMax, kMax, kMax, kMax},
      {kMax, 2, 4, 1073741824},
      {kMin, 1, 1, kMin},
      {kMin, -1, -1, kMin},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MulDiv(c.a, c.b, c.d), c.expected) << c.a << " * " << c.b << " / " << c.d;
}

TEST(MulDivTest, ReturnsMinusOneForZeroDivisorAndOverflow) {
  EXPECT_EQ(MulDiv(5, 7, 0), -1);
  EXPECT_EQ(MulDiv(0, 7, 0), -1);
  EXPECT_EQ(MulDiv(std::numeric_limits<int32_t>::max(), 2, 1), -1);
  EXPECT_EQ(MulDiv(std::numeric_limits<int32_t>::min(), -1, 1), -1);
}

TEST(ColorTest, SystemColoursResolveToClassicDefaults) {
  EXPECT_EQ(GetSysColor(15), 0xC0C0C0u);  // button face
  EXPECT_EQ(GetSysColor(16), 0x808080u);  // button shadow
  EXPECT_EQ(GetSysColor(20), 0xFFFFFFu);  // button highlight
  EXPECT_EQ(GetSysColor(5), 0xFFFFFFu);   // window
  EXPECT_EQ(GetSysColor(8), 0x000000u);   // window text
  EXPECT_EQ(GetSysColor(13), 0x800000u);  // selection: navy, blue in the third byte
  EXPECT_EQ(GetSysColor(24), 0xE1FFFFu);  // tooltip background 255,255,225
  EXPECT_EQ(GetSysColor(-1), 0u);
  EXPECT_EQ(GetSysColor(31), 0u);

  EXPECT_EQ(ColorToRGB(clBtnFace), 0xC0C0C0u);
  EXPECT_EQ(ColorToRGB(clBtnShadow), 0x808080u);
  EXPECT_EQ(ColorToRGB(0x80001F0F), 0xC0C0C0u);  // only the lowest byte names the colour
  EXPECT_EQ(ColorToRGB(clNavy), 0x800000u);
  EXPECT_EQ(ColorToRGB(0x0024FFFF), 0x0024FFFFu);

  EXPECT_EQ(TColorToQColor(clNavy), QColor(0, 0, 128));
  EXPECT_EQ(TColorToQColor(0x0097FF97), QColor(0x97, 0xFF, 0x97));
  EXPECT_EQ(TColorToQColor(clBtnShadow), QColor(128, 128, 128));
}

}  // namespace
