#pragma once

#include <functional>
#include <string>

// A fresh folder under the system's temporary folder, removed with all it
// holds when the test ends.
class TTempFolder {
 public:
  TTempFolder();
  ~TTempFolder();
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // The folder's path, ending in "/".
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + name; }

 private:
  std::string FPath;
};

// Runs a shell command and returns what it printed on standard output;
// raises std::runtime_error when the command exits with an error.
std::string RunCommand(const std::string& command);

// Sets an environment variable for the life of the object.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value);
  ~TScopedEnv();

 private:
  std::string FName;
  std::string FOld;
  bool FHadOld;
};

// While it lives, files of this process cannot grow past bytes: writes fail
// part way, as on a full disk.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(unsigned long bytes);
  ~TFileSizeLimit();

 private:
  unsigned long FOld;
};

// The message of the Exception that action raises, or "(nothing raised)".
std::string Message(const std::function<void()>& action);
