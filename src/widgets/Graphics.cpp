#include "Graphics.h"

#include <array>
#include <limits>

namespace {

constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) {
  return r | (g << 8) | (b << 16);
}

// Index 25 has no colour on the platform either.
constexpr std::array<uint32_t, 31> kClassicSysColors = {
    Rgb(192, 192, 192), Rgb(0, 128, 128),   Rgb(0, 0, 128),     Rgb(128, 128, 128),
    Rgb(192, 192, 192), Rgb(255, 255, 255), Rgb(0, 0, 0),       Rgb(0, 0, 0),
    Rgb(0, 0, 0),       Rgb(255, 255, 255), Rgb(192, 192, 192), Rgb(192, 192, 192),
    Rgb(128, 128, 128), Rgb(0, 0, 128),     Rgb(255, 255, 255), Rgb(192, 192, 192),
    Rgb(128, 128, 128), Rgb(128, 128, 128), Rgb(0, 0, 0),       Rgb(192, 192, 192),
    Rgb(255, 255, 255), Rgb(0, 0, 0),       Rgb(192, 192, 192), Rgb(0, 0, 0),
    Rgb(255, 255, 225), Rgb(0, 0, 0),       Rgb(0, 0, 128),     Rgb(16, 132, 208),
    Rgb(181, 181, 181), Rgb(0, 0, 128),     Rgb(192, 192, 192),
};

}  // namespace

uint32_t GetSysColor(int index) {
  if (index < 0 || index >= static_cast<int>(kClassicSysColors.size())) return 0;
  return kClassicSysColors[static_cast<size_t>(index)];
}

uint32_t ColorToRGB(TColor color) {
  if (color & 0x80000000u) return GetSysColor(static_cast<int>(color & 0xFFu));
  return color;
}

QColor TColorToQColor(TColor color) {
  const uint32_t rgb = ColorToRGB(color);
  return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                static_cast<int>((rgb >> 16) & 0xFF));
}

int32_t MulDiv(int32_t a, int32_t b, int32_t d) {
  if (d == 0) return -1;
  const int64_t product = static_cast<int64_t>(a) * b;
  int64_t quotient = product / d;
  const int64_t remainder = product % d;
  // |remainder| < |d| <= 2^31, so doubling it cannot overflow.
  const int64_t twice = 2 * (remainder < 0 ? -remainder : remainder);
  const int64_t divisor = d < 0 ? -static_cast<int64_t>(d) : d;
  if (twice >= divisor) quotient += ((product < 0) != (d < 0)) ? -1 : 1;
  if (quotient < std::numeric_limits<int32_t>::min() ||
      quotient > std::numeric_limits<int32_t>::max())
    return -1;
  return static_cast<int32_t>(quotient);
}
