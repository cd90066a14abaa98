// The density the window is laid out for on an X display. Qt takes a desktop's choice
// (Xft.dpi among the X resources) and otherwise lays everything out for 96 pixels per inch,
// whatever the X server itself says (Xvfb or Xorg started with -dpi, a server that reports
// its monitor's real size). Without Xft.dpi the program follows the server instead.
#pragma once

#include <string_view>

// Before the application object is made: when the window is to go on an X display (DISPLAY
// set; QT_QPA_PLATFORM unset, or xcb), no density was chosen for Qt (QT_FONT_DPI,
// QT_SCALE_FACTOR, QT_SCREEN_SCALE_FACTORS) and the X resources set no Xft.dpi, sets
// QT_FONT_DPI to the server's density (ServerDensity) when that is not 96. Leaves everything
// as it is otherwise, or when the display cannot be reached (Qt then reports that itself).
void FollowServerDensity();

// Whether the X resources (the root window's RESOURCE_MANAGER text) set Xft.dpi.
bool ResourcesSetXftDpi(std::string_view resources);

// An X server's density from its screen's width in pixels and in millimetres, in the steps
// a desktop offers (multiples of 24 pixels per inch, as 100 %, 125 %, 150 % ... of 96) and
// never under 96; 96 when the width in millimetres is unknown (0).
int ServerDensity(int pixels, int millimetres);
