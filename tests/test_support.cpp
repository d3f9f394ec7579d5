#include "test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>

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
  if (!pipe) {
    ADD_FAILURE() << "cannot run: " << command;
    return output;
  }
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  int status = pclose(pipe);
  EXPECT_EQ(status, 0) << "command failed: " << command << "\n" << output;
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
