#include "platform/wayland/screencast_portal.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/exception.h"

namespace {

const char* const kPortal = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";
const char* const kScreenCast = "org.freedesktop.portal.ScreenCast";
const char* const kNoService = "The desktop offers no screen-cast service (xdg-desktop-portal ScreenCast)";

void Check(int result, const char* what) {
  if (result < 0)
    throw Exception(std::string("The screen cast failed (") + what + "): " + std::strerror(-result));
}

// Frees an sd-bus message when it goes.
struct TMessage {
  sd_bus_message* M = nullptr;
  ~TMessage() { sd_bus_message_unref(M); }
};

void AppendUint(sd_bus_message* m, const char* key, uint32_t value) { AppendPortalOption(m, key, "u", &value); }

void AppendBool(sd_bus_message* m, const char* key, bool value) {
  const int v = value ? 1 : 0;
  AppendPortalOption(m, key, "b", &v);
}

// Reads one stream's properties: a{sv} with position (ii) among them.
TCastStream ReadStream(sd_bus_message* m) {
  TCastStream stream;
  Check(sd_bus_message_enter_container(m, 'r', "ua{sv}"), "streams");
  Check(sd_bus_message_read(m, "u", &stream.NodeId), "streams");
  Check(sd_bus_message_enter_container(m, 'a', "{sv}"), "streams");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    Check(sd_bus_message_read(m, "s", &key), "streams");
    if (std::strcmp(key, "position") == 0 && sd_bus_message_enter_container(m, 'v', "(ii)") > 0) {
      Check(sd_bus_message_read(m, "(ii)", &stream.X, &stream.Y), "streams");
      Check(sd_bus_message_exit_container(m), "streams");
      stream.HasPosition = true;
    } else {
      Check(sd_bus_message_skip(m, "v"), "streams");
    }
    Check(sd_bus_message_exit_container(m), "streams");
  }
  Check(sd_bus_message_exit_container(m), "streams");
  Check(sd_bus_message_exit_container(m), "streams");
  return stream;
}

}  // namespace

TScreenCastPortal::TScreenCastPortal() : TPortalClient(kScreenCast, kNoService, "The screen cast failed") {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_get_property_trivial(FBus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes", &error,
                                  'u', &FCursorModes) < 0)
    FCursorModes = kCursorHidden | kCursorEmbedded;  // what every version offers
  sd_bus_error_free(&error);
}

TScreenCastPortal::~TScreenCastPortal() { Close(); }

bool TScreenCastPortal::Start(uint32_t cursorMode, std::string& restoreToken,
                              const std::function<void()>& idle) {
  Close();
  FStreams.clear();
  FClosed = false;

  uint32_t response = CreateSession(idle, FSession);
  if (response == kPortalCancelled) return false;
  if (response != kPortalSuccess) throw Exception("The desktop refused to start a screen cast");
  if (FSession.empty()) throw Exception("The desktop's screen-cast service gave no session");
  // The desktop ends the session with this signal: the user stopped the
  // sharing, or the desktop went.
  Check(sd_bus_match_signal(
            FBus, &FClosedSlot, kPortal, FSession.c_str(), "org.freedesktop.portal.Session", "Closed",
            [](sd_bus_message*, void* self, sd_bus_error*) {
              static_cast<TScreenCastPortal*>(self)->FClosed = true;
              return 0;
            },
            this),
        "listen");

  std::string token = NewToken();
  response = Request(
      "SelectSources",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_append(m, "o", FSession.c_str()), "options");
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendPortalString(m, "handle_token", token);
        AppendUint(m, "types", 1);  // monitors
        AppendBool(m, "multiple", true);
        if (FVersion >= 2 && (FCursorModes & cursorMode) != 0) AppendUint(m, "cursor_mode", cursorMode);
        if (FVersion >= 4) {
          AppendUint(m, "persist_mode", 2);  // until the user revokes it
          if (!restoreToken.empty()) AppendPortalString(m, "restore_token", restoreToken);
        }
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response == kPortalCancelled) return false;
  if (response != kPortalSuccess) throw Exception("The desktop refused the screens asked for");

  token = NewToken();
  response = Request(
      "Start",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_append(m, "os", FSession.c_str(), ""), "options");
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendPortalString(m, "handle_token", token);
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response == kPortalCancelled) return false;
  if (response != kPortalSuccess) throw Exception("The desktop could not start the screen cast");
  Check(sd_bus_message_enter_container(FResponse, 'a', "{sv}"), "Start");
  while (sd_bus_message_enter_container(FResponse, 'e', "sv") > 0) {
    const char* key = nullptr;
    Check(sd_bus_message_read(FResponse, "s", &key), "Start");
    if (std::strcmp(key, "streams") == 0) {
      Check(sd_bus_message_enter_container(FResponse, 'v', "a(ua{sv})"), "Start");
      Check(sd_bus_message_enter_container(FResponse, 'a', "(ua{sv})"), "Start");
      while (sd_bus_message_at_end(FResponse, false) == 0) FStreams.push_back(ReadStream(FResponse));
      Check(sd_bus_message_exit_container(FResponse), "Start");
      Check(sd_bus_message_exit_container(FResponse), "Start");
    } else if (std::strcmp(key, "restore_token") == 0) {
      const char* text = nullptr;
      Check(sd_bus_message_read(FResponse, "v", "s", &text), "Start");
      restoreToken = text;
    } else {
      Check(sd_bus_message_skip(FResponse, "v"), "Start");
    }
    Check(sd_bus_message_exit_container(FResponse), "Start");
  }
  if (FStreams.empty()) throw Exception("The desktop shares no screen");
  return true;
}

int TScreenCastPortal::OpenPipeWireRemote() {
  TMessage reply;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_call_method(FBus, kPortal, kPortalPath, kScreenCast, "OpenPipeWireRemote", &error, &reply.M,
                         "oa{sv}", FSession.c_str(), 0) < 0) {
    const std::string text = error.message ? error.message : "no answer";
    sd_bus_error_free(&error);
    throw Exception("The desktop gives no way to its screen cast: " + text);
  }
  int fd = -1;
  Check(sd_bus_message_read(reply.M, "h", &fd), "OpenPipeWireRemote");
  // The descriptor belongs to the message.
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) Check(-errno, "OpenPipeWireRemote");
  return own;
}

bool TScreenCastPortal::Closed() {
  if (FSession.empty()) return true;
  while (!FClosed) {
    const int processed = sd_bus_process(FBus, nullptr);
    if (processed < 0) FClosed = true;  // the bus went, and the session with it
    if (processed <= 0) break;
  }
  return FClosed;
}

void TScreenCastPortal::Close() {
  FClosedSlot = sd_bus_slot_unref(FClosedSlot);
  if (FSession.empty()) return;
  if (!FClosed)
    sd_bus_call_method(FBus, kPortal, FSession.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                       nullptr, "");
  FSession.clear();
}
