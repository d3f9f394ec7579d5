#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// An X server of the test's own, so that tests drawing on the screen never
// meet each other: Xvfb with one screen, or Xephyr nested in it with
// several Xinerama heads. Stopped when the object goes.
class TXServer {
 public:
  // An Xvfb screen of width x height at 24 bits.
  TXServer(int width, int height);
  // Xephyr inside a fresh Xvfb, with one Xinerama head per "WxH+X+Y".
  explicit TXServer(const std::vector<std::string>& heads);
  ~TXServer();
  TXServer(const TXServer&) = delete;
  TXServer& operator=(const TXServer&) = delete;

  // The display name, such as ":5".
  const std::string& Name() const { return FName; }
  // Runs a shell command with DISPLAY set to this server; returns its output.
  std::string Run(const std::string& command) const;
  // Makes color(x, y) (0xRRGGBB) the root window's background, straight
  // through Xlib: it shows wherever no window covers the screen.
  void PaintRoot(const std::function<uint32_t(int32_t x, int32_t y)>& color) const;
  // Asks the top-level window named title to close, as a window manager
  // does when its close box is pressed (WM_DELETE_WINDOW).
  void CloseWindow(const std::string& title) const;
  // Gives the root window the text cursor, whose hot spot is in its middle.
  void UseTextCursor() const;

 private:
  static pid_t Start(std::vector<std::string> args, const std::string& display, std::string& name);

  std::string FName;
  std::string FHostName;
  pid_t FServer = -1;
  pid_t FHost = -1;
};
