#include "test_support.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <csignal>

#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "base/exception.h"

TTempFolder::TTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pelimar-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  FPath = pattern + "/";
}

TTempFolder::~TTempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

std::string RunCommand(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run: " + command);
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  int status = pclose(pipe);
  if (status != 0) throw std::runtime_error("command failed: " + command + "\n" + output);
  return output;
}

TScopedEnv::TScopedEnv(const char* name, const char* value) : FName(name) {
  const char* old = getenv(name);
  FHadOld = old != nullptr;
  if (old) FOld = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

TScopedEnv::~TScopedEnv() {
  if (FHadOld)
    setenv(FName.c_str(), FOld.c_str(), 1);
  else
    unsetenv(FName.c_str());
}

TFileSizeLimit::TFileSizeLimit(unsigned long bytes) {
  signal(SIGXFSZ, SIG_IGN);  // a failed write, not a signal
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  FOld = limit.rlim_cur;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

TFileSizeLimit::~TFileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = FOld;
  setrlimit(RLIMIT_FSIZE, &limit);
}

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}
