// Drives a GNOME Shell desktop the way a user does, and looks at it, for the tests: the pointer and the
// keys through Mutter's RemoteDesktop interface, screenshots through the Shell's Screenshot interface. A
// headless GNOME has no input devices, and the Shell answers screenshots only to a few callers, among them
// whoever owns org.gnome.Screenshot, which this tool takes.
//
// gnome_input (on the desktop's session bus): commands come on standard input, a line at a time:
// "move X Y" (absolute, in the monitor's pixels), "down", "up" (the left button), "key NAME" (pressed and
// let go; NAME is one of the names below or a keysym in hex, "0xffc6"; "ctrl+shift+F9" holds the
// modifiers), "shot X Y W H FILE" (a PNG of that area, without the pointer), "screen FILE" (the whole
// screen, with the pointer), "mark TEXT" (prints TEXT once everything before it is done). It prints "ready"
// once its remote-desktop session runs, and "failed: ..." for a command that did not work.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
const char* const kScreenCast = "org.gnome.Mutter.ScreenCast";

sd_bus* Bus = nullptr;
std::string Session;  // the remote-desktop session's object path
std::string Stream;   // the monitor's stream, which absolute positions refer to

// Calls a method; false, with what went wrong printed, when it failed.
template <typename... TArgs>
bool Call(const char* service, const std::string& path, const char* interface, const char* method,
          sd_bus_message** reply, const char* types, TArgs... args) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int result = sd_bus_call_method(Bus, service, path.c_str(), interface, method, &error, reply, types, args...);
  if (result < 0) {
    std::printf("failed: %s: %s\n", method, error.message ? error.message : std::strerror(-result));
    std::fflush(stdout);
  }
  sd_bus_error_free(&error);
  return result >= 0;
}

std::string ReadPath(sd_bus_message* reply) {
  const char* path = nullptr;
  const std::string read = sd_bus_message_read(reply, "o", &path) >= 0 && path ? path : "";
  sd_bus_message_unref(reply);
  return read;
}

bool StartSession() {
  sd_bus_message* reply = nullptr;
  if (!Call(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop, "CreateSession", &reply, ""))
    return false;
  Session = ReadPath(reply);
  char* id = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_get_property_string(Bus, kRemoteDesktop, Session.c_str(), "org.gnome.Mutter.RemoteDesktop.Session",
                                 "SessionId", &error, &id) < 0) {
    sd_bus_error_free(&error);
    std::printf("failed: SessionId\n");
    return false;
  }
  // Absolute positions need a stream of the monitor, in a screen-cast session tied to this one.
  reply = nullptr;
  const bool cast = Call(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, "CreateSession", &reply,
                         "a{sv}", 1, "remote-desktop-session-id", "s", id);
  std::free(id);
  if (!cast) return false;
  const std::string castSession = ReadPath(reply);
  reply = nullptr;
  if (!Call(kScreenCast, castSession, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor", &reply, "sa{sv}",
            "", 0))
    return false;
  Stream = ReadPath(reply);
  return Call(kRemoteDesktop, Session, "org.gnome.Mutter.RemoteDesktop.Session", "Start", nullptr, "");
}

uint32_t Keysym(const std::string& name) {
  static const std::pair<const char*, uint32_t> kNames[] = {
      {"Escape", 0xff1b}, {"Tab", 0xff09},       {"Return", 0xff0d},    {"space", 0x20},   {"Left", 0xff51},
      {"Right", 0xff53},  {"Up", 0xff52},        {"Down", 0xff54},      {"ctrl", 0xffe3},  {"shift", 0xffe1},
      {"alt", 0xffe9},    {"super", 0xffeb},     {"F9", 0xffc6},        {"F10", 0xffc7},   {"a", 0x61}};
  for (const auto& [known, keysym] : kNames)
    if (name == known) return keysym;
  return static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 16));
}

bool Key(const std::string& combination) {
  std::vector<uint32_t> keys;
  std::istringstream parts(combination);
  for (std::string part; std::getline(parts, part, '+');) keys.push_back(Keysym(part));
  const char* const interface = "org.gnome.Mutter.RemoteDesktop.Session";
  bool ok = true;
  for (uint32_t key : keys) ok = ok && Call(kRemoteDesktop, Session, interface, "NotifyKeyboardKeysym", nullptr, "ub", key, 1);
  for (auto key = keys.rbegin(); key != keys.rend(); ++key)
    ok = Call(kRemoteDesktop, Session, interface, "NotifyKeyboardKeysym", nullptr, "ub", *key, 0) && ok;
  return ok;
}


}  // namespace

int main() {
  if (sd_bus_open_user(&Bus) < 0) {
    std::printf("failed: no session bus\n");
    return 1;
  }
  sd_bus_request_name(Bus, "org.gnome.Screenshot", 0);
  if (!StartSession()) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  const char* const session = "org.gnome.Mutter.RemoteDesktop.Session";
  const char* const shell = "org.gnome.Shell.Screenshot";
  char line[1024];
  while (std::fgets(line, sizeof line, stdin)) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "mark") {
      std::string text;
      words >> text;
      std::printf("%s\n", text.c_str());
    } else if (verb == "move") {
      double x = 0, y = 0;
      words >> x >> y;
      Call(kRemoteDesktop, Session, session, "NotifyPointerMotionAbsolute", nullptr, "sdd", Stream.c_str(), x, y);
    } else if (verb == "down" || verb == "up") {
      Call(kRemoteDesktop, Session, session, "NotifyPointerButton", nullptr, "ib", 0x110, verb == "down" ? 1 : 0);
    } else if (verb == "key") {
      std::string combination;
      words >> combination;
      Key(combination);
    } else if (verb == "shot") {
      int x = 0, y = 0, w = 0, h = 0;
      std::string file;
      words >> x >> y >> w >> h >> file;
      Call(shell, "/org/gnome/Shell/Screenshot", shell, "ScreenshotArea", nullptr, "iiiibs", x, y, w, h, 0,
           file.c_str());
    } else if (verb == "screen") {
      std::string file;
      words >> file;
      Call(shell, "/org/gnome/Shell/Screenshot", shell, "Screenshot", nullptr, "bbs", 1, 0, file.c_str());
    } else if (!verb.empty()) {
      std::printf("failed: unknown command %s\n", verb.c_str());
    }
    std::fflush(stdout);
  }
  Call(kRemoteDesktop, Session, session, "Stop", nullptr, "");
  sd_bus_flush_close_unref(Bus);
  return 0;
}
