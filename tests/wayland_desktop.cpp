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

TWaylandDesktop::TWaylandDesktop(const std::vector<std::string>& monitors, int scale) : FScale(scale) {
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
    // The portal takes the backend named for our desktop, and only ours.
    std::ofstream(FRoot + "/portals/pelimartest.portal")
        << "[portal]\nDBusName=" << kBackendName
        << "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=pelimartest\n";
    std::ostringstream config, layout;
    config << "xwayland disable\n";
    int x = 0;
    for (size_t i = 0; i < monitors.size(); ++i) {
      const int width = std::stoi(monitors[i]);
      config << "output HEADLESS-" << i + 1 << " mode " << monitors[i] << " position " << x << " 0"
             << (i == 0 && scale != 1 ? " scale " + std::to_string(scale) : "") << "\n";
      layout << (i ? "," : "") << monitors[i] << "+" << x << "+0";
      x += (i == 0 ? width / scale : width);
    }
    FMonitors = layout.str();
    std::ofstream(FRoot + "/sway.conf") << config.str();
    chmod((FRoot + "/sway.conf").c_str(), 0644);

    // Whatever the bus starts later inherits this environment.
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", FRuntime.c_str(), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME"})
      setenv(name, (home + "/" + name).c_str(), 1);
    setenv("XDG_CURRENT_DESKTOP", "pelimartest", 1);
    setenv("XDG_DESKTOP_PORTAL_DIR", (FRoot + "/portals").c_str(), 1);
    setenv("XDG_SESSION_TYPE", "wayland", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + FRuntime + "/bus").c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "PIPEWIRE_REMOTE"}) unsetenv(name);

    // A bus that starts the portal's permission store (where restore tokens
    // live) on demand, but no portal of its own: the test decides when there
    // is one. Without the document portal nothing is mounted.
    const std::string services = FRoot + "/services";
    mkdir(services.c_str(), 0755);
    for (const char* name : {"org.freedesktop.impl.portal.PermissionStore"})
      std::filesystem::copy_file(std::string("/usr/share/dbus-1/services/") + name + ".service",
                                 services + "/" + name + ".service");
    std::ofstream(FRoot + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << FRuntime << "/bus</listen><servicedir>" << services
        << "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    FBus = Spawn({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + FRoot + "/bus.conf"}, "bus");
    WaitFor("the session bus", [&] { return Exists(FRuntime + "/bus"); });
    setenv("WLR_BACKENDS", "headless", 1);
    setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
    setenv("WLR_RENDERER", "pixman", 1);
    FSway = Spawn({"sway", "-c", FRoot + "/sway.conf"}, "sway", true);
    // Its sockets: the display's and the one swaymsg talks to.
    WaitFor("sway", [&] {
      for (const auto& entry : std::filesystem::directory_iterator(FRuntime)) {
        const std::string name = entry.path().filename();
        if (name.starts_with("sway-ipc.")) setenv("SWAYSOCK", entry.path().c_str(), 1);
        if (name.starts_with("wayland-") && !name.ends_with(".lock"))
          setenv("WAYLAND_DISPLAY", name.c_str(), 1);
      }
      return getenv("SWAYSOCK") && getenv("WAYLAND_DISPLAY") && !Run("swaymsg -t get_version").empty();
    });
    for (size_t i = 1; i < monitors.size(); ++i) Run("swaymsg create_output");
    // Before any program: one that starts first sees the pointer late.
    StartPointer();
    FPipeWire = Spawn({"pipewire"}, "pipewire");
    WaitFor("PipeWire", [&] { return Exists(FRuntime + "/pipewire-0"); });
    FWirePlumber = Spawn({"wireplumber"}, "wireplumber");
    // WirePlumber is ready once its policy has made the default metadata.
    WaitFor("WirePlumber",
            [&] { return Run("pw-cli ls Metadata").find("\"default\"") != std::string::npos; });
    StartCast();
  } catch (...) {
    Release();
    throw;
  }
}

TWaylandDesktop::~TWaylandDesktop() {
  Release();
}

void TWaylandDesktop::Release() {
  if (FPointerIn) fclose(FPointerIn);  // the tool ends with its input
  if (FPointerOut) fclose(FPointerOut);
  FPointerIn = FPointerOut = nullptr;
  Stop(FPointerTool);
  for (pid_t* pid : {&FPortal, &FBackend, &FWirePlumber, &FPipeWire, &FSway}) Stop(*pid);
  // And whatever the bus started for the portal.
  if (!FRuntime.empty())
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const pid_t pid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
      if (pid > 0 && pid != getpid() && InDesktop(pid, FRuntime)) kill(pid, SIGKILL);
    }
  Stop(FBus);
  if (!FRoot.empty()) std::filesystem::remove_all(FRoot);
  FRoot.clear();
  FRuntime.clear();
}

pid_t TWaylandDesktop::Spawn(const std::vector<std::string>& args, const std::string& log, bool asNobody) {
  const std::string logPath = FRoot + "/" + log + ".log";
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    dup2(out, 2);
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
  std::vector<std::string> args = {PELIMAR_SCREENCAST_BACKEND, "--monitors=" + FMonitors};
  args.insert(args.end(), backendOptions.begin(), backendOptions.end());
  // The portal reads what the backend offers once, when it starts: the
  // backend comes first.
  FBackend = Spawn(args, "backend");
  WaitForBusName(kBackendName);
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
    execl(PELIMAR_WL_POINTER, PELIMAR_WL_POINTER, std::to_string(width).c_str(),
          std::to_string(height).c_str(), nullptr);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  FPointerIn = fdopen(in[1], "w");
  FPointerOut = fdopen(out[0], "r");
  WaitForPointerLine("ready");
}

void TWaylandDesktop::WaitForPointerLine(const std::string& expected) const {
  char line[256];
  while (std::fgets(line, sizeof line, FPointerOut))
    if (std::string(line) == expected + "\n") return;
  throw std::runtime_error("the pointer tool ended before \"" + expected + "\"");
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
      std::fprintf(FPointerIn, "%s\n", verb.c_str());
  }
  static int marks = 0;
  const std::string mark = "done" + std::to_string(++marks);
  std::fprintf(FPointerIn, "mark %s\n", mark.c_str());
  std::fflush(FPointerIn);
  WaitForPointerLine(mark);
}

std::string TWaylandDesktop::Run(const std::string& command) const {
  // What a failed command printed is its answer; the test judges it.
  return RunCommand("{ " + command + "; } 2>&1; true");
}
