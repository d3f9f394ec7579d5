// The screen on X11: captures through MIT-SHM (XGetImage where shared
// memory cannot be had), the outline drawn on the root window, the pointer
// from XFixes and the monitors from RandR 1.5 or Xinerama.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xinerama.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "base/exception.h"
#include "image/channel_mask.h"
#include "platform/screen.h"

namespace {

// Catches the X errors of a stretch of calls instead of letting Xlib's
// default handler end the process. Every request made inside a trap is
// answered before the trap ends, so no error can arrive after it and none
// from before it can arrive inside. Only one thread talks to X here.
class TErrorTrap {
 public:
  explicit TErrorTrap(Display* display) : FDisplay(display), FOuter(Current) {
    FOldHandler = XSetErrorHandler(Handler);
    Current = this;
  }
  ~TErrorTrap() {
    XSync(FDisplay, False);
    XSetErrorHandler(FOldHandler);
    Current = FOuter;
  }
  TErrorTrap(const TErrorTrap&) = delete;
  TErrorTrap& operator=(const TErrorTrap&) = delete;

  // The first error so far, once all requests are answered; 0 for none.
  int Error() {
    XSync(FDisplay, False);
    return FError;
  }
  // The same without a round trip, right after a request that has a reply:
  // the errors of all earlier requests were read before that reply.
  int ErrorAfterReply() const { return FError; }
  std::string ErrorText() {
    char text[256] = "";
    XGetErrorText(FDisplay, FError, text, sizeof text);
    return text;
  }

 private:
  static int Handler(Display*, XErrorEvent* event) {
    if (Current && Current->FError == 0) Current->FError = event->error_code;
    return 0;
  }

  static inline TErrorTrap* Current = nullptr;
  Display* FDisplay;
  TErrorTrap* FOuter;
  XErrorHandler FOldHandler = nullptr;
  int FError = 0;
};

template <typename T>
struct TXFree {
  void operator()(T* p) const noexcept {
    if (p) XFree(p);
  }
};

class TX11Screen final : public TScreen {
 public:
  TX11Screen(Display* display, bool sharedMemory);
  ~TX11Screen() override;

  void CopyRect(const TRect& source, TBitmap& picture) override;
  void DrawOutline(const TRect& area) override;
  TPointer Pointer() override;
  std::vector<TMonitor> Monitors() override;

 private:
  // Inside an error trap only, as every X request here.
  void ScreenSize(int32_t& width, int32_t& height);
  XImage* Grab(TErrorTrap& trap, int32_t x, int32_t y, int32_t width, int32_t height);
  bool GrowSharedImage(int32_t width, int32_t height);
  void ReleaseShared();
  void StoreRows(const XImage* image, TBitmap& picture, int32_t destX, int32_t destY);

