#include "Api_Funcs.h"

#include <cstring>
#include <vector>

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

void ReadFixedFileInfo(const std::string& FileName, VS_FIXEDFILEINFO& Record) {
  const uint32_t size = GetFileVersionInfoSizeA(FileName);
  if (size == 0) return;
  std::vector<uint8_t> info(size);
  if (!GetFileVersionInfoA(FileName, size, info.data())) return;
  const void* block = nullptr;
  uint32_t length = 0;
  // The first eleven fields: the record ends with the file type and subtype.
  if (VerQueryValueA(info.data(), "\\", &block, &length) && length >= 44) std::memcpy(&Record, block, 44);
}

std::string GetFileVersionText(const std::string& FileName) {
  VS_FIXEDFILEINFO record{};
  ReadFixedFileInfo(FileName, record);
  return std::to_string(record.dwFileVersionMS >> 16) + "." +
         std::to_string(record.dwFileVersionMS & 0xFFFF) + "." +
         std::to_string(record.dwFileVersionLS >> 16) + "." + std::to_string(record.dwFileVersionLS & 0xFFFF);
}
