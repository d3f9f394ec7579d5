#include "wayland_desktop.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

constexpr uid_t kNobody = 65534;
const char* const kBackendName = "org.freedesktop.impl.portal.desktop.pelimartest";

bool Exists(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0;
}

// Polls until ready() or the time is out; says what did not come.
template <typename TReady>
void WaitFor(const std::string& what, TReady ready) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end)
      throw std::runtime_error("the test desktop: " + what + " did not come");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether process pid lives in the desktop: its environment names our
// runtime folder. Catches what the bus started on its own.
bool InDesktop(pid_t pid, const std::string& runtime) {
  const std::string environment = Read("/proc/" + std::to_string(pid) + "/environ");
  return environment.find("XDG_RUNTIME_DIR=" + runtime + '\0') != std::string::npos;
}

// A test killed outright leaves its desktop's folder (its processes die
// with it): the next desktop removes those whose owner is gone.
void RemoveAbandonedDesktops() {
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    const std::string path = entry.path();
    if (entry.path().filename().string().rfind("pelimar-desktop.", 0) != 0) continue;
    const pid_t owner = static_cast<pid_t>(std::atoi(Read(path + "/owner").c_str()));
    // A zombie counts as gone: it may wait a while for whoever reaps it.
    const std::string status = Read("/proc/" + std::to_string(owner) + "/status");
    if (owner <= 0 || (!status.empty() && status.find("State:\tZ") == std::string::npos)) continue;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

}  // namespace

TWaylandDesktop::TWaylandDesktop(const std::vector<std::string>& monitors, int scale, TKind kind)
    : FScale(scale), FKind(kind) {
  RemoveAbandonedDesktops();
  char root[] = "/tmp/pelimar-desktop.XXXXXX";
  if (!mkdtemp(root)) throw std::runtime_error("no folder for the test desktop");
  FRoot = root;
  std::ofstream(FRoot + "/owner") << getpid();
  chmod(FRoot.c_str(), 0711);  // nobody must reach the runtime folder inside
  FRuntime = FRoot + "/runtime";
  try {
    mkdir(FRuntime.c_str(), 0700);
    if (chown(FRuntime.c_str(), kNobody, kNobody) != 0)
      throw std::runtime_error("cannot hand the runtime folder on");
    const std::string home = FRoot + "/home";
    mkdir(home.c_str(), 0700);
    mkdir((FRoot + "/portals").c_str(), 0755);
    std::ostringstream layout;
    int x = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
      layout << (i ? "," : "") << monitors[i] << "+" << x << "+0";
      x += (i == 0 ? std::stoi(monitors[i]) / scale : std::stoi(monitors[i]));
    }
    FMonitors = layout.str();

    // Whatever the bus starts later inherits this environment.
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", FRuntime.c_str(), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
      setenv(name, (home + "/" + name).c_str(), 1);
    setenv("XDG_DESKTOP_PORTAL_DIR", (FRoot + "/portals").c_str(), 1);
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + FRuntime + "/bus").c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "PIPEWIRE_REMOTE"}) unsetenv(name);
    if (kind == TKind::Sway) {
      // The portal takes the backend named for our desktop, and only ours.
      std::ofstream(FRoot + "/portals/pelimartest.portal")
          << "[portal]\nDBusName=" << kBackendName
          << "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;org.freedesktop.impl.portal.GlobalShortcuts;\n"
             "UseIn=pelimartest\n";
      setenv("XDG_CURRENT_DESKTOP", "pelimartest", 1);
      // A bus that starts the portal's permission store (where restore
      // tokens live) on demand, but no portal of its own: the test decides
      // when there is one. Without the document portal nothing is mounted.
      StartBus({"org.freedesktop.impl.portal.PermissionStore"});
      StartSway(monitors);
      // Before any program: one that starts first sees the pointer late.
      StartPointer();
      StartPipeWire(false);
    } else {
      // GNOME's own backend, and another desktop's that has the global
      // shortcuts GNOME 43 lacks but cannot work here: the portal falls
      // back to it, as on a machine with both installed.
      std::filesystem::copy_file("/usr/share/xdg-desktop-portal/portals/gnome.portal", FRoot + "/portals/gnome.portal");
      std::ofstream(FRoot + "/portals/pelimarother.portal")
          << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.pelimarother\n"
             "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=pelimarother\n";
      setenv("XDG_CURRENT_DESKTOP", "GNOME", 1);
      // GNOME's share dialog comes from its portal backend, which the bus
      // starts with this environment.
      setenv("WAYLAND_DISPLAY", "pelimar-gnome", 1);
      StartBus({"org.freedesktop.impl.portal.PermissionStore", "org.freedesktop.impl.portal.desktop.gnome",
                "ca.desrt.dconf"});
      StartGnome(monitors.at(0));
      StartPipeWire(true);
      StartGnomeInput();
    }
    StartCast();
  } catch (...) {
    Release();
    throw;
  }
}

