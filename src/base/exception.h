#pragma once

#include <exception>
#include <string>

// The general error of the program: a message text, nothing more. Every
// layer below the windows reports its failures this way.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}

  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

// A failed check of a platform call's result. The message names the check,
// the source file and the line: "<text> (<file>, line <n>)".
class EAssertionFailed : public Exception {
 public:
  EAssertionFailed(const std::string& text, const std::string& file, int line);
};

// Raises EAssertionFailed with the caller's file and line when the condition
// does not hold.
void Assert(bool condition, const std::string& text, const char* file = __builtin_FILE(),
            int line = __builtin_LINE());

// The text of the application's error box: the message with a full stop
// appended when it is not empty and its last character sorts after ".".
std::string ErrorBoxText(const std::string& message);
