#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

  // A new screen-compatible picture of the rectangle.
  TBitmap Capture(const TRect& source);
  // The monitor that holds the point, else the primary monitor.
  TMonitor MonitorFromPoint(TPoint point);
  TMonitor PrimaryMonitor();
};

// Draws the pointer into a picture taken with its top-left corner at
// origin: the image's hot spot lands on the pointer's position; what falls
// outside the picture is cut off.
void DrawPointer(TBitmap& picture, const TPointer& pointer, TPoint origin);

// The screen of this session: the X display named (or $DISPLAY when empty).
// Raises an Exception that says why when it cannot be opened. Without
// shared memory every capture goes through the X connection, as it must
// for a server on another machine.
std::unique_ptr<TScreen> OpenScreen(const std::string& displayName = std::string(), bool sharedMemory = true);

// The primary monitor's width and height, from a short-lived connection.
TPoint PrimaryScreenSize();
