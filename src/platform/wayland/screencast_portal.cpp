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

// The portal's response codes.
enum : uint32_t { kResponseSuccess = 0, kResponseCancelled = 1 };

// Throws when an sd-bus call failed; what names the step.
void Check(int result, const char* what) {
  if (result < 0)
    throw Exception(std::string("The screen cast failed (") + what + "): " + std::strerror(-result));
}

// Frees an sd-bus message when it goes.
struct TMessage {
  sd_bus_message* M = nullptr;
  ~TMessage() { sd_bus_message_unref(M); }
};

void AppendOption(sd_bus_message* m, const char* key, const char* type, const void* value) {
  Check(sd_bus_message_open_container(m, 'e', "sv"), "options");
  Check(sd_bus_message_append(m, "s", key), "options");
  Check(sd_bus_message_open_container(m, 'v', type), "options");
  Check(sd_bus_message_append_basic(m, type[0], value), "options");
  Check(sd_bus_message_close_container(m), "options");
  Check(sd_bus_message_close_container(m), "options");
}

void AppendString(sd_bus_message* m, const char* key, const std::string& value) {
  AppendOption(m, key, "s", value.c_str());
}

void AppendUint(sd_bus_message* m, const char* key, uint32_t value) {
  AppendOption(m, key, "u", &value);
}

void AppendBool(sd_bus_message* m, const char* key, bool value) {
  const int v = value ? 1 : 0;
  AppendOption(m, key, "b", &v);
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

TScreenCastPortal::TScreenCastPortal() {
  if (sd_bus_open_user(&FBus) < 0) throw Exception(kNoService);
  const char* unique = nullptr;
  Check(sd_bus_get_unique_name(FBus, &unique), "bus name");
  // ":1.42" becomes "1_42" in the paths of our requests.
  FSender = unique + 1;
  for (char& c : FSender)
    if (c == '.') c = '_';
  sd_bus_error error = SD_BUS_ERROR_NULL;
  // The version tells which options are understood; a desktop without the
  // interface answers with an error.
  if (sd_bus_get_property_trivial(FBus, kPortal, kPortalPath, kScreenCast, "version", &error, 'u',
                                  &FVersion) < 0) {
    sd_bus_error_free(&error);
    sd_bus_unref(FBus);
    throw Exception(kNoService);
  }
  if (sd_bus_get_property_trivial(FBus, kPortal, kPortalPath, kScreenCast, "AvailableCursorModes", &error,
                                  'u', &FCursorModes) < 0)
    FCursorModes = kCursorHidden | kCursorEmbedded;  // what every version offers
  sd_bus_error_free(&error);
}

TScreenCastPortal::~TScreenCastPortal() {
  Close();
  sd_bus_flush_close_unref(FBus);
}

std::string TScreenCastPortal::NewToken() {
  return "pelimar" + std::to_string(getpid()) + "_" + std::to_string(++FTokens);
}

uint32_t TScreenCastPortal::Request(const std::string& method,
                                    const std::function<void(sd_bus_message*)>& appendArgs,
                                    const std::string& token, const std::function<void()>& idle) {
  // The answer comes as a signal on a path made of our name and the token;
  // listening starts before the call so it cannot be missed.
  const std::string path = "/org/freedesktop/portal/desktop/request/" + FSender + "/" + token;
  sd_bus_message_unref(FResponse);
  FResponse = nullptr;
  sd_bus_slot* slot = nullptr;
  Check(sd_bus_match_signal(
            FBus, &slot, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Response",
            [](sd_bus_message* m, void* self, sd_bus_error*) {
              static_cast<TScreenCastPortal*>(self)->FResponse = sd_bus_message_ref(m);
              return 0;
            },
            this),
        "listen");
  struct TSlot {
    sd_bus_slot* S;
    ~TSlot() { sd_bus_slot_unref(S); }
  } slotGuard{slot};

  TMessage call, reply;
  Check(sd_bus_message_new_method_call(FBus, &call.M, kPortal, kPortalPath, kScreenCast, method.c_str()),
        "call");
  appendArgs(call.M);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_call(FBus, call.M, 0, &error, &reply.M) < 0) {
    const std::string text = error.message ? error.message : method;
    const bool missing = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT);
    sd_bus_error_free(&error);
    throw Exception(missing ? std::string(kNoService) : "The screen cast failed (" + method + "): " + text);
  }
  // The desktop may take as long as the user takes to choose; but a
  // portal that goes away will never answer.
  bool portalGone = false;
  sd_bus_slot* ownerSlot = nullptr;
  sd_bus_add_match(
      FBus, &ownerSlot,
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'"
      ","
      "arg0='org.freedesktop.portal.Desktop'",
      [](sd_bus_message*, void* gone, sd_bus_error*) {
        *static_cast<bool*>(gone) = true;
        return 0;
      },
      &portalGone);
  TSlot ownerGuard{ownerSlot};
  while (!FResponse) {
    if (portalGone) throw Exception("The desktop's screen-cast service ended before it answered");
    const int processed = sd_bus_process(FBus, nullptr);
    if (processed < 0) throw Exception("The connection to the desktop's screen-cast service was lost");
    if (processed > 0) continue;
    if (idle) idle();
    sd_bus_wait(FBus, 50000);
  }
  uint32_t response = 2;
  Check(sd_bus_message_read(FResponse, "u", &response), method.c_str());
  return response;
}

