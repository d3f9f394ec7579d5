#pragma once

#include <sys/types.h>

#include <cstdio>

#include <string>
#include <vector>

// A Wayland desktop of the test's own, as a user's session has one: sway
// without a screen (its headless backend, software rendering) run as the
// unprivileged user nobody, a private session bus, PipeWire with
// WirePlumber, and the real xdg-desktop-portal whose screen-cast backend is
// the tests' own (tests/wayland/screencast_backend), publishing known
// pictures. While it lives, this process's environment points into it
// (WAYLAND_DISPLAY, the bus, XDG_RUNTIME_DIR, HOME and the XDG folders);
// everything it started and its folder go with it, also when a test fails.
// Every child is killed with this process should it die first.
class TWaylandDesktop {
 public:
  // monitors: "WxH" each, side by side from 0,0; scale: the first
  // monitor's output scale (its real size is W x H either way).
  explicit TWaylandDesktop(const std::vector<std::string>& monitors, int scale = 1);
  ~TWaylandDesktop();
  TWaylandDesktop(const TWaylandDesktop&) = delete;
  TWaylandDesktop& operator=(const TWaylandDesktop&) = delete;

  // (Re)starts the screen-cast backend with these options beside the
  // monitors' own, and the portal that reads its offer once at its start.
  void StartCast(const std::vector<std::string>& backendOptions = {});
  // Ends the screen-cast service and the portal: a desktop without one.
  void StopCast();
  // Ends every cast from the desktop's side, as a user stopping the sharing.
  void EndCasts() const;
  // What the backend has logged so far.
  std::string BackendLog() const;
  // Drives the pointer through the wlroots virtual pointer: a script such
  // as "move 100 80; down; move 420 320; up" in real pixels of the layout;
  // returns once the desktop has handled it all.
  void Pointer(const std::string& script) const;
  // Runs a shell command in the desktop's environment; returns its output.
  std::string Run(const std::string& command) const;
  const std::string& Folder() const { return FRoot; }

 private:
  pid_t Spawn(const std::vector<std::string>& args, const std::string& log, bool asNobody = false);
  void Stop(pid_t& pid);
  void WaitForBusName(const std::string& name);
  // Stops everything and removes the folder; the constructor's way out too.
  void Release();
  void StartPointer();
  void WaitForPointerLine(const std::string& expected) const;

  std::string FRoot;
  std::string FRuntime;
  std::string FMonitors;  // as the backend takes them: "WxH+X+Y,..."
  int FScale = 1;
  pid_t FBus = -1;
  pid_t FSway = -1;
  pid_t FPipeWire = -1;
  pid_t FWirePlumber = -1;
  pid_t FBackend = -1;
  pid_t FPortal = -1;
  pid_t FPointerTool = -1;
  FILE* FPointerIn = nullptr;
  FILE* FPointerOut = nullptr;
};
