#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/types.h"
#include "image/bitmap.h"

// A monitor: its bounds in screen coordinates.
struct TMonitor {
  TRect Bounds;
  bool Primary = false;
  int32_t Width() const { return static_cast<int32_t>(Bounds.Width()); }
  int32_t Height() const { return static_cast<int32_t>(Bounds.Height()); }
};

// The mouse pointer as it looks and where it is: premultiplied ARGB rows
// from the top, the hot spot inside the image, and the hot spot's position
// on the screen. An empty image means none could be had.
struct TPointer {
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t HotX = 0;
  int32_t HotY = 0;
  TPoint Position;
  std::vector<uint32_t> Pixels;
};

// The screen was taken away while in use (the desktop ended its screen
// cast): nothing more can be copied until access is requested again.
class EScreenLost : public Exception {
 public:
  using Exception::Exception;
};

// How access to the screen is asked for where the desktop asks the user.
struct TAccessRequest {
  // The pointer is wanted in the pictures.
  bool Pointer = true;
  // The desktop's token for a consent given before; empty when none. On
  // return, the token that spares the user the question next time.
  std::string RestoreToken;
  // Called now and then while the desktop asks, so the windows stay alive.
  std::function<void()> Idle;
};

// The whole screen as a drawing surface: the source of every capture and
// the target of the outline drawn around the recording area. Opened once
// and kept; everything it holds is released with it.
class TScreen {
 public:
  virtual ~TScreen() = default;

  // Copies the screen rectangle source into the picture's rectangle
  // (0, 0, width, height). Parts outside the screen come out black.
  virtual void CopyRect(const TRect& source, TBitmap& picture) = 0;
  // A 1-pixel black dotted rectangle lying one pixel outside area: columns
  // Left - 1 and Right, rows Top - 1 and Bottom. Shown at once, never erased.
  virtual void DrawOutline(const TRect& area) = 0;
  virtual TPointer Pointer() = 0;
  // At least one monitor; the primary one is marked.
  virtual std::vector<TMonitor> Monitors() = 0;
  // Makes the screen ready to be copied, asking the user's consent where the
  // desktop wants it. False when the user refused; raises an Exception
  // that says why when there is no way to the screen at all. Repeated, it
  // keeps what it has when that still serves the request.
  virtual bool RequestAccess(TAccessRequest& request);
  // Whether DrawOutline can draw outside our own windows.
  virtual bool DrawsOutline() const { return true; }
  // Waits up to maxMs for a picture of the screen under area made at least
  // settleMs from now. Where the desktop sends a picture only as the screen
  // changes, the newest one may still show what was there a moment ago: a
  // window just hidden, which the desktop may also fade out first. Where
  // the screen is read directly, nothing waits.
  virtual void AwaitFreshPicture(const TRect& area, int settleMs, int maxMs, const std::function<void()>& idle);

  // A new screen-compatible picture of the rectangle.
  TBitmap Capture(const TRect& source);
  // The monitor that holds the point, else the primary monitor.
  TMonitor MonitorFromPoint(TPoint point);
  TMonitor PrimaryMonitor();

 protected:
  // A picture of another depth than the screen's gets its copy through a
  // screen-format picture: true when it was copied so.
  bool CopyThroughScreenFormat(const TRect& source, TBitmap& picture);
};

// Draws the pointer into a picture taken with its top-left corner at
// origin: the image's hot spot lands on the pointer's position; what falls
// outside the picture is cut off.
void DrawPointer(TBitmap& picture, const TPointer& pointer, TPoint origin);

enum class TScreenKind { X11, Wayland };
// The kind of this session: PELIMAR_SCREEN=x11|wayland when set, else
// Wayland when WAYLAND_DISPLAY is set or XDG_SESSION_TYPE is "wayland".
TScreenKind SessionScreenKind();

// The screen of this session, of its kind. Raises an Exception that says
// why when it cannot be opened.
std::unique_ptr<TScreen> OpenScreen();
// The X display named (or $DISPLAY when empty). Without shared memory
// every capture goes through the X connection, as it must for a server on
// another machine.
std::unique_ptr<TScreen> OpenX11Screen(const std::string& displayName = std::string(),
                                       bool sharedMemory = true);
// The screens that the desktop casts through xdg-desktop-portal over
// PipeWire. Nothing is asked until RequestAccess.
std::unique_ptr<TScreen> OpenWaylandScreen();

// The primary monitor's width and height, from a short-lived connection.
TPoint PrimaryScreenSize();
