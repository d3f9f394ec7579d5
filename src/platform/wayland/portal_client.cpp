#include "platform/wayland/portal_client.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "base/exception.h"

namespace {

const char* const kPortal = "org.freedesktop.portal.Desktop";
const char* const kPortalPath = "/org/freedesktop/portal/desktop";

struct TMessage {
  sd_bus_message* M = nullptr;
  ~TMessage() { sd_bus_message_unref(M); }
};

struct TSlot {
  sd_bus_slot* S = nullptr;
  ~TSlot() { sd_bus_slot_unref(S); }
};

}  // namespace

void AppendPortalOption(sd_bus_message* m, const char* key, const char* type, const void* value) {
  bool ok = sd_bus_message_open_container(m, 'e', "sv") >= 0 && sd_bus_message_append(m, "s", key) >= 0 &&
            sd_bus_message_open_container(m, 'v', type) >= 0 &&
            sd_bus_message_append_basic(m, type[0], value) >= 0 && sd_bus_message_close_container(m) >= 0 &&
            sd_bus_message_close_container(m) >= 0;
  if (!ok) throw Exception(std::string("The desktop's portal call could not be made (") + key + ")");
}

void AppendPortalString(sd_bus_message* m, const char* key, const std::string& value) {
  AppendPortalOption(m, key, "s", value.c_str());
}

TPortalClient::TPortalClient(const char* interface, const char* noService, const char* failure)
    : FInterface(interface), FNoService(noService), FFailure(failure) {
  if (sd_bus_open_user(&FBus) < 0) throw Exception(FNoService);
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(FBus, &unique) < 0) {
    sd_bus_unref(FBus);
    throw Exception(FNoService);
  }
  // ":1.42" becomes "1_42" in the paths of our requests.
  FSender = unique + 1;
  for (char& c : FSender)
    if (c == '.') c = '_';
  sd_bus_error error = SD_BUS_ERROR_NULL;
  // The version tells which options are understood; a desktop without the
  // interface answers with an error.
  if (sd_bus_get_property_trivial(FBus, kPortal, kPortalPath, FInterface, "version", &error, 'u', &FVersion) <
      0) {
    sd_bus_error_free(&error);
    sd_bus_flush_close_unref(FBus);
    throw Exception(FNoService);
  }
}

TPortalClient::~TPortalClient() {
  sd_bus_message_unref(FResponse);
  sd_bus_flush_close_unref(FBus);
}

void TPortalClient::Check(int result, const char* what) const {
  if (result < 0) throw Exception(std::string(FFailure) + " (" + what + "): " + std::strerror(-result));
}

std::string TPortalClient::NewToken() {
  return "pelimar" + std::to_string(getpid()) + "_" + std::to_string(++FTokens);
}

uint32_t TPortalClient::Request(const std::string& method,
                                const std::function<void(sd_bus_message*)>& appendArgs,
                                const std::string& token, const std::function<void()>& idle) {
  // The answer comes as a signal on a path made of our name and the token;
  // listening starts before the call so it cannot be missed.
  const std::string path = "/org/freedesktop/portal/desktop/request/" + FSender + "/" + token;
  sd_bus_message_unref(FResponse);
  FResponse = nullptr;
  TSlot slot;
  Check(sd_bus_match_signal(
            FBus, &slot.S, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Response",
            [](sd_bus_message* m, void* self, sd_bus_error*) {
              static_cast<TPortalClient*>(self)->FResponse = sd_bus_message_ref(m);
              return 0;
            },
            this),
        "listen");

  TMessage call, reply;
  Check(sd_bus_message_new_method_call(FBus, &call.M, kPortal, kPortalPath, FInterface, method.c_str()), "call");
  appendArgs(call.M);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (sd_bus_call(FBus, call.M, 0, &error, &reply.M) < 0) {
    const std::string text = error.message ? error.message : method;
    const bool missing = sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
                         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT);
    sd_bus_error_free(&error);
    throw Exception(missing ? std::string(FNoService) : std::string(FFailure) + " (" + method + "): " + text);
  }
  // The desktop may take as long as the user takes to choose; but a
  // portal that goes away will never answer.
  bool portalGone = false;
  TSlot owner;
  sd_bus_add_match(
      FBus, &owner.S,
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'"
      ","
      "arg0='org.freedesktop.portal.Desktop'",
      [](sd_bus_message*, void* gone, sd_bus_error*) {
        *static_cast<bool*>(gone) = true;
        return 0;
      },
      &portalGone);
  while (!FResponse) {
    if (portalGone) throw Exception(std::string(FFailure) + ": the desktop's portal ended before it answered");
    const int processed = sd_bus_process(FBus, nullptr);
    if (processed < 0) throw Exception(std::string(FFailure) + ": the connection to the desktop was lost");
    if (processed > 0) continue;
    if (idle) idle();
    sd_bus_wait(FBus, 50000);
  }
  uint32_t response = 2;
  Check(sd_bus_message_read(FResponse, "u", &response), method.c_str());
  return response;
}

uint32_t TPortalClient::CreateSession(const std::function<void()>& idle, std::string& session) {
  session.clear();
  const std::string sessionToken = NewToken();
  const std::string token = NewToken();
  const uint32_t response = Request(
      "CreateSession",
      [&](sd_bus_message* m) {
        Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
        AppendPortalString(m, "handle_token", token);
        AppendPortalString(m, "session_handle_token", sessionToken);
        Check(sd_bus_message_close_container(m), "options");
      },
      token, idle);
  if (response != kPortalSuccess) return response;
  const char* method = "CreateSession";
  Check(sd_bus_message_enter_container(FResponse, 'a', "{sv}"), method);
  while (sd_bus_message_enter_container(FResponse, 'e', "sv") > 0) {
    const char* key = nullptr;
    Check(sd_bus_message_read(FResponse, "s", &key), method);
    const char* handle = nullptr;
    // A string in the portal's own interface, an object path in some.
    if (std::strcmp(key, "session_handle") == 0 && (sd_bus_message_read(FResponse, "v", "s", &handle) >= 0 ||
                                                    sd_bus_message_read(FResponse, "v", "o", &handle) >= 0))
      session = handle;
    else
      Check(sd_bus_message_skip(FResponse, "v"), method);
    Check(sd_bus_message_exit_container(FResponse), method);
  }
  return response;
}
