// Global keys in a Wayland session: the desktop's GlobalShortcuts portal.
// The desktop binds them, and may ask the user first; our combinations are
// only its preferred triggers.
#include <systemd/sd-bus.h>

#include <cstring>
#include <map>

#include "base/exception.h"
#include "platform/global_keys.h"
#include "platform/wayland/portal_client.h"

namespace {

const char* const kShortcuts = "org.freedesktop.portal.GlobalShortcuts";
const char* const kNotAvailable = "Hotkeys are not available in this session: ";

// "Ctrl+Shift+F9" as the portal's triggers write it: "CTRL+SHIFT+F9".
std::string Trigger(const std::string& combination) {
  uint32_t modifiers = 0;
  std::string keysym;
  if (!ParseKeyCombination(combination, modifiers, keysym)) return std::string();
  std::string trigger;
  if (modifiers & kKeyCtrl) trigger += "CTRL+";
  if (modifiers & kKeyAlt) trigger += "ALT+";
  if (modifiers & kKeyShift) trigger += "SHIFT+";
  if (modifiers & kKeyMeta) trigger += "LOGO+";
  return trigger + keysym;
}

class TPortalGlobalKeys : public TGlobalKeys, private TPortalClient {
 public:
  TPortalGlobalKeys()
      : TPortalClient(kShortcuts,
                      "Hotkeys are not available in this session: the desktop offers no global shortcuts "
                      "(xdg-desktop-portal GlobalShortcuts).",
                      "Hotkeys are not available in this session: the desktop's global shortcuts failed") {
    // The 1.16 portal sends every session's activations to everyone: ours
    // are told by their session.
    Check(sd_bus_match_signal(
              FBus, &FActivated, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop", kShortcuts,
              "Activated",
              [](sd_bus_message* m, void* self, sd_bus_error*) {
                static_cast<TPortalGlobalKeys*>(self)->OnActivated(m);
                return 0;
              },
              this),
          "listen");
  }
  ~TPortalGlobalKeys() override {
    CloseSession();
    sd_bus_slot_unref(FActivated);
  }

  std::vector<std::string> Bind(const std::vector<TGlobalKey>& keys, const std::function<void()>& idle) override {
    // A session binds once; other keys take a new one.
    CloseSession();
    std::vector<const TGlobalKey*> bound;
    for (const TGlobalKey& key : keys)
      if (!key.Combination.empty()) bound.push_back(&key);
    if (bound.empty()) return {};
    // A desktop without a working GlobalShortcuts service (the portal may
    // hand the request to another desktop's backend, which fails here) has
    // no hotkeys: nothing to tell at every start.
    if (CreateSession(idle, FSession) != kPortalSuccess || FSession.empty())
      throw Exception(kNotAvailable + std::string("the desktop's global shortcuts gave no session."));
    std::string token = NewToken();
    uint32_t response = Request(
        "BindShortcuts",
        [&](sd_bus_message* m) {
          Check(sd_bus_message_append(m, "o", FSession.c_str()), "shortcuts");
          Check(sd_bus_message_open_container(m, 'a', "(sa{sv})"), "shortcuts");
          for (const TGlobalKey* key : bound) {
            Check(sd_bus_message_open_container(m, 'r', "sa{sv}"), "shortcuts");
            Check(sd_bus_message_append(m, "s", key->Name.c_str()), "shortcuts");
            Check(sd_bus_message_open_container(m, 'a', "{sv}"), "shortcuts");
            AppendPortalString(m, "description", key->Description);
            const std::string trigger = Trigger(key->Combination);
            if (!trigger.empty()) AppendPortalString(m, "preferred_trigger", trigger);
            Check(sd_bus_message_close_container(m), "shortcuts");
            Check(sd_bus_message_close_container(m), "shortcuts");
          }
          Check(sd_bus_message_close_container(m), "shortcuts");
          Check(sd_bus_message_append(m, "s", ""), "shortcuts");  // no parent window
          Check(sd_bus_message_open_container(m, 'a', "{sv}"), "options");
          AppendPortalString(m, "handle_token", token);
          Check(sd_bus_message_close_container(m), "options");
        },
        token, idle);
    if (response == kPortalCancelled) return {"The hotkeys were not allowed on this desktop."};
    if (response != kPortalSuccess)
      throw Exception(kNotAvailable + std::string("the desktop's global shortcuts could not bind them."));
    // Our combinations were wishes: what the desktop gave each is in the
    // results, and a key it gave nothing does not work.
    const std::map<std::string, std::string> given = GivenTriggers();
    std::vector<std::string> failures;
    for (const TGlobalKey* key : bound) {
      const auto found = given.find(key->Name);
      if (found == given.end() || found->second.empty())
        failures.push_back(key->Combination + " was not given to Pelimar by the desktop; its own settings can give "
                                              "\"" + key->Description + "\" a key.");
    }
    return failures;
  }

