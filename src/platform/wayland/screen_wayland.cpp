// The screen of a Wayland session: what the desktop casts of its monitors
// through xdg-desktop-portal, one PipeWire stream per monitor. A program
// may not draw outside its own windows there, so no outline is drawn.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "base/exception.h"
#include "platform/screen.h"
#include "platform/wayland/pipewire_cast.h"
#include "platform/wayland/screencast_portal.h"

namespace {

// How long the first picture of each stream may take once the desktop has
// started the cast: it sends one at once, even of a still screen.
constexpr int kFirstPictureMs = 10000;

class TWaylandScreen : public TScreen {
 public:
  void CopyRect(const TRect& source, TBitmap& picture) override;
  void DrawOutline(const TRect&) override {}
  TPointer Pointer() override;
  std::vector<TMonitor> Monitors() override;
  bool RequestAccess(TAccessRequest& request) override;
  bool DrawsOutline() const override { return false; }
  void AwaitFreshPicture(const TRect& area, int settleMs, int maxMs, const std::function<void()>& idle) override;

 private:
  // Raises EScreenLost once the desktop has ended the cast.
  void CheckCast();
  uint32_t CursorModeFor(bool pointer) const;
  // Stream i's monitor: its corner from the desktop's layout, its size in
  // the stream's real pixels.
  TRect Bounds(size_t i) const;
  void StoreRows(const TCastPicture& cast, const TRect& part, const TRect& source, TBitmap& picture) const;

  std::unique_ptr<TScreenCastPortal> FPortal;
  std::unique_ptr<TPipeWireCast> FCast;
  uint32_t FCursorMode = 0;
  // The desktop offered the pointer beside its pictures, but a cast asked
  // for it so never told of it: from then on it is asked for in them.
  bool FNoMetadata = false;
};

uint32_t TWaylandScreen::CursorModeFor(bool pointer) const {
  uint32_t offered = FPortal->AvailableCursorModes();
  if (FNoMetadata) offered &= ~kCursorMetadata;
  // With the pointer beside the picture it is drawn as on X11, hot spot
  // and all, and can be left out without a new cast.
  if (offered & kCursorMetadata) return kCursorMetadata;
  const uint32_t wanted = pointer ? kCursorEmbedded : kCursorHidden;
  if (offered & wanted) return wanted;
  return offered & kCursorEmbedded ? kCursorEmbedded : kCursorHidden;
}

bool TWaylandScreen::RequestAccess(TAccessRequest& request) {
  if (!FPortal) FPortal = std::make_unique<TScreenCastPortal>();
  // Metadata that never came with the pictures (none negotiated, or none
  // sent): the pointer is asked for in them instead, without a word.
  if (FCast && FCursorMode == kCursorMetadata && !FCast->PointerSeen()) FNoMetadata = true;
  const uint32_t mode = CursorModeFor(request.Pointer);
  if (FCast && !FCast->Failed() && !FPortal->Closed() && mode == FCursorMode) return true;
  FCast.reset();
  if (!FPortal->Start(mode, request.RestoreToken, request.Idle)) return false;
  FCursorMode = mode;
  std::vector<uint32_t> nodes;
  for (const TCastStream& s : FPortal->Streams()) nodes.push_back(s.NodeId);
  FCast = std::make_unique<TPipeWireCast>(FPortal->OpenPipeWireRemote(), nodes);
  if (!FCast->WaitForPictures(kFirstPictureMs, request.Idle)) {
    const bool failed = FCast->Failed();
    FCast.reset();
    throw Exception(failed ? "The desktop ended the screen cast before its first picture"
                           : "The desktop sent no picture of the screen");
  }
  return true;
}

void TWaylandScreen::CheckCast() {
  if (!FCast) throw Exception("No screen is shared yet: press \"Set recording area\" first");
  if (FCast->Failed() || FPortal->Closed()) {
    FCast.reset();
    throw EScreenLost("The desktop ended the screen cast");
  }
}

TRect TWaylandScreen::Bounds(size_t i) const {
  int32_t width = 0, height = 0;
  FCast->ReadNewest(i, [&](const TCastPicture& p) {
    width = p.Width;
    height = p.Height;
  });
  const TCastStream& s = FPortal->Streams()[i];
  int32_t left = s.X, top = s.Y;
  if (!s.HasPosition) {
    // Without a layout from the desktop: side by side, in the given order.
    left = i == 0 ? 0 : Bounds(i - 1).Right;
    top = 0;
  }
  return TRect(left, top, left + width, top + height);
}

std::vector<TMonitor> TWaylandScreen::Monitors() {
  std::vector<TMonitor> monitors;
  if (FCast && !FCast->Failed())
    for (size_t i = 0; i < FCast->Count(); ++i) monitors.push_back(TMonitor{Bounds(i), false});
  // Before anything is shared there is still one monitor, of no size.
  if (monitors.empty()) monitors.push_back(TMonitor{TRect(0, 0, 0, 0), true});
  // The one at the layout's origin is primary, else the first.
  auto origin = std::find_if(monitors.begin(), monitors.end(),
                             [](const TMonitor& m) { return m.Bounds.Left == 0 && m.Bounds.Top == 0; });
  (origin != monitors.end() ? *origin : monitors.front()).Primary = true;
  return monitors;
}

void TWaylandScreen::StoreRows(const TCastPicture& cast, const TRect& part, const TRect& source,
                               TBitmap& picture) const {
  // part lies within both the monitor and source; both in screen pixels,
  // the monitor's corner already taken off part.
  // BGRx, the usual order, is the picture's own but for the fourth byte.
  const bool plain = cast.RedByte == 2 && cast.GreenByte == 1 && cast.BlueByte == 0;
  for (int32_t y = part.Top; y < part.Bottom; ++y) {
    const uint8_t* from = cast.Bytes.data() + cast.Stride * size_t(y) + size_t(part.Left) * 4;
    auto* to = reinterpret_cast<uint32_t*>(picture.ScanLine(y + source.Top)) + (part.Left + source.Left);
    if (plain) {
      std::memcpy(to, from, size_t(part.Right - part.Left) * 4);
      for (int32_t x = 0; x < part.Right - part.Left; ++x) to[x] &= 0x00FFFFFFu;
      continue;
    }
    for (int32_t x = 0; x < part.Right - part.Left; ++x, from += 4)
      to[x] =
          (uint32_t{from[cast.RedByte]} << 16) | (uint32_t{from[cast.GreenByte]} << 8) | from[cast.BlueByte];
  }
}

void TWaylandScreen::CopyRect(const TRect& source, TBitmap& picture) {
  CheckCast();
  if (CopyThroughScreenFormat(source, picture)) return;
  const int64_t width = std::min<int64_t>(source.Width(), picture.Width());
  const int64_t height = std::min<int64_t>(source.Height(), picture.Height());
  if (width <= 0 || height <= 0) return;
  picture.FillRect(TRect(0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)), RGBQUAD{});
  for (size_t i = 0; i < FCast->Count(); ++i) {
    const TRect bounds = Bounds(i);
    const int64_t left = std::max<int64_t>(source.Left, bounds.Left);
    const int64_t top = std::max<int64_t>(source.Top, bounds.Top);
    const int64_t right = std::min<int64_t>(int64_t{source.Left} + width, bounds.Right);
    const int64_t bottom = std::min<int64_t>(int64_t{source.Top} + height, bounds.Bottom);
    if (left >= right || top >= bottom) continue;
    FCast->ReadNewest(i, [&](const TCastPicture& cast) {
      // The picture may have changed size since Bounds looked.
      const int64_t r = std::min<int64_t>(right, int64_t{bounds.Left} + cast.Width);
      const int64_t b = std::min<int64_t>(bottom, int64_t{bounds.Top} + cast.Height);
      if (left >= r || top >= b) return;
      const TRect part(static_cast<int32_t>(left - bounds.Left), static_cast<int32_t>(top - bounds.Top),
                       static_cast<int32_t>(r - bounds.Left), static_cast<int32_t>(b - bounds.Top));
      const TRect offset(bounds.Left - source.Left, bounds.Top - source.Top, 0, 0);
      StoreRows(cast, part, offset, picture);
    });
  }
}