  Display* FDisplay;
  Window FRoot;
  Visual* FVisual;
  int FDepth;
  GC FOutlineGC = nullptr;
  bool FShmUsable = false;
  XShmSegmentInfo FShm{};
  size_t FShmCapacity = 0;
  XImage* FShmImage = nullptr;
  bool FHasXFixes = false;
  bool FHasMonitors = false;  // RandR 1.5
};

TX11Screen::TX11Screen(Display* display, bool sharedMemory)
    : FDisplay(display),
      FRoot(DefaultRootWindow(display)),
      FVisual(DefaultVisual(display, DefaultScreen(display))),
      FDepth(DefaultDepth(display, DefaultScreen(display))) {
  FShm.shmid = -1;
  FShmUsable = sharedMemory && XShmQueryExtension(display) == True;
  int eventBase, errorBase;
  FHasXFixes = XFixesQueryExtension(display, &eventBase, &errorBase) == True;
  int major = 0, minor = 0;
  FHasMonitors = XRRQueryExtension(display, &eventBase, &errorBase) == True &&
                 XRRQueryVersion(display, &major, &minor) != 0 && (major > 1 || (major == 1 && minor >= 5));
}

TX11Screen::~TX11Screen() {
  ReleaseShared();
  if (FOutlineGC) XFreeGC(FDisplay, FOutlineGC);
  XCloseDisplay(FDisplay);
}

void TX11Screen::ReleaseShared() {
  if (FShmImage) {
    TErrorTrap trap(FDisplay);
    XShmDetach(FDisplay, &FShm);
    FShmImage->data = nullptr;  // the segment is not the image's to free
    XDestroyImage(FShmImage);
    FShmImage = nullptr;
  }
  if (FShm.shmaddr && FShm.shmaddr != reinterpret_cast<char*>(-1)) shmdt(FShm.shmaddr);
  FShm = XShmSegmentInfo{};
  FShm.shmid = -1;
  FShmCapacity = 0;
}

// Makes the shared image exactly width x height, on a segment that is kept
// and only grown. Returns false when shared memory cannot be used at all.
bool TX11Screen::GrowSharedImage(int32_t width, int32_t height) {
  if (FShmImage && FShmImage->width == width && FShmImage->height == height) return true;
  const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  if (needed > FShmCapacity) {
    ReleaseShared();
    FShm.shmid = shmget(IPC_PRIVATE, needed, IPC_CREAT | 0600);
    if (FShm.shmid < 0) return false;
    FShm.shmaddr = static_cast<char*>(shmat(FShm.shmid, nullptr, 0));
    // Marked for removal now: it goes away with the last detach, even if we crash.
    shmctl(FShm.shmid, IPC_RMID, nullptr);
    if (FShm.shmaddr == reinterpret_cast<char*>(-1)) {
      FShm.shmaddr = nullptr;
      return false;
    }
    FShm.readOnly = False;
    TErrorTrap trap(FDisplay);
    XShmAttach(FDisplay, &FShm);
    if (trap.Error() != 0) {  // a server on another machine cannot share our memory
      shmdt(FShm.shmaddr);
      FShm = XShmSegmentInfo{};
      return false;
    }
    FShmCapacity = needed;
  }
  XImage* image = XShmCreateImage(FDisplay, FVisual, static_cast<unsigned>(FDepth), ZPixmap, nullptr, &FShm,
                                  static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (!image) return false;
  if (static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(height) > FShmCapacity) {
    image->data = nullptr;
    XDestroyImage(image);
    return false;
  }
  image->data = FShm.shmaddr;
  if (FShmImage) {
    FShmImage->data = nullptr;
    XDestroyImage(FShmImage);
  }
  FShmImage = image;
  return true;
}

void TX11Screen::ScreenSize(int32_t& width, int32_t& height) {
  Window root;
  int x, y;
  unsigned w = 0, h = 0, border, depth;
  if (!XGetGeometry(FDisplay, FRoot, &root, &x, &y, &w, &h, &border, &depth))
    throw Exception("Cannot read the size of the screen");
  width = static_cast<int32_t>(w);
  height = static_cast<int32_t>(h);
}

// The screen pixels of a rectangle inside the screen. The shared image
// stays ours; an XGetImage result belongs to the caller.
XImage* TX11Screen::Grab(TErrorTrap& trap, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (FShmUsable && GrowSharedImage(width, height)) {
    Status ok = XShmGetImage(FDisplay, FRoot, FShmImage, x, y, AllPlanes);
    int error = trap.ErrorAfterReply();
    if (ok && error == 0) return FShmImage;
    throw Exception("Cannot copy the screen: " + (error ? trap.ErrorText() : std::string("no answer")));
  }
  FShmUsable = false;
  XImage* image = XGetImage(FDisplay, FRoot, x, y, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  int error = trap.ErrorAfterReply();
  if (!image || error != 0) {
    if (image) XDestroyImage(image);
    throw Exception("Cannot copy the screen: " +
                    (error ? trap.ErrorText() : std::string("no picture came back")));
  }
  return image;
}

// The grabbed rows go straight into the picture's bottom-up rows, BGRX with
// the X byte cleared, in one pass.
void TX11Screen::StoreRows(const XImage* image, TBitmap& picture, int32_t destX, int32_t destY) {
  const int32_t width = image->width, height = image->height;
  const bool plain = image->bits_per_pixel == 32 && image->byte_order == LSBFirst &&
                     image->red_mask == 0xFF0000 && image->green_mask == 0xFF00 && image->blue_mask == 0xFF;
  const TChannelMask red(static_cast<uint32_t>(image->red_mask)),
      green(static_cast<uint32_t>(image->green_mask)), blue(static_cast<uint32_t>(image->blue_mask));
  const int bytesPerPixel = image->bits_per_pixel / 8;
  for (int32_t y = 0; y < height; ++y) {
    const auto* source = reinterpret_cast<const uint8_t*>(image->data) +
                         static_cast<size_t>(y) * static_cast<size_t>(image->bytes_per_line);
    auto* target = reinterpret_cast<uint32_t*>(picture.ScanLine(destY + y)) + destX;
    if (plain) {
      for (int32_t x = 0; x < width; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, source + 4 * static_cast<size_t>(x), 4);
        target[x] = pixel & 0x00FFFFFFu;
      }
      continue;
    }
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = source + static_cast<size_t>(x) * static_cast<size_t>(bytesPerPixel);
      uint32_t pixel = 0;
      for (int i = 0; i < bytesPerPixel; ++i) {
        int shift = image->byte_order == LSBFirst ? 8 * i : 8 * (bytesPerPixel - 1 - i);
        pixel |= static_cast<uint32_t>(p[i]) << shift;
      }
      target[x] = blue.Value(pixel) | (green.Value(pixel) << 8) | (red.Value(pixel) << 16);
    }
  }
}

void TX11Screen::CopyRect(const TRect& source, TBitmap& picture) {
  if (CopyThroughScreenFormat(source, picture)) return;
  const int64_t width = std::min<int64_t>(source.Width(), picture.Width());
  const int64_t height = std::min<int64_t>(source.Height(), picture.Height());
  if (width <= 0 || height <= 0) return;
  TErrorTrap trap(FDisplay);
  int32_t screenWidth, screenHeight;
  ScreenSize(screenWidth, screenHeight);
  const int64_t left = std::max<int64_t>(source.Left, 0), top = std::max<int64_t>(source.Top, 0);
  const int64_t right = std::min<int64_t>(int64_t{source.Left} + width, screenWidth);
  const int64_t bottom = std::min<int64_t>(int64_t{source.Top} + height, screenHeight);
  const bool whole = left == source.Left && top == source.Top && right == source.Left + width &&
                     bottom == source.Top + height;
  if (!whole)
    picture.FillRect(TRect(0, 0, static_cast<int32_t>(width), static_cast<int32_t>(height)), RGBQUAD{});
  if (left >= right || top >= bottom) return;  // wholly off the screen: black

  XImage* image = Grab(trap, static_cast<int32_t>(left), static_cast<int32_t>(top),
                       static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top));
  StoreRows(image, picture, static_cast<int32_t>(left - source.Left), static_cast<int32_t>(top - source.Top));
  if (image != FShmImage) XDestroyImage(image);
}