void TWaylandDesktop::StartBus(const std::vector<std::string>& services) {
  const std::string folder = FRoot + "/services";
  mkdir(folder.c_str(), 0755);
  for (const std::string& name : services)
    std::filesystem::copy_file("/usr/share/dbus-1/services/" + name + ".service", folder + "/" + name + ".service");
  // GNOME's own processes run as nobody and take part.
  auto config = [&](const char* type, const std::string& socket, const std::string& serviceFolder) {
    std::ofstream(FRoot + "/" + type + ".conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>"
        << type << "</type><listen>unix:path=" << socket << "</listen>"
        << (serviceFolder.empty() ? "" : "<servicedir>" + serviceFolder + "</servicedir>")
        << "<policy context=\"default\"><allow user=\"*\"/><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    return Spawn({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + FRoot + "/" + type + ".conf"}, type);
  };
  FBus = config("session", FRuntime + "/bus", folder);
  WaitFor("the session bus", [&] { return Exists(FRuntime + "/bus"); });
  if (FKind != TKind::Gnome) return;
  // GNOME Shell will not run without a system bus; an empty one will do.
  FSystemBus = config("system", FRuntime + "/system_bus", "");
  WaitFor("the system bus", [&] { return Exists(FRuntime + "/system_bus"); });
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + FRuntime + "/system_bus").c_str(), 1);
}

void TWaylandDesktop::StartSway(const std::vector<std::string>& monitors) {
  std::ostringstream config;
  config << "xwayland disable\n";
  int x = 0;
  for (size_t i = 0; i < monitors.size(); ++i) {
    config << "output HEADLESS-" << i + 1 << " mode " << monitors[i] << " position " << x << " 0"
           << (i == 0 && FScale != 1 ? " scale " + std::to_string(FScale) : "") << "\n";
    x += (i == 0 ? std::stoi(monitors[i]) / FScale : std::stoi(monitors[i]));
  }
  std::ofstream(FRoot + "/sway.conf") << config.str();
  chmod((FRoot + "/sway.conf").c_str(), 0644);
  setenv("WLR_BACKENDS", "headless", 1);
  setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
  setenv("WLR_RENDERER", "pixman", 1);
  const auto started = std::chrono::steady_clock::now();
  FSway = Spawn({"sway", "-c", FRoot + "/sway.conf"}, "sway", true);
  // Its sockets: the display's and the one swaymsg talks to.
  WaitFor("sway", [&] {
    for (const auto& entry : std::filesystem::directory_iterator(FRuntime)) {
      const std::string name = entry.path().filename();
      if (name.starts_with("sway-ipc.")) setenv("SWAYSOCK", entry.path().c_str(), 1);
      if (name.starts_with("wayland-") && !name.ends_with(".lock")) setenv("WAYLAND_DISPLAY", name.c_str(), 1);
    }
    return getenv("SWAYSOCK") && getenv("WAYLAND_DISPLAY") && !Run("swaymsg -t get_version").empty();
  });
  FStartSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (size_t i = 1; i < monitors.size(); ++i) Run("swaymsg create_output");
}