bool TScreenCastPortal::Start(uint32_t cursorMode, std::string& restoreToken,
                              const std::function<void()>& idle) {
  Close();
  FStreams.clear();
  FClosed = false;

  const std::string sessionToken = NewToken();
  std::string token = NewToken();
  uint32_t response = Request(
      "CreateSession",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendString(m, "handle_token", token);
        AppendString(m, "session_handle_token", sessionToken);
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response == kResponseCancelled) return false;
  if (response != kResponseSuccess) throw Exception("The desktop refused to start a screen cast");
  Check(sd_bus_message_enter_container(FResponse, 'a', "{sv}"), "CreateSession");
  while (sd_bus_message_enter_container(FResponse, 'e', "sv") > 0) {
    const char* key = nullptr;
    Check(sd_bus_message_read(FResponse, "s", &key), "CreateSession");
    const char* handle = nullptr;
    // A string in the portal's own interface, an object path in some.
    if (std::strcmp(key, "session_handle") == 0 && (sd_bus_message_read(FResponse, "v", "s", &handle) >= 0 ||
                                                    sd_bus_message_read(FResponse, "v", "o", &handle) >= 0))
      FSession = handle;
    else
      Check(sd_bus_message_skip(FResponse, "v"), "CreateSession");
    Check(sd_bus_message_exit_container(FResponse), "CreateSession");
  }
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

  token = NewToken();
  response = Request(
      "SelectSources",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_append(m, "o", FSession.c_str()), "options");
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendString(m, "handle_token", token);
        AppendUint(m, "types", 1);  // monitors
        AppendBool(m, "multiple", true);
        if (FVersion >= 2 && (FCursorModes & cursorMode) != 0) AppendUint(m, "cursor_mode", cursorMode);
        if (FVersion >= 4) {
          AppendUint(m, "persist_mode", 2);  // until the user revokes it
          if (!restoreToken.empty()) AppendString(m, "restore_token", restoreToken);
        }
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response == kResponseCancelled) return false;
  if (response != kResponseSuccess) throw Exception("The desktop refused the screens asked for");

  token = NewToken();
  response = Request(
      "Start",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_append(m, "os", FSession.c_str(), ""), "options");
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendString(m, "handle_token", token);
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response == kResponseCancelled) return false;
  if (response != kResponseSuccess) throw Exception("The desktop could not start the screen cast");
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
  sd_bus_message_unref(FResponse);
  FResponse = nullptr;
  FClosedSlot = sd_bus_slot_unref(FClosedSlot);
  if (FSession.empty()) return;
  if (!FClosed)
    sd_bus_call_method(FBus, kPortal, FSession.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                       nullptr, "");
  FSession.clear();
}