void TX11Screen::DrawOutline(const TRect& area) {
  TErrorTrap trap(FDisplay);
  if (!FOutlineGC) {
    XGCValues values{};
    values.foreground = BlackPixel(FDisplay, DefaultScreen(FDisplay));
    values.line_width = 0;
    values.line_style = LineOnOffDash;
    values.subwindow_mode = IncludeInferiors;  // over every window, not under them
    values.graphics_exposures = False;
    FOutlineGC =
        XCreateGC(FDisplay, FRoot,
                  GCForeground | GCLineWidth | GCLineStyle | GCSubwindowMode | GCGraphicsExposures, &values);
    static const char dots[] = {1, 1};
    XSetDashes(FDisplay, FOutlineGC, 0, dots, 2);
    if (trap.Error()) throw Exception("Cannot draw on the screen: " + trap.ErrorText());
  }
  // From (Left - 1, Top - 1) up to but not including (Right + 1, Bottom + 1).
  int64_t left = std::min<int64_t>(int64_t{area.Left} - 1, int64_t{area.Right} + 1);
  int64_t right = std::max<int64_t>(int64_t{area.Left} - 1, int64_t{area.Right} + 1) - 1;  // last column
  int64_t top = std::min<int64_t>(int64_t{area.Top} - 1, int64_t{area.Bottom} + 1);
  int64_t bottom = std::max<int64_t>(int64_t{area.Top} - 1, int64_t{area.Bottom} + 1) - 1;  // last row
  // X coordinates are 16-bit: edges are cut to just outside the screen, and
  // an edge that lies wholly off the screen is not drawn.
  int32_t screenWidth, screenHeight;
  ScreenSize(screenWidth, screenHeight);
  auto clampX = [&](int64_t x) { return static_cast<short>(std::clamp<int64_t>(x, -1, screenWidth)); };
  auto clampY = [&](int64_t y) { return static_cast<short>(std::clamp<int64_t>(y, -1, screenHeight)); };
  std::vector<XSegment> edges;
  auto visibleX = [&](int64_t x) { return x >= 0 && x < screenWidth; };
  auto visibleY = [&](int64_t y) { return y >= 0 && y < screenHeight; };
  if (visibleY(top)) edges.push_back({clampX(left), clampY(top), clampX(right), clampY(top)});
  if (visibleY(bottom) && bottom != top)
    edges.push_back({clampX(left), clampY(bottom), clampX(right), clampY(bottom)});
  if (visibleX(left)) edges.push_back({clampX(left), clampY(top), clampX(left), clampY(bottom)});
  if (visibleX(right) && right != left)
    edges.push_back({clampX(right), clampY(top), clampX(right), clampY(bottom)});
  if (edges.empty()) return;
  XDrawSegments(FDisplay, FRoot, FOutlineGC, edges.data(), static_cast<int>(edges.size()));
  XFlush(FDisplay);
  if (trap.Error()) throw Exception("Cannot draw on the screen: " + trap.ErrorText());
}