  int Descriptor() const override { return sd_bus_get_fd(FBus); }

  std::vector<std::string> TakePressed() override {
    int processed = 0;
    while ((processed = sd_bus_process(FBus, nullptr)) > 0) {
    }
    if (processed < 0)
      throw Exception("Hotkeys stopped working: the connection to the desktop's global shortcuts was lost.");
    std::vector<std::string> pressed;
    pressed.swap(FPressed);
    return pressed;
  }

 private:
  // The trigger_description of each shortcut in the BindShortcuts results.
  std::map<std::string, std::string> GivenTriggers() {
    std::map<std::string, std::string> given;
    if (sd_bus_message_enter_container(FResponse, 'a', "{sv}") <= 0) return given;
    while (sd_bus_message_enter_container(FResponse, 'e', "sv") > 0) {
      const char* key = nullptr;
      if (sd_bus_message_read(FResponse, "s", &key) < 0) break;
      if (std::strcmp(key, "shortcuts") == 0 && sd_bus_message_enter_container(FResponse, 'v', "a(sa{sv})") > 0 &&
          sd_bus_message_enter_container(FResponse, 'a', "(sa{sv})") > 0) {
        while (sd_bus_message_enter_container(FResponse, 'r', "sa{sv}") > 0) {
          const char* id = nullptr;
          std::string trigger;
          if (sd_bus_message_read(FResponse, "s", &id) < 0 ||
              sd_bus_message_enter_container(FResponse, 'a', "{sv}") <= 0)
            return given;
          while (sd_bus_message_enter_container(FResponse, 'e', "sv") > 0) {
            const char* name = nullptr;
            const char* text = nullptr;
            if (sd_bus_message_read(FResponse, "s", &name) < 0) return given;
            if (std::strcmp(name, "trigger_description") == 0 && sd_bus_message_read(FResponse, "v", "s", &text) >= 0)
              trigger = text;
            else if (sd_bus_message_skip(FResponse, "v") < 0)
              return given;
            sd_bus_message_exit_container(FResponse);
          }
          sd_bus_message_exit_container(FResponse);
          sd_bus_message_exit_container(FResponse);
          given[id] = trigger;
        }
        sd_bus_message_exit_container(FResponse);
        sd_bus_message_exit_container(FResponse);
      } else if (sd_bus_message_skip(FResponse, "v") < 0) {
        break;
      }
      sd_bus_message_exit_container(FResponse);
    }
    return given;
  }

  void OnActivated(sd_bus_message* m) {
    const char* session = nullptr;
    const char* id = nullptr;
    if (sd_bus_message_read(m, "os", &session, &id) >= 0 && !FSession.empty() && FSession == session)
      FPressed.emplace_back(id);
  }

  void CloseSession() {
    if (FSession.empty()) return;
    sd_bus_call_method(FBus, "org.freedesktop.portal.Desktop", FSession.c_str(), "org.freedesktop.portal.Session",
                       "Close", nullptr, nullptr, "");
    FSession.clear();
  }

  sd_bus_slot* FActivated = nullptr;
  std::string FSession;
  std::vector<std::string> FPressed;
};

}  // namespace

std::unique_ptr<TGlobalKeys> OpenPortalGlobalKeys() { return std::make_unique<TPortalGlobalKeys>(); }
