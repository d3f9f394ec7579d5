#include "platform/global_keys.h"

#include <cctype>
#include <string_view>

namespace {

// Keys that the user's text names otherwise than X does.
struct TKeyName {
  const char* Text;
  const char* Keysym;
};
const TKeyName kKeyNames[] = {
    {"Space", "space"},     {"Esc", "Escape"},         {"Backspace", "BackSpace"}, {"Enter", "KP_Enter"},
    {"Ins", "Insert"},      {"Del", "Delete"},         {"PgUp", "Prior"},          {"PgDown", "Next"},
    {"ScrollLock", "Scroll_Lock"}, {"CapsLock", "Caps_Lock"}, {"NumLock", "Num_Lock"}, {",", "comma"},
    {".", "period"},        {"-", "minus"},            {"=", "equal"},             {"/", "slash"},
    {";", "semicolon"},     {"'", "apostrophe"},       {"[", "bracketleft"},       {"]", "bracketright"},
    {"\\", "backslash"},    {"`", "grave"}};

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

bool ParseKeyCombination(const std::string& text, uint32_t& modifiers, std::string& keysym) {
  modifiers = 0;
  keysym.clear();
  std::string_view rest = text;
  while (!rest.empty()) {
    // "+" alone after a "+" is the plus key, which has no unshifted keysym
    // of its own on most keyboards: refused below like any unknown key.
    const size_t plus = rest.find('+', 1);
    const std::string_view part = rest.substr(0, plus);
    rest.remove_prefix(plus == std::string_view::npos ? rest.size() : plus + 1);
    if (plus != std::string_view::npos && rest.empty()) return false;  // "Ctrl+"
    if (!keysym.empty()) return false;  // something after the key
    uint32_t modifier = SameText(part, "Ctrl") || SameText(part, "Control") ? kKeyCtrl
                        : SameText(part, "Shift")                           ? kKeyShift
                        : SameText(part, "Alt")                             ? kKeyAlt
                        : SameText(part, "Meta") || SameText(part, "Super") ? kKeyMeta
                                                                            : 0u;
    if (modifier != 0) {
      if (plus == std::string_view::npos) return false;  // modifiers alone
      modifiers |= modifier;
      continue;
    }
    for (const TKeyName& name : kKeyNames)
      if (SameText(part, name.Text)) keysym = name.Keysym;
    if (keysym.empty()) {
      if (part.size() == 1 && std::isalnum(static_cast<unsigned char>(part[0])))
        keysym = std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(part[0]))));
      else if (!part.empty() && std::isalpha(static_cast<unsigned char>(part[0])) &&
               part.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") ==
                   std::string_view::npos)
        keysym = part;  // F9, Home, Print, Pause and the other keys X names alike
      else
        return false;
    }
  }
  return !keysym.empty();
}
