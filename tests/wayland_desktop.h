#pragma once

#include <sys/types.h>

#include <cstdio>

#include <string>
#include <vector>

// A Wayland desktop of the test's own, as a user's session has one: a
// compositor without a screen run as the unprivileged user nobody, a
// private session bus, PipeWire with WirePlumber, and the real
// xdg-desktop-portal. Two kinds:
// - sway (its headless backend, software rendering), whose screen-cast
//   backend is the tests' own (tests/wayland/screencast_backend),
//   publishing known pictures;
// - GNOME Shell (headless, one virtual monitor) with xdg-desktop-portal-gnome,
//   GNOME's own screen cast and share dialog, a private system bus, and a
//   tool of the tests' own (tests/wayland/gnome_input) that moves the
//   pointer, presses keys and takes screenshots through Mutter and the Shell.
// While it lives, this process's environment points into it
// (WAYLAND_DISPLAY, the bus, XDG_RUNTIME_DIR, HOME and the XDG folders);
// everything it started and its folder go with it, also when a test fails.
// Every child is killed with this process should it die first.
class TWaylandDesktop {
 public:
  enum class TKind { Sway, Gnome };
  // monitors: "WxH" each, side by side from 0,0 (GNOME: one); scale: the
  // first monitor's output scale (its real size is W x H either way).
  explicit TWaylandDesktop(const std::vector<std::string>& monitors, int scale = 1, TKind kind = TKind::Sway);
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
  // Drives the pointer (the wlroots virtual pointer; on GNOME, Mutter's
  // remote desktop): a script such as "move 100 80; down; move 420 320; up"
  // in real pixels of the layout; returns once the desktop has handled it
  // all. On GNOME also "key Escape", "key ctrl+shift+F9".
  void Pointer(const std::string& script) const;
  // GNOME: a PNG of the screen's area (x, y, w, h) as the Shell shows it,
  // without the pointer; with w = 0, the whole screen with the pointer.
  // Returns the file's path.
  std::string Screenshot(int x, int y, int w, int h) const;
  // How long the compositor took to come up, in seconds.
  double StartSeconds() const { return FStartSeconds; }
  // Runs a shell command in the desktop's environment; returns its output.
  std::string Run(const std::string& command) const;
  const std::string& Folder() const { return FRoot; }

 private:
  // env: "NAME=value" set for the child only.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& log, bool asNobody = false,
              const std::vector<std::string>& env = {});
  void StartBus(const std::vector<std::string>& services);
  void StartSway(const std::vector<std::string>& monitors);
  void StartGnome(const std::string& monitor);
  void StartPipeWire(bool asNobody);
  void StartGnomeInput();
  void Stop(pid_t& pid);
  void WaitForBusName(const std::string& name);
  // Stops everything and removes the folder; the constructor's way out too.
  void Release();
  void StartPointer();
  void StartTool(const std::vector<std::string>& args);
  void WaitForPointerLine(const std::string& expected) const;
  void Mark() const;

  std::string FRoot;
  std::string FRuntime;
  std::string FMonitors;  // as the backend takes them: "WxH+X+Y,..."
  int FScale = 1;
  TKind FKind = TKind::Sway;
  double FStartSeconds = 0;
  std::vector<std::string> FShellEnv;  // what GNOME's own processes run with
  pid_t FSystemBus = -1;
  pid_t FShell = -1;
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
