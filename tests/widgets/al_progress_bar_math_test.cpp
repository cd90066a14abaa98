#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "ALProgressBarMath.h"

namespace {

using namespace ALProgressBarMath;

TEST(FilledLengthTest, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(FilledLength(1, 0, 4, 10), 2);        // 2.5
  EXPECT_EQ(FilledLength(3, 0, 4, 10), 8);        // 7.5
  EXPECT_EQ(FilledLength(50, 0, 100, 347), 174);  // 173.5
  EXPECT_EQ(FilledLength(50, 0, 100, 198), 99);
  EXPECT_EQ(FilledLength(1, 0, 3, 10), 3);  // 3.33
  EXPECT_EQ(FilledLength(2, 0, 3, 10), 7);  // 6.67
}

TEST(FilledLengthTest, EmptyAtOrBelowMinOrWithoutRange) {
  EXPECT_EQ(FilledLength(0, 0, 100, 198), 0);
  EXPECT_EQ(FilledLength(50, 60, 100, 198), 0);  // Min raised past Position
  EXPECT_EQ(FilledLength(5, 5, 5, 198), 0);      // Max = Min
  EXPECT_EQ(FilledLength(7, 5, 5, 198), 0);
  EXPECT_EQ(FilledLength(50, 0, 100, -2), 0);  // control smaller than its frame
}

TEST(FilledLengthTest, ReversedRangeUsesItsMagnitudeAndOverflowCapsAtTheTrack) {
  // Min above Max: |Max - Min| is the span.
  EXPECT_EQ(FilledLength(60, 50, 40, 100), 100);
  EXPECT_EQ(FilledLength(55, 50, 30, 100), 25);
  // Position beyond Max after Max was lowered: a full bar, never more than the track.
  EXPECT_EQ(FilledLength(50, 0, 10, 198), 198);
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  EXPECT_EQ(FilledLength(kMax, kMin, kMin + 1, 30000), 30000);
  EXPECT_EQ(FilledLength(0, kMin, kMax, 100), 50);
}

TEST(BackgroundRectTest, LiesAtTheFarEndOfEveryDirection) {
  const TRect inner = InnerRect(200, 20, true);
  EXPECT_EQ(inner, (TRect{1, 1, 199, 19}));
  EXPECT_EQ(BackgroundRect(pdLeftToRight, inner, 99), (TRect{100, 1, 199, 19}));
  EXPECT_EQ(BackgroundRect(pdRightToLeft, inner, 99), (TRect{1, 1, 100, 19}));
  EXPECT_EQ(BackgroundRect(pdBottomToTop, inner, 5), (TRect{1, 1, 199, 6}));
  EXPECT_EQ(BackgroundRect(pdTopToBottom, inner, 5), (TRect{1, 14, 199, 19}));
  EXPECT_TRUE(BackgroundRect(pdLeftToRight, inner, 0).IsEmpty());
  EXPECT_TRUE(BackgroundRect(pdTopToBottom, inner, -3).IsEmpty());
  EXPECT_EQ(TrackLength(pdLeftToRight, 200, 20, true), 198);
  EXPECT_EQ(TrackLength(pdBottomToTop, 200, 20, true), 18);
  EXPECT_EQ(TrackLength(pdTopToBottom, 200, 20, false), 20);
}

TEST(PosTextNumberTest, PercentageRoundsHalfToEvenAndIgnoresMin) {
  EXPECT_EQ(PercentageNumber(1, 8), 12);  // 12.5
  EXPECT_EQ(PercentageNumber(3, 8), 38);  // 37.5
  EXPECT_EQ(PercentageNumber(-3, 8), -38);
  EXPECT_EQ(PercentageNumber(50, 200), 25);
  EXPECT_EQ(PercentageNumber(5, 0), 0);  // no quotient: shows 0
  EXPECT_EQ(PercentageNumber(std::numeric_limits<int32_t>::max(), 1), 214748364700LL);
  EXPECT_EQ(PosTextNumber(37, 100, false), 37);
  EXPECT_EQ(PosTextNumber(-5, 100, false), -5);
  EXPECT_EQ(PosTextNumber(3, 8, true), 38);
}

TEST(GradientColorTest, InteriorStepsRoundHalvesAwayFromZero) {
  EXPECT_EQ(GradientColor(clBlack, clWhite, 3, 2), 0x808080u);
  EXPECT_EQ(GradientColor(clWhite, clBlack, 3, 2), 0x7F7F7Fu);
  EXPECT_EQ(GradientColor(clBlack, clWhite, 3, 1), 0x000000u);
  EXPECT_EQ(GradientColor(clBlack, clWhite, 3, 3), 0xFFFFFFu);
  // Channels move independently: green (0,128,0) -> yellow (255,255,0), middle of 3.
  EXPECT_EQ(GradientColor(clGreen, clYellow, 3, 2), 0x00C080u);
  // A single step is its start colour; system colours are resolved.
  EXPECT_EQ(GradientColor(clRed, clNavy, 1, 1), 0x0000FFu);
  EXPECT_EQ(GradientColor(clBtnFace, clBtnHighlight, 2, 1), 0xC0C0C0u);
  EXPECT_EQ(GradientColor(clBtnFace, clBtnHighlight, 2, 2), 0xFFFFFFu);
}

TEST(GradientColorTest, IndexOutsideTheRunRaisesRangeError) {
  const std::string message = "ColorIndex can't be less than 1 or greater than 5";
  for (int index : {0, 6, -1}) {
    try {
      GradientColor(clBlack, clWhite, 5, index);
      ADD_FAILURE() << "no error for index " << index;
    } catch (const ERangeError& e) {
      EXPECT_EQ(std::string(e.what()), message);
    }
  }
  EXPECT_THROW(GradientColor(clBlack, clWhite, 0, 1), std::range_error);
}

TEST(GradientRunsTest, SplitsAndOrdersColoursByStyleAndDirection) {
  const TColor c1 = 1, c2 = 2, c3 = 3;
  TGradientPlan p = GradientRuns(cs3Colors, pdLeftToRight, 7, c1, c2, c3);
  ASSERT_EQ(p.RunCount, 2);
  EXPECT_EQ(p.Runs[0].First, 0);
  EXPECT_EQ(p.Runs[0].Length, 3);
  EXPECT_EQ(p.Runs[1].First, 3);
  EXPECT_EQ(p.Runs[1].Length, 4);
  EXPECT_EQ(p.Runs[0].StartColor, c1);
  EXPECT_EQ(p.Runs[1].EndColor, c3);

  p = GradientRuns(cs3Colors, pdBottomToTop, 20, c1, c2, c3);
  EXPECT_EQ(p.Runs[0].StartColor, c3);
  EXPECT_EQ(p.Runs[0].EndColor, c2);
  EXPECT_EQ(p.Runs[1].StartColor, c2);
  EXPECT_EQ(p.Runs[1].EndColor, c1);

  p = GradientRuns(cs2Colors, pdRightToLeft, 10, c1, c2, c3);
  ASSERT_EQ(p.RunCount, 1);
  EXPECT_EQ(p.Runs[0].Length, 10);
  EXPECT_EQ(p.Runs[0].StartColor, c2);
  EXPECT_EQ(p.Runs[0].EndColor, c1);

  p = GradientRuns(cs2Colors, pdTopToBottom, 10, c1, c2, c3);
  EXPECT_EQ(p.Runs[0].StartColor, c1);
  EXPECT_EQ(p.Runs[0].EndColor, c2);

  p = GradientRuns(cs3Colors, pdLeftToRight, 1, c1, c2, c3);
  EXPECT_EQ(p.Runs[0].Length, 0);
  EXPECT_EQ(p.Runs[1].Length, 1);
}

TEST(LayoutTest, TilingTextOriginAndFrame) {
  const TTileGrid grid = TileGrid(349, 15, 16, 16);
  EXPECT_EQ(grid.Columns, 22);
  EXPECT_EQ(grid.Rows, 1);
  EXPECT_EQ(TileGrid(32, 16, 16, 16).Columns, 3);  // an exact fit still adds one (cut off)

  EXPECT_EQ(TextOrigin(349, 15, 30, 11), (TPoint{159, 2}));
  EXPECT_EQ(TextOrigin(200, 20, 7, 13), (TPoint{97, 4}));
  EXPECT_EQ(TextOrigin(10, 5, 40, 20), (TPoint{-15, -8}));  // larger than the control

  const TBorderRects frame = BorderRects(200, 20);
  EXPECT_EQ(frame.First[0], (TRect{0, 0, 200, 1}));
  EXPECT_EQ(frame.First[1], (TRect{0, 0, 1, 20}));
  EXPECT_EQ(frame.Second[0], (TRect{1, 19, 199, 20}));
  EXPECT_EQ(frame.Second[1], (TRect{199, 1, 200, 20}));
}

}  // namespace
