#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "base/exception.h"
#include "platform/global_keys.h"
#include "platform/screen.h"
#include "test_support.h"
#include "x_server.h"

namespace {

using TPattern = std::function<uint32_t(int32_t x, int32_t y)>;  // 0xRRGGBB

// Different at every pixel of a small screen, in all three channels.
uint32_t Pattern(int32_t x, int32_t y) {
  return (static_cast<uint32_t>(x & 0xFF) << 16) | (static_cast<uint32_t>(y & 0xFF) << 8) |
         static_cast<uint32_t>((x * 3 + y * 5 + (x >> 8) * 17 + (y >> 8) * 29) & 0xFF);
}

uint32_t Color(const TBitmap& picture, int32_t x, int32_t y) {
  RGBQUAD c = picture.Pixel(x, y);
  return (static_cast<uint32_t>(c.rgbRed) << 16) | (static_cast<uint32_t>(c.rgbGreen) << 8) | c.rgbBlue;
}

// Every pixel of the capture is the screen's, or black outside the screen.
void ExpectCapture(const TBitmap& picture, const TRect& rect, int32_t screenWidth, int32_t screenHeight,
                   const TPattern& color) {
  ASSERT_EQ(picture.Width(), rect.Width());
  ASSERT_EQ(picture.Height(), rect.Height());
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      int32_t sx = rect.Left + x, sy = rect.Top + y;
      bool on = sx >= 0 && sy >= 0 && sx < screenWidth && sy < screenHeight;
      ASSERT_EQ(Color(picture, x, y), on ? color(sx, sy) : 0u)
          << "capture of (" << rect.Left << "," << rect.Top << "," << rect.Right << "," << rect.Bottom
          << ") at " << x << "," << y;
    }
}

}  // namespace

TEST(ScreenX11, CapturesArePixelExactAndBlackOffTheScreen) {
  TXServer server(320, 240);
  server.PaintRoot(Pattern);
  server.Run("xdotool mousemove 319 239");  // keep the pointer's sprite clear of most captures
  const TRect rects[] = {
      {10, 20, 110, 70},    {0, 0, 320, 240},
      {-5, 10, 20, 30},     {300, 50, 330, 60},
      {40, -7, 60, 10},     {100, 230, 140, 250},
      {-3, -4, 5, 6},       {310, 235, 330, 250},
      {-10, -10, 330, 250}, {400, 400, 420, 410},
      {-50, -50, -10, -10}, {17, 19, 18, 20},
      {0, 239, 320, 240},   {INT32_MIN + 5, 0, INT32_MIN + 9, 3},
  };
  for (bool shared : {true, false}) {
    std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name(), shared);
    for (const TRect& rect : rects) ExpectCapture(screen->Capture(rect), rect, 320, 240, Pattern);
    // A picture of another depth gets the same pixels; one already drawn is overwritten with black
    // off-screen.
    TBitmap rgb(30, 20, pf24bit);
    rgb.FillRect(TRect(0, 0, 30, 20), RGBQUAD{255, 255, 255, 0});
    screen->CopyRect(TRect(305, 230, 335, 250), rgb);
    ExpectCapture(rgb, TRect(305, 230, 335, 250), 320, 240, Pattern);
  }
}

