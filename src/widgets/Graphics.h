// Colours and integer helpers of the classic desktop API, as the window and the progress bar
// use them. Pure functions: no widget, no screen, no global state.
#pragma once

#include <QColor>
#include <cstdint>

// A 32-bit colour. Bit 31 clear: an explicit colour 0x00BBGGRR (red in the lowest byte).
// Bit 31 set: 0x80000000 | index names a system colour, resolved through GetSysColor.
using TColor = uint32_t;

inline constexpr TColor clBtnFace = 0x8000000F;
inline constexpr TColor clBtnShadow = 0x80000010;
inline constexpr TColor clBtnHighlight = 0x80000014;
inline constexpr TColor clWindow = 0x80000005;
inline constexpr TColor clWindowText = 0x80000008;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clYellow = 0x00FFFF;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clNavy = 0x800000;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clWhite = 0xFFFFFF;

// The 0x00BBGGRR value of system colour `index`, from the classic default colour scheme
// ("Windows Standard" of the 95/2000 era), so the program looks the same on every desktop
// theme. The table (R, G, B):
//    0 scroll bar 192,192,192          16 button shadow 128,128,128
//    1 desktop 0,128,128               17 grey text 128,128,128
//    2 active caption 0,0,128          18 button text 0,0,0
//    3 inactive caption 128,128,128    19 inactive caption text 192,192,192
//    4 menu 192,192,192                20 button highlight 255,255,255
//    5 window 255,255,255              21 3D dark shadow 0,0,0
//    6 window frame 0,0,0              22 3D light 192,192,192
//    7 menu text 0,0,0                 23 tooltip text 0,0,0
//    8 window text 0,0,0               24 tooltip background 255,255,225
//    9 caption text 255,255,255        26 hot-tracked item 0,0,128
//   10 active border 192,192,192       27 active caption gradient 16,132,208
//   11 inactive border 192,192,192     28 inactive caption gradient 181,181,181
//   12 application workspace 128,128,128  29 menu highlight 0,0,128
//   13 selection 0,0,128               30 menu bar 192,192,192
//   14 selected text 255,255,255
//   15 button face 192,192,192
// Any other index (25, negative, above 30) gives 0 (black), as the platform does.
uint32_t GetSysColor(int index);

// The 0x00BBGGRR value of `color`: system colours through GetSysColor of the lowest byte,
// every other value unchanged.
uint32_t ColorToRGB(TColor color);

// `color` resolved as by ColorToRGB, as an opaque QColor (bits 24..30 of an explicit colour
// are ignored).
QColor TColorToQColor(TColor color);

// a * b / d with a 64-bit intermediate, rounded to the nearest integer, an exact half away
// from zero. Like the platform's function it returns -1 when d is 0 or when the result does
// not fit in 32 bits.
int32_t MulDiv(int32_t a, int32_t b, int32_t d);