void TWaylandScreen::AwaitFreshPicture(const TRect& area, int settleMs, int maxMs,
                                       const std::function<void()>& idle) {
  if (!FCast || FCast->Failed()) return;
  const int64_t since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch() +
                            std::chrono::milliseconds(settleMs))
                            .count();
  std::vector<size_t> streams;
  for (size_t i = 0; i < FCast->Count(); ++i) {
    const TRect b = Bounds(i);
    if (area.Left < b.Right && b.Left < area.Right && area.Top < b.Bottom && b.Top < area.Bottom)
      streams.push_back(i);
  }
  // A still screen sends nothing new: then the newest picture stands.
  FCast->WaitForPicturesSince(streams, since, maxMs, idle);
}

TPointer TWaylandScreen::Pointer() {
  TPointer pointer;
  if (!FCast || FCursorMode != kCursorMetadata) return pointer;  // in the picture, or left out
  for (size_t i = 0; i < FCast->Count() && pointer.Pixels.empty(); ++i) {
    const TRect bounds = Bounds(i);
    FCast->ReadNewest(i, [&](const TCastPicture& p) {
      if (!p.PointerKnown || !p.PointerVisible || p.PointerX < 0 || p.PointerY < 0 || p.PointerX >= p.Width ||
          p.PointerY >= p.Height)
        return;
      pointer.Width = p.PointerWidth;
      pointer.Height = p.PointerHeight;
      pointer.HotX = p.HotX;
      pointer.HotY = p.HotY;
      pointer.Position = TPoint{bounds.Left + p.PointerX, bounds.Top + p.PointerY};
      pointer.Pixels = p.PointerPixels;
    });
  }
  return pointer;
}

}  // namespace

std::unique_ptr<TScreen> OpenWaylandScreen() {
  return std::make_unique<TWaylandScreen>();
}