TEST(ScreenX11, TheOutlineLiesOnePixelOutsideTheArea) {
  TXServer server(320, 240);
  const uint32_t white = 0xFFFFFF;
  server.PaintRoot([&](int32_t, int32_t) { return white; });
  server.Run("xdotool mousemove 319 239");
  std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name());
  const TRect area(50, 40, 150, 120);
  screen->DrawOutline(area);
  // The area itself is untouched: a capture right after holds no outline pixel.
  TBitmap inside = screen->Capture(area);
  for (int32_t y = 0; y < inside.Height(); ++y)
    for (int32_t x = 0; x < inside.Width(); ++x) ASSERT_EQ(Color(inside, x, y), white) << x << "," << y;

  TBitmap whole = screen->Capture(TRect(0, 0, 320, 300));
  int onLeft = 0, onRight = 0, onTop = 0, onBottom = 0;
  for (int32_t y = 0; y < 240; ++y)
    for (int32_t x = 0; x < 320; ++x) {
      uint32_t c = Color(whole, x, y);
      if (c == white) continue;
      ASSERT_EQ(c, 0u) << "the pen is black, at " << x << "," << y;
      bool column = (x == 49 || x == 150) && y >= 39 && y <= 120;
      bool row = (y == 39 || y == 120) && x >= 49 && x <= 150;
      ASSERT_TRUE(column || row) << "stray outline pixel at " << x << "," << y;
      onLeft += x == 49;
      onRight += x == 150;
      onTop += y == 39;
      onBottom += y == 120;
    }
  // Dotted: about every other pixel of each side is drawn.
  for (int count : {onLeft, onRight, onTop, onBottom}) {
    EXPECT_GT(count, 30);
    EXPECT_LT(count, 70);
  }

  // Areas across or beyond the screen's edges draw what is on the screen and nothing else.
  server.PaintRoot([&](int32_t, int32_t) { return white; });
  screen->DrawOutline(TRect(-10, -10, 30, 30));
  screen->DrawOutline(TRect(INT32_MIN, 0, INT32_MAX, 100));
  screen->DrawOutline(TRect(1000, 1000, 2000, 2000));
  TBitmap after = screen->Capture(TRect(0, 0, 320, 240));
  auto dotted = [&](int32_t x, int32_t y, int32_t dx, int32_t dy) {
    return Color(after, x, y) == 0 || Color(after, x + dx, y + dy) == 0;
  };
  EXPECT_TRUE(dotted(30, 5, 0, 1));    // the right edge of the first
  EXPECT_TRUE(dotted(5, 30, 1, 0));    // its bottom edge
  EXPECT_TRUE(dotted(10, 100, 1, 0));  // the bottom edge of the wide one
  EXPECT_EQ(Color(after, 10, 99), white);
  EXPECT_EQ(Color(after, 200, 200), white);
}

TEST(ScreenX11, ThePointerIsDrawnWithItsHotSpotOnItsPosition) {
  TXServer server(320, 240);
  const uint32_t ground = 0x5A8CC8;  // neither black, white nor grey: every pointer pixel shows
  server.PaintRoot([&](int32_t, int32_t) { return ground; });
  server.UseTextCursor();
  server.Run("xdotool mousemove 100 80");
  std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name());
  TPointer pointer = screen->Pointer();
  ASSERT_FALSE(pointer.Pixels.empty());
  EXPECT_EQ(pointer.Position, (TPoint{100, 80}));
  ASSERT_TRUE(pointer.HotX != 0 || pointer.HotY != 0);

  // Where the image has any coverage, relative to its hot spot.
  int32_t minX = INT32_MAX, minY = INT32_MAX, maxX = INT32_MIN, maxY = INT32_MIN;
  for (int32_t y = 0; y < pointer.Height; ++y)
    for (int32_t x = 0; x < pointer.Width; ++x)
      if (pointer.Pixels[static_cast<size_t>(y * pointer.Width + x)] >> 24) {
        minX = std::min(minX, x - pointer.HotX), maxX = std::max(maxX, x - pointer.HotX);
        minY = std::min(minY, y - pointer.HotY), maxY = std::max(maxY, y - pointer.HotY);
      }

  for (const TRect& rect : {TRect(60, 50, 160, 130), TRect(95, 70, 140, 100)}) {
    TBitmap picture = screen->Capture(rect);
    DrawPointer(picture, screen->Pointer(), TPoint{rect.Left, rect.Top});
    int32_t seenMinX = INT32_MAX, seenMinY = INT32_MAX, seenMaxX = INT32_MIN, seenMaxY = INT32_MIN;
    for (int32_t y = 0; y < picture.Height(); ++y)
      for (int32_t x = 0; x < picture.Width(); ++x)
        if (Color(picture, x, y) != ground) {
          int32_t sx = rect.Left + x - 100, sy = rect.Top + y - 80;  // relative to the real position
          seenMinX = std::min(seenMinX, sx), seenMaxX = std::max(seenMaxX, sx);
          seenMinY = std::min(seenMinY, sy), seenMaxY = std::max(seenMaxY, sy);
        }
    // The second rectangle cuts the pointer at its left and top.
    EXPECT_EQ(seenMinX, std::max(minX, rect.Left - 100));
    EXPECT_EQ(seenMinY, std::max(minY, rect.Top - 80));
    EXPECT_EQ(seenMaxX, maxX);
    EXPECT_EQ(seenMaxY, maxY);
  }
  // A pointer wholly outside the picture leaves it as captured.
  TBitmap away = screen->Capture(TRect(200, 150, 260, 200));
  const TBitmap before = away;
  DrawPointer(away, screen->Pointer(), TPoint{200, 150});
  EXPECT_EQ(std::vector<uint8_t>(away.Bits(), away.Bits() + away.ImageSize()),
            std::vector<uint8_t>(before.Bits(), before.Bits() + before.ImageSize()));
}

