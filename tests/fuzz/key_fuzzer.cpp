// libFuzzer target: any text as a key combination.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/global_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t modifiers = 0;
  std::string keysym;
  if (ParseKeyCombination(std::string(reinterpret_cast<const char*>(data), size), modifiers, keysym)) {
    // A keysym name is what X could look up: never empty, no separators.
    if (keysym.empty() || keysym.find_first_of("+ \n") != std::string::npos) __builtin_trap();
  }
  return 0;
}