void TWaylandDesktop::StartGnome(const std::string& monitor) {
  // Its own home, where it keeps what it keeps; the rest it shares with us.
  const std::string home = FRoot + "/shell-home";
  mkdir(home.c_str(), 0700);
  if (chown(home.c_str(), kNobody, kNobody) != 0) throw std::runtime_error("cannot hand GNOME its home");
  FShellEnv = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/data", "XDG_CONFIG_HOME=" + home + "/config",
               "XDG_CACHE_HOME=" + home + "/cache", "XDG_STATE_HOME=" + home + "/state",
               "GSETTINGS_BACKEND=keyfile"};
  // Its settings from a file of ours: no banners, which a new session greets with and which would stay
  // on the screen while nobody moves.
  const std::string settings = home + "/config/glib-2.0/settings";
  std::filesystem::create_directories(settings);
  std::ofstream(settings + "/keyfile") << "[org/gnome/desktop/notifications]\nshow-banners=false\n";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
    if (lchown(entry.path().c_str(), kNobody, kNobody) != 0) throw std::runtime_error("cannot hand GNOME its settings");
  // Screenshots are written by the Shell, as nobody.
  mkdir((FRoot + "/shots").c_str(), 0777);
  chmod((FRoot + "/shots").c_str(), 0777);
  const auto started = std::chrono::steady_clock::now();
  FShell = Spawn({"gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display=pelimar-gnome",
                  "--virtual-monitor", monitor},
                 "gnome-shell", true, FShellEnv);
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) throw std::runtime_error("the test desktop has no bus");
  WaitFor("GNOME Shell", [&] {
    char* version = nullptr;
    const bool up = sd_bus_get_property_string(bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                                               "ShellVersion", nullptr, &version) >= 0;
    std::free(version);
    return up;
  });
  FStartSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // It opens the overview once its start animation is over, a moment later: out of it, and staying out.
  auto overview = [&] {
    int active = 0;
    sd_bus_get_property_trivial(bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "OverviewActive",
                                nullptr, 'b', &active);
    if (active)
      sd_bus_set_property(bus, "org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "OverviewActive", nullptr,
                          "b", 0);
    return active != 0;
  };
  auto closed = std::chrono::steady_clock::now();
  WaitFor("GNOME Shell's overview to stay closed", [&] {
    if (overview()) closed = std::chrono::steady_clock::now();
    return std::chrono::steady_clock::now() - closed > std::chrono::seconds(1);
  });
  sd_bus_flush_close_unref(bus);
}

void TWaylandDesktop::StartPipeWire(bool asNobody) {
  FPipeWire = Spawn({"pipewire"}, "pipewire", asNobody, FShellEnv);
  WaitFor("PipeWire", [&] { return Exists(FRuntime + "/pipewire-0"); });
  FWirePlumber = Spawn({"wireplumber"}, "wireplumber", asNobody, FShellEnv);
  // WirePlumber is ready once its policy has made the default metadata.
  WaitFor("WirePlumber", [&] { return Run("pw-cli ls Metadata").find("\"default\"") != std::string::npos; });
}

TWaylandDesktop::~TWaylandDesktop() {
  Release();
}

void TWaylandDesktop::Release() {
  if (FPointerIn) fclose(FPointerIn);  // the tool ends with its input
  if (FPointerOut) fclose(FPointerOut);
  FPointerIn = FPointerOut = nullptr;
  Stop(FPointerTool);
  for (pid_t* pid : {&FPortal, &FBackend, &FWirePlumber, &FPipeWire, &FSway, &FShell}) Stop(*pid);
  // And whatever the bus started for the portal.
  if (!FRuntime.empty())
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
      if (pid > 0 && pid != getpid() && InDesktop(pid, FRuntime)) kill(pid, SIGKILL);
    }
  Stop(FBus);
  Stop(FSystemBus);
  if (!FRoot.empty()) std::filesystem::remove_all(FRoot);
  FRoot.clear();
  FRuntime.clear();
}

pid_t TWaylandDesktop::Spawn(const std::vector<std::string>& args, const std::string& log, bool asNobody,
                             const std::vector<std::string>& env) {
  const std::string logPath = FRoot + "/" + log + ".log";
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(out, 2);
    for (const std::string& variable : env) putenv(const_cast<char*>(variable.c_str()));
    // sway will not run as root.
    if (asNobody && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                     setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(126);
    // Never outlive the test, whatever ends it; after the change of user,
    // which would clear it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

void TWaylandDesktop::Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

void TWaylandDesktop::WaitForBusName(const std::string& name) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) throw std::runtime_error("the test desktop has no bus");
  WaitFor(name, [&] {
    int owned = 0;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", nullptr, &reply, "s", name.c_str()) >= 0)
      sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    return owned != 0;
  });
  sd_bus_flush_close_unref(bus);
}

