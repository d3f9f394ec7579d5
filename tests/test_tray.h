#pragma once

#include <atomic>
#include <string>
#include <thread>

// A system tray of the test's own on the display named: it owns
// _NET_SYSTEM_TRAY_S0 of screen 0 and embeds the icons that ask to be
// docked (the XEmbed system-tray protocol), side by side in a window of its
// own at (Left, Top), each Size x Size. Gone with the object.
class TTestTray {
 public:
  static constexpr int Left = 400, Top = 300, Size = 32;
  explicit TTestTray(const std::string& display);
  ~TTestTray();
  TTestTray(const TTestTray&) = delete;
  TTestTray& operator=(const TTestTray&) = delete;
  // How many icons are docked now.
  int Icons() const { return FIcons; }

 private:
  void Run();
  std::string FDisplay;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FReady{false};
  std::atomic<int> FIcons{0};
  std::thread FThread;
};
