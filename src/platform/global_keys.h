#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A key that reaches the program whichever window has the focus.
struct TGlobalKey {
  std::string Name;         // the program's own name for it: "start-stop"
  std::string Combination;  // as the user writes it: "Ctrl+Shift+F9"; empty: none
  std::string Description;  // for a desktop that shows the user what binds it
};

// Modifiers of a key combination, as bits.
constexpr uint32_t kKeyCtrl = 1, kKeyShift = 2, kKeyAlt = 4, kKeyMeta = 8;

// "Ctrl+Shift+F9" as modifiers and the X keysym name of its key ("F9",
// "a", "Prior", "space"). False when the text is not a modifier or more
// and one key, or names a key that no keysym has a name for here.
bool ParseKeyCombination(const std::string& text, uint32_t& modifiers, std::string& keysym);

// The session's global keys: an X11 grab on the root window, or the
// desktop's GlobalShortcuts portal in a Wayland session.
class TGlobalKeys {
 public:
  virtual ~TGlobalKeys() = default;
  // Binds these keys in place of those bound before. Returns a message for
  // each that could not be bound (taken by another program, unknown to
  // this keyboard); the others are bound. idle runs while the desktop
  // asks the user, where it does.
  virtual std::vector<std::string> Bind(const std::vector<TGlobalKey>& keys, const std::function<void()>& idle) = 0;
  // Becomes readable when a key may have been pressed.
  virtual int Descriptor() const = 0;
  // The names of the keys pressed since the last call, in order; a key
  // held down counts once.
  virtual std::vector<std::string> TakePressed() = 0;
};

// The global keys of this session's kind (see SessionScreenKind). Raises an
// Exception that says why when the session offers none.
std::unique_ptr<TGlobalKeys> OpenGlobalKeys();
std::unique_ptr<TGlobalKeys> OpenX11GlobalKeys();
std::unique_ptr<TGlobalKeys> OpenPortalGlobalKeys();
