#include "ServerDensity.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Whether Qt will take the X display: an explicit xcb platform, or none chosen outside a
// Wayland session.
bool OnXDisplay() {
  if (!EnvSet("DISPLAY")) return false;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0') return std::strncmp(platform, "xcb", 3) == 0;
  return !EnvSet("WAYLAND_DISPLAY");
}

std::string RootResources(xcb_connection_t* connection, xcb_window_t root) {
  const xcb_get_property_cookie_t cookie = xcb_get_property(
      connection, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, 0, 1u << 20);
  const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(connection, cookie, nullptr), &std::free);
  if (!reply) return {};
  const auto* text = static_cast<const char*>(xcb_get_property_value(reply.get()));
  const int length = xcb_get_property_value_length(reply.get());
  return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool ResourcesSetXftDpi(std::string_view resources) {
  size_t start = 0;
  while (start < resources.size()) {
    size_t end = resources.find('\n', start);
    if (end == std::string_view::npos) end = resources.size();
    std::string_view line = resources.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string_view key = line.substr(0, colon);
      while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
      while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
      if (key == "Xft.dpi") return true;
    }
    start = end + 1;
  }
  return false;
}

int ServerDensity(int pixels, int millimetres) {
  if (pixels <= 0 || millimetres <= 0) return 96;
  const double density = pixels * 25.4 / millimetres;
  return std::max(96, static_cast<int>(std::lround(density / 24.0)) * 24);
}

void FollowServerDensity() {
  for (const char* chosen : {"QT_FONT_DPI", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS"})
    if (EnvSet(chosen)) return;
  if (!OnXDisplay()) return;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection) == 0) {
    // The resources live on the first screen's root window, as Qt reads them.
    const xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection));
    if (roots.rem > 0 && !ResourcesSetXftDpi(RootResources(connection, roots.data->root))) {
      const int density =
          ServerDensity(roots.data->width_in_pixels, roots.data->width_in_millimeters);
      if (density != 96) setenv("QT_FONT_DPI", std::to_string(density).c_str(), 1);
    }
  }
  xcb_disconnect(connection);
}
