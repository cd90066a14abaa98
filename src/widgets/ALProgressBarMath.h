// The arithmetic of the gradient progress bar: what to draw where, decided without a screen.
// TALProgressBar only consumes these results; tests check them directly.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Graphics.h"

// Which edge the bar starts at (values as stored in a form).
enum TProgressDirection : uint8_t {
  pdLeftToRight = 0,
  pdRightToLeft = 1,
  pdBottomToTop = 2,
  pdTopToBottom = 3,
};

// How the filled part is coloured while the bar has no picture.
enum TBarColorStyle : uint8_t {
  cs1Color = 0,   // solid BarColor1
  cs2Colors = 1,  // BarColor1 -> BarColor2 over the whole length
  cs3Colors = 2,  // BarColor1 -> BarColor2 over the first half, BarColor2 -> BarColor3 after
};

// Raised for an argument outside its allowed range.
class ERangeError : public std::range_error {
 public:
  using std::range_error::range_error;
};

namespace ALProgressBarMath {

// A rectangle with its left and top edges included and its right and bottom edges excluded.
// Empty when Right <= Left or Bottom <= Top.
struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
  bool operator==(const TRect&) const = default;
};

inline bool IsVertical(TProgressDirection direction) {
  return direction == pdBottomToTop || direction == pdTopToBottom;
}

// Round to the nearest integer, an exact half to the even neighbour.
double RoundHalfEven(double value);

// The area inside the frame: (1, 1, W-1, H-1) with a frame, (0, 0, W, H) without.
TRect InnerRect(int width, int height, bool showBorder);

// Length of the track the bar fills: the inner width for horizontal directions, the inner
// height for vertical ones (may be 0 or negative for a control smaller than its frame).
int TrackLength(TProgressDirection direction, int width, int height, bool showBorder);

// Filled length F: (position - min) / |max - min| * track, half to even, when position > min
// and max != min; 0 otherwise. A position beyond max yields more than the track; the result
// is capped at the track length (which draws the same full bar) so it always fits an int.
// A track of 0 or less gives 0.
int FilledLength(int32_t position, int32_t min, int32_t max, int track);

// The rectangle painted in BackgroundColor for an unfilled length U: the part of the inner
// rectangle at the far end from where the bar starts. Empty when U <= 0.
TRect BackgroundRect(TProgressDirection direction, const TRect& inner, int unfilled);

// The number shown with Percentage on: position / max * 100, half to even; Min does not
// enter. With max 0 the quotient has no value and the number is 0.
int64_t PercentageNumber(int32_t position, int32_t max);

// The shown number: PercentageNumber with percentage on, else position.
int64_t PosTextNumber(int32_t position, int32_t max, bool percentage);

// Colour `index` (1..count) of a gradient of `count` steps from `start` to `end`; system
// colours are resolved first. Channel = start + MulDiv(index-1, end-start, count-1); a
// single step gives the start colour. The result is an explicit colour.
// Throws ERangeError("ColorIndex can't be less than 1 or greater than <count>") when index
// lies outside 1..count.
TColor GradientColor(TColor start, TColor end, int count, int index);

// One run of a gradient along the bar's axis: `Length` lines starting at line `First`.
struct TGradientRun {
  int First = 0;
  int Length = 0;
  TColor StartColor = 0;
  TColor EndColor = 0;
};

// The runs of the gradient image along an axis of `axisLength` lines (image width for
// horizontal directions, height for vertical ones). cs2Colors: one run over everything;
// cs3Colors: axisLength div 2 lines, then the rest. The first run starts at the left or top
// edge; colours are ordered so that BarColor1 lies where the bar starts. cs1Color gives a
// single run BarColor1 -> BarColor1. A negative axis length counts as 0.
struct TGradientPlan {
  int RunCount = 0;
  std::array<TGradientRun, 2> Runs{};
};
TGradientPlan GradientRuns(TBarColorStyle style, TProgressDirection direction, int axisLength,
                           TColor barColor1, TColor barColor2, TColor barColor3);

// How many copies of a w x h picture tile a W x H image from its top-left corner:
// W div w + 1 columns and H div h + 1 rows; the excess is cut off. Precondition: w, h >= 1.
struct TTileGrid {
  int Columns = 0;
  int Rows = 0;
};
TTileGrid TileGrid(int width, int height, int tileWidth, int tileHeight);

// Top-left point of a tw x th text centred on a W x H control:
// (W div 2 - tw div 2, H div 2 - th div 2).
struct TPoint {
  int X = 0;
  int Y = 0;
  bool operator==(const TPoint&) const = default;
};
TPoint TextOrigin(int width, int height, int textWidth, int textHeight);

// The one-pixel frame: the first colour covers the whole top row and left column, the second
// the bottom row from x = 1 and the right column from y = 1, drawn after the first.
struct TBorderRects {
  std::array<TRect, 2> First;
  std::array<TRect, 2> Second;
};
TBorderRects BorderRects(int width, int height);

}  // namespace ALProgressBarMath