TEST(ScreenX11, OneMonitorIsThePrimaryAndTheFallBack) {
  TXServer server(640, 400);
  std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name());
  std::vector<TMonitor> monitors = screen->Monitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].Bounds, TRect(0, 0, 640, 400));
  EXPECT_TRUE(monitors[0].Primary);
  EXPECT_EQ(screen->MonitorFromPoint(TPoint{-100, 5000}).Bounds, TRect(0, 0, 640, 400));
  setenv("DISPLAY", server.Name().c_str(), 1);
  EXPECT_EQ(PrimaryScreenSize(), (TPoint{640, 400}));
}

TEST(ScreenX11, TwoMonitorsSideBySide) {
  TXServer server(std::vector<std::string>{"320x240+0+0", "200x160+320+0"});
  std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name());
  std::vector<TMonitor> monitors = screen->Monitors();
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(screen->MonitorFromPoint(TPoint{400, 100}).Bounds, TRect(320, 0, 520, 160));
  EXPECT_EQ(screen->MonitorFromPoint(TPoint{319, 239}).Bounds, TRect(0, 0, 320, 240));
  // Below the smaller monitor lies no monitor at all: the primary answers.
  TMonitor none = screen->MonitorFromPoint(TPoint{400, 200});
  EXPECT_TRUE(none.Primary);
  EXPECT_EQ(none.Bounds, TRect(0, 0, 320, 240));

  server.PaintRoot(Pattern);
  server.Run("xdotool mousemove 10 230");
  const TRect across(300, 20, 360, 80);
  ExpectCapture(screen->Capture(across), across, 520, 240, Pattern);
}

TEST(ScreenX11, AMissingDisplayIsReported) {
  try {
    OpenX11Screen(":4093");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find(":4093"), std::string::npos) << e.Message();
  }
}

// Combinations as the settings write them, in X's names for their keys;
// each press counts, other modifiers do not; a key this keyboard lacks is
// said and the others are bound.
TEST(GlobalKeysX11, CombinationsAreReadAndTheirPressesCounted) {
  struct {
    const char* Text;
    uint32_t Modifiers;
    const char* Keysym;  // nullptr: refused
  } cases[] = {{"Ctrl+Shift+F9", kKeyCtrl | kKeyShift, "F9"}, {"Meta+A", kKeyMeta, "a"},
               {"Alt+PgUp", kKeyAlt, "Prior"},             {"Ctrl+Space", kKeyCtrl, "space"},
               {"Ctrl+,", kKeyCtrl, "comma"},              {"F12", 0, "F12"},
               {"Ctrl+", 0, nullptr},                      {"", 0, nullptr},
               {"Ctrl+A+B", 0, nullptr},                   {"Ctrl+Shift", 0, nullptr},
               {"Ctrl+\xc3\x84", 0, nullptr}};
  for (const auto& c : cases) {
    uint32_t modifiers = 99;
    std::string keysym;
    EXPECT_EQ(ParseKeyCombination(c.Text, modifiers, keysym), c.Keysym != nullptr) << c.Text;
    if (c.Keysym) {
      EXPECT_EQ(keysym, c.Keysym) << c.Text;
      EXPECT_EQ(modifiers, c.Modifiers) << c.Text;
    }
  }

  TXServer server(320, 240);
  TScopedEnv display("DISPLAY", server.Name().c_str());
  std::unique_ptr<TGlobalKeys> keys = OpenX11GlobalKeys();
  EXPECT_EQ(keys->Bind({{"mine", "Ctrl+Shift+F9", ""}, {"odd", "Ctrl+NoSuchKey", ""}}, {}),
            std::vector<std::string>{"Ctrl+NoSuchKey is not a key of this keyboard."});
  server.Run("xdotool key shift+F9 ctrl+shift+F9 ctrl+alt+shift+F9 ctrl+shift+F9");
  std::vector<std::string> pressed;
  for (int wait = 0; wait < 500 && pressed.size() < 2; ++wait) {
    for (const std::string& name : keys->TakePressed()) pressed.push_back(name);
    if (pressed.size() < 2) usleep(10000);
  }
  EXPECT_EQ(pressed, (std::vector<std::string>{"mine", "mine"}));
}
