// Global keys on X11: a passive grab of each combination on the root
// window, through a connection of their own.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>

#include "base/exception.h"
#include "platform/global_keys.h"

namespace {

// Errors of the grabs come back asynchronously; the handler is the
// process's, so it is set only around the grabs and their sync.
// Only the errors of our own connection count; others in the process
// that fail meanwhile are not ours to judge.
int GGrabError = 0;
Display* GGrabDisplay = nullptr;

int NoteGrabError(Display* display, XErrorEvent* error) {
  if (display == GGrabDisplay && GGrabError == 0) GGrabError = error->error_code;
  return 0;
}

class TX11GlobalKeys : public TGlobalKeys {
 public:
  TX11GlobalKeys() {
    FDisplay = XOpenDisplay(nullptr);
    if (!FDisplay) throw Exception("Hotkeys are not available: the X display cannot be opened");
    // A key held down then repeats as presses alone, so each press after
    // a release is one.
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(FDisplay, True, &detectable);
    FNumLock = ModifierOf(XK_Num_Lock);
  }
  ~TX11GlobalKeys() override {
    UngrabAll();
    XCloseDisplay(FDisplay);
  }

  std::vector<std::string> Bind(const std::vector<TGlobalKey>& keys, const std::function<void()>&) override {
    UngrabAll();
    FKeys = keys;
    std::vector<std::string> failures;
    const Window root = DefaultRootWindow(FDisplay);
    for (const TGlobalKey& key : keys) {
      if (key.Combination.empty()) continue;
      uint32_t modifiers = 0;
      std::string name;
      const KeySym keysym = ParseKeyCombination(key.Combination, modifiers, name) ? XStringToKeysym(name.c_str())
                                                                                  : NoSymbol;
      const KeyCode code = keysym == NoSymbol ? 0 : XKeysymToKeycode(FDisplay, keysym);
      if (code == 0) {
        failures.push_back(key.Combination + " is not a key of this keyboard.");
        continue;
      }
      const unsigned mask = (modifiers & kKeyCtrl ? ControlMask : 0) | (modifiers & kKeyShift ? ShiftMask : 0) |
                            (modifiers & kKeyAlt ? Mod1Mask : 0) | (modifiers & kKeyMeta ? Mod4Mask : 0);
      // The same combination with Caps Lock or Num Lock on is another to X.
      const unsigned locks[] = {0, LockMask, FNumLock, LockMask | FNumLock};
      GGrabError = 0;
      GGrabDisplay = FDisplay;
      XErrorHandler before = XSetErrorHandler(NoteGrabError);
      for (unsigned lock : locks) XGrabKey(FDisplay, code, mask | lock, root, False, GrabModeAsync, GrabModeAsync);
      XSync(FDisplay, False);
      XSetErrorHandler(before);
      if (GGrabError != 0) {
        for (unsigned lock : locks) XUngrabKey(FDisplay, code, mask | lock, root);
        XSync(FDisplay, False);
        failures.push_back(GGrabError == BadAccess
                               ? key.Combination + " is already taken by another program; choose another hotkey "
                                                   "in Settings."
                               : key.Combination + " cannot be a hotkey here.");
        continue;
      }
      FGrabs.push_back(TGrab{key.Name, code, mask, false});
    }
    return failures;
  }

  int Descriptor() const override { return ConnectionNumber(FDisplay); }

  std::vector<std::string> TakePressed() override {
    std::vector<std::string> pressed;
    // The keyboard group (layout) rides in the state's upper bits; only
    // the four modifiers that a combination may have count.
    const unsigned relevant = (ShiftMask | ControlMask | Mod1Mask | Mod4Mask) & ~FNumLock;
    bool remapped = false;
    while (XPending(FDisplay) > 0) {
      XEvent event;
      XNextEvent(FDisplay, &event);
      if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
        // Another keyboard or layout: other key codes, maybe another Num Lock.
        XRefreshKeyboardMapping(&event.xmapping);
        remapped = true;
        continue;
      }
      if (event.type != KeyPress && event.type != KeyRelease) continue;
      for (TGrab& grab : FGrabs) {
        if (grab.Code != event.xkey.keycode) continue;
        if (event.type == KeyRelease) {
          grab.Down = false;
        } else if ((event.xkey.state & relevant) == grab.Modifiers && !grab.Down) {
          grab.Down = true;
          pressed.push_back(grab.Name);
        }
      }
    }
    if (remapped) {
      UngrabAll();
      FNumLock = ModifierOf(XK_Num_Lock);
      const std::vector<TGlobalKey> keys = FKeys;
      Bind(keys, {});  // what cannot be had any more simply stays unbound
    }
    return pressed;
  }

 private:
  struct TGrab {
    std::string Name;
    KeyCode Code;
    unsigned Modifiers;
    bool Down;
  };

  // The modifier bit that a key sets, where the keyboard has it.
  unsigned ModifierOf(KeySym keysym) {
    const KeyCode code = XKeysymToKeycode(FDisplay, keysym);
    XModifierKeymap* map = XGetModifierMapping(FDisplay);
    unsigned found = 0;
    if (map && code != 0)
      for (int modifier = 0; modifier < 8 && !found; ++modifier)
        for (int i = 0; i < map->max_keypermod; ++i)
          if (map->modifiermap[modifier * map->max_keypermod + i] == code) found = 1u << modifier;
    if (map) XFreeModifiermap(map);
    return found;
  }

  void UngrabAll() {
    const Window root = DefaultRootWindow(FDisplay);
    for (const TGrab& grab : FGrabs)
      for (unsigned lock : {0u, unsigned{LockMask}, FNumLock, LockMask | FNumLock})
        XUngrabKey(FDisplay, grab.Code, grab.Modifiers | lock, root);
    FGrabs.clear();
    XSync(FDisplay, False);
  }

  Display* FDisplay = nullptr;
  unsigned FNumLock = 0;
  std::vector<TGrab> FGrabs;
  std::vector<TGlobalKey> FKeys;  // as last bound
};

}  // namespace

std::unique_ptr<TGlobalKeys> OpenX11GlobalKeys() { return std::make_unique<TX11GlobalKeys>(); }