void TWaylandDesktop::StartCast(const std::vector<std::string>& backendOptions) {
  StopCast();
  if (FKind == TKind::Sway) {
    std::vector<std::string> args = {PELIMAR_SCREENCAST_BACKEND, "--monitors=" + FMonitors};
    args.insert(args.end(), backendOptions.begin(), backendOptions.end());
    // The portal reads what the backend offers once, when it starts: the
    // backend comes first.
    FBackend = Spawn(args, "backend");
    WaitForBusName(kBackendName);
  }
  FPortal = Spawn({"/usr/libexec/xdg-desktop-portal"}, "portal");
  WaitForBusName("org.freedesktop.portal.Desktop");
}

void TWaylandDesktop::StopCast() {
  Stop(FPortal);
  Stop(FBackend);
}

void TWaylandDesktop::EndCasts() const {
  if (FBackend > 0) kill(FBackend, SIGUSR1);
}

std::string TWaylandDesktop::BackendLog() const {
  return Read(FRoot + "/backend.log");
}

void TWaylandDesktop::StartPointer() {
  // The grid is the layout's logical size, in which the scaled first
  // monitor's real pixels count 1 / scale each.
  int width = 0, height = 0;
  std::istringstream monitors(FMonitors);
  std::string monitor;
  for (bool first = true; std::getline(monitors, monitor, ','); first = false) {
    const int w = std::stoi(monitor), h = std::stoi(monitor.substr(monitor.find('x') + 1));
    width += first ? w / FScale : w;
    height = std::max(height, first ? h / FScale : h);
  }
  StartTool({PELIMAR_WL_POINTER, std::to_string(width), std::to_string(height)});
}

void TWaylandDesktop::StartGnomeInput() {
  StartTool({PELIMAR_GNOME_INPUT});
}

void TWaylandDesktop::StartTool(const std::vector<std::string>& args) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("no pipe for the pointer");
  const pid_t parent = getpid();
  FPointerTool = fork();
  if (FPointerTool == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(in[0], 0);
    dup2(out[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  FPointerIn = fdopen(in[1], "w");
  FPointerOut = fdopen(out[0], "r");
  WaitForPointerLine("ready");
}

void TWaylandDesktop::WaitForPointerLine(const std::string& expected) const {
  char line[512];
  std::string said;
  while (std::fgets(line, sizeof line, FPointerOut)) {
    if (std::string(line) == expected + "\n") return;
    said += line;
  }
  throw std::runtime_error("the pointer tool ended before \"" + expected + "\": " + said);
}

void TWaylandDesktop::Pointer(const std::string& script) const {
  std::istringstream commands(script);
  std::string command;
  while (std::getline(commands, command, ';')) {
    std::istringstream words(command);
    std::string verb;
    int x = 0, y = 0;
    words >> verb;
    // Real pixels of the scaled first monitor become its logical ones.
    if (verb == "move" && words >> x >> y)
      std::fprintf(FPointerIn, "move %d %d\n", x / FScale, y / FScale);
    else if (!verb.empty())
      std::fprintf(FPointerIn, "%s\n", command.substr(command.find(verb)).c_str());
  }
  Mark();
}

void TWaylandDesktop::Mark() const {
  static int marks = 0;
  const std::string mark = "done" + std::to_string(++marks);
  std::fprintf(FPointerIn, "mark %s\n", mark.c_str());
  std::fflush(FPointerIn);
  WaitForPointerLine(mark);
}

std::string TWaylandDesktop::Screenshot(int x, int y, int w, int h) const {
  static int shots = 0;
  const std::string path = FRoot + "/shots/shot" + std::to_string(++shots) + ".png";
  if (w > 0)
    std::fprintf(FPointerIn, "shot %d %d %d %d %s\n", x, y, w, h, path.c_str());
  else
    std::fprintf(FPointerIn, "screen %s\n", path.c_str());
  Mark();
  return path;
}

std::string TWaylandDesktop::Run(const std::string& command) const {
  // What a failed command printed is its answer; the test judges it.
  return RunCommand("{ " + command + "; } 2>&1; true");
}