TPointer TX11Screen::Pointer() {
  TPointer pointer;
  TErrorTrap trap(FDisplay);
  if (FHasXFixes) {
    // One request gives the image, its hot spot and the position together.
    std::unique_ptr<XFixesCursorImage, TXFree<XFixesCursorImage>> cursor(XFixesGetCursorImage(FDisplay));
    if (cursor && trap.Error() == 0) {
      pointer.Width = cursor->width;
      pointer.Height = cursor->height;
      pointer.HotX = cursor->xhot;
      pointer.HotY = cursor->yhot;
      pointer.Position = TPoint{cursor->x, cursor->y};
      pointer.Pixels.resize(static_cast<size_t>(cursor->width) * cursor->height);
      for (size_t i = 0; i < pointer.Pixels.size(); ++i)
        pointer.Pixels[i] = static_cast<uint32_t>(cursor->pixels[i]);  // one ARGB word in each long
      return pointer;
    }
  }
  Window root, child;
  int rootX = 0, rootY = 0, x, y;
  unsigned mask;
  if (XQueryPointer(FDisplay, FRoot, &root, &child, &rootX, &rootY, &x, &y, &mask))
    pointer.Position = TPoint{rootX, rootY};
  return pointer;
}

std::vector<TMonitor> TX11Screen::Monitors() {
  std::vector<TMonitor> monitors;
  TErrorTrap trap(FDisplay);
  if (FHasMonitors) {
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, decltype(&XRRFreeMonitors)> info(
        XRRGetMonitors(FDisplay, FRoot, True, &count), &XRRFreeMonitors);
    for (int i = 0; info && i < count; ++i) {
      const XRRMonitorInfo& m = info.get()[i];
      monitors.push_back(TMonitor{TRect(m.x, m.y, m.x + m.width, m.y + m.height), m.primary == True});
    }
  }
  // Nested servers such as Xephyr report one RandR monitor over several heads.
  int eventBase, errorBase;
  if (monitors.size() <= 1 && XineramaQueryExtension(FDisplay, &eventBase, &errorBase) &&
      XineramaIsActive(FDisplay)) {
    int count = 0;
    std::unique_ptr<XineramaScreenInfo, TXFree<XineramaScreenInfo>> heads(
        XineramaQueryScreens(FDisplay, &count));
    if (heads && count > 1) {
      monitors.clear();
      for (int i = 0; i < count; ++i) {
        const XineramaScreenInfo& h = heads.get()[i];
        monitors.push_back(TMonitor{TRect(h.x_org, h.y_org, h.x_org + h.width, h.y_org + h.height), i == 0});
      }
    }
  }
  trap.Error();
  if (monitors.empty()) {
    int32_t width, height;
    ScreenSize(width, height);
    monitors.push_back(TMonitor{TRect(0, 0, width, height), true});
  }
  if (std::none_of(monitors.begin(), monitors.end(), [](const TMonitor& m) { return m.Primary; }))
    monitors.front().Primary = true;
  return monitors;
}

}  // namespace

std::unique_ptr<TScreen> OpenX11Screen(const std::string& displayName, bool sharedMemory) {
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!display) {
    std::string name = displayName.empty() ? (getenv("DISPLAY") ? getenv("DISPLAY") : "") : displayName;
    throw Exception(name.empty() ? "Cannot open the screen: no X display is set (DISPLAY is empty)"
                                 : "Cannot open the X display \"" + name + "\"");
  }
  return std::make_unique<TX11Screen>(display, sharedMemory);
}

TPoint PrimaryScreenSize() {
  std::unique_ptr<TScreen> screen = OpenX11Screen();
  TMonitor primary = screen->PrimaryMonitor();
  return TPoint{primary.Width(), primary.Height()};
}
