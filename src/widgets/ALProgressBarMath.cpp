#include "ALProgressBarMath.h"

#include <cmath>

namespace ALProgressBarMath {

double RoundHalfEven(double value) {
  const double floor = std::floor(value);
  const double fraction = value - floor;
  if (fraction > 0.5) return floor + 1;
  if (fraction < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

TRect InnerRect(int width, int height, bool showBorder) {
  if (showBorder) return {1, 1, width - 1, height - 1};
  return {0, 0, width, height};
}

int TrackLength(TProgressDirection direction, int width, int height, bool showBorder) {
  const int extent = IsVertical(direction) ? height : width;
  return showBorder ? extent - 2 : extent;
}

int FilledLength(int32_t position, int32_t min, int32_t max, int track) {
  if (position <= min || max == min || track <= 0) return 0;
  // Same order of operations as the documented formula, so halves land where expected.
  const double span = std::fabs(static_cast<double>(max) - static_cast<double>(min));
  const double filled =
      RoundHalfEven((static_cast<double>(position) - static_cast<double>(min)) / span * track);
  if (filled >= track) return track;
  return static_cast<int>(filled);
}

TRect BackgroundRect(TProgressDirection direction, const TRect& inner, int unfilled) {
  if (unfilled <= 0) return {};
  switch (direction) {
    case pdLeftToRight:
      return {inner.Right - unfilled, inner.Top, inner.Right, inner.Bottom};
    case pdRightToLeft:
      return {inner.Left, inner.Top, inner.Left + unfilled, inner.Bottom};
    case pdBottomToTop:
      return {inner.Left, inner.Top, inner.Right, inner.Top + unfilled};
    case pdTopToBottom:
      return {inner.Left, inner.Bottom - unfilled, inner.Right, inner.Bottom};
  }
  return {};
}

int64_t PercentageNumber(int32_t position, int32_t max) {
  if (max == 0) return 0;
  return static_cast<int64_t>(
      RoundHalfEven(static_cast<double>(position) / static_cast<double>(max) * 100.0));
}

int64_t PosTextNumber(int32_t position, int32_t max, bool percentage) {
  return percentage ? PercentageNumber(position, max) : position;
}

TColor GradientColor(TColor start, TColor end, int count, int index) {
  if (index < 1 || index > count)
    throw ERangeError("ColorIndex can't be less than 1 or greater than " + std::to_string(count));
  const uint32_t from = ColorToRGB(start);
  const uint32_t to = ColorToRGB(end);
  TColor result = 0;
  for (int shift = 0; shift <= 16; shift += 8) {
    const int32_t a = static_cast<int32_t>((from >> shift) & 0xFF);
    const int32_t b = static_cast<int32_t>((to >> shift) & 0xFF);
    // One step: MulDiv would divide by zero, and the run is just its start colour.
    const int32_t channel = count == 1 ? a : a + MulDiv(index - 1, b - a, count - 1);
    result |= static_cast<TColor>(channel) << shift;
  }
  return result;
}

TGradientPlan GradientRuns(TBarColorStyle style, TProgressDirection direction, int axisLength,
                           TColor barColor1, TColor barColor2, TColor barColor3) {
  const int length = axisLength < 0 ? 0 : axisLength;
  // Right-to-left and bottom-to-top bars start at the far edge of the image, so their
  // colours run backwards along the axis.
  const bool reversed = direction == pdRightToLeft || direction == pdBottomToTop;
  TGradientPlan plan;
  switch (style) {
    case cs1Color:
      plan.RunCount = 1;
      plan.Runs[0] = {0, length, barColor1, barColor1};
      break;
    case cs2Colors:
      plan.RunCount = 1;
      plan.Runs[0] = reversed ? TGradientRun{0, length, barColor2, barColor1}
                              : TGradientRun{0, length, barColor1, barColor2};
      break;
    case cs3Colors: {
      const int first = length / 2;
      plan.RunCount = 2;
      plan.Runs[0] = {0, first, reversed ? barColor3 : barColor1, barColor2};
      plan.Runs[1] = {first, length - first, barColor2, reversed ? barColor1 : barColor3};
      break;
    }
  }
  return plan;
}

TTileGrid TileGrid(int width, int height, int tileWidth, int tileHeight) {
  return {width / tileWidth + 1, height / tileHeight + 1};
}

TPoint TextOrigin(int width, int height, int textWidth, int textHeight) {
  return {width / 2 - textWidth / 2, height / 2 - textHeight / 2};
}

TBorderRects BorderRects(int width, int height) {
  TBorderRects rects;
  rects.First = {TRect{0, 0, width, 1}, TRect{0, 0, 1, height}};
  rects.Second = {TRect{1, height - 1, width - 1, height}, TRect{width - 1, 1, width, height}};
  return rects;
}

}  // namespace ALProgressBarMath
