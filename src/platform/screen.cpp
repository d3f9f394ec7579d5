#include "platform/screen.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

void TScreen::AwaitFreshPicture(const TRect&, int, int, const std::function<void()>&) {}

bool TScreen::RequestAccess(TAccessRequest&) {
  return true;
}

TScreenKind SessionScreenKind() {
  const char* forced = getenv("PELIMAR_SCREEN");
  if (forced && std::strcmp(forced, "x11") == 0) return TScreenKind::X11;
  if (forced && std::strcmp(forced, "wayland") == 0) return TScreenKind::Wayland;
  const char* display = getenv("WAYLAND_DISPLAY");
  const char* session = getenv("XDG_SESSION_TYPE");
  if ((display && *display) || (session && std::strcmp(session, "wayland") == 0)) return TScreenKind::Wayland;
  return TScreenKind::X11;
}

std::unique_ptr<TScreen> OpenScreen() {
  return SessionScreenKind() == TScreenKind::Wayland ? OpenWaylandScreen() : OpenX11Screen();
}

bool TScreen::CopyThroughScreenFormat(const TRect& source, TBitmap& picture) {
  if (picture.BitCount() == 32) return false;
  TBitmap screen(picture.Width(), picture.Height(), pfDevice);
  CopyRect(source, screen);
  picture.Draw(0, 0, screen);
  return true;
}

TBitmap TScreen::Capture(const TRect& source) {
  // CopyRect writes every pixel of the picture, black where the screen ends.
  TBitmap picture =
      TBitmap::Uninitialized(static_cast<int32_t>(source.Width()), static_cast<int32_t>(source.Height()));
  CopyRect(source, picture);
  return picture;
}

namespace {
TMonitor PrimaryOf(const std::vector<TMonitor>& monitors) {
  auto primary = std::find_if(monitors.begin(), monitors.end(), [](const TMonitor& m) { return m.Primary; });
  return primary != monitors.end() ? *primary : monitors.front();
}
}  // namespace

TMonitor TScreen::MonitorFromPoint(TPoint point) {
  std::vector<TMonitor> monitors = Monitors();
  for (const TMonitor& m : monitors)
    if (point.X >= m.Bounds.Left && point.X < m.Bounds.Right && point.Y >= m.Bounds.Top &&
        point.Y < m.Bounds.Bottom)
      return m;
  return PrimaryOf(monitors);
}

TMonitor TScreen::PrimaryMonitor() {
  return PrimaryOf(Monitors());
}

void DrawPointer(TBitmap& picture, const TPointer& pointer, TPoint origin) {
  if (pointer.Pixels.empty()) return;
  int64_t x = int64_t{pointer.Position.X} - pointer.HotX - origin.X;
  int64_t y = int64_t{pointer.Position.Y} - pointer.HotY - origin.Y;
  if (x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) return;
  picture.BlendPremultiplied(static_cast<int32_t>(x), static_cast<int32_t>(y), pointer.Width, pointer.Height,
                             pointer.Pixels.data());
}
