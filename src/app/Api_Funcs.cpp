#include "Api_Funcs.h"

#include "platform/temp_files.h"

namespace {
bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}
}  // namespace

std::string GetTempDir() {
  std::string dir = GetTempPath();
  size_t first = 0, last = dir.size();
  while (first < last && IsBlankOrControl(dir[first])) ++first;
  while (last > first && IsBlankOrControl(dir[last - 1])) --last;
  dir = dir.substr(first, last - first);
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

std::string GetTempFile() {
  return GetTempFileName(GetTempDir(), "daw", 0);
}
