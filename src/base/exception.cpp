#include "base/exception.h"

EAssertionFailed::EAssertionFailed(const std::string& text, const std::string& file, int line)
    : Exception(text + " (" + file + ", line " + std::to_string(line) + ")") {}

void Assert(bool condition, const std::string& text, const char* file, int line) {
  if (!condition) throw EAssertionFailed(text, file, line);
}

std::string ErrorBoxText(const std::string& message) {
  // Compare as unsigned bytes: any character beyond ASCII sorts after ".",
  // and so do the lead and continuation bytes of its UTF-8 form.
  if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
    return message + ".";
  return message;
}
