#include "base/file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/exception.h"

namespace {
std::string SystemReason(int error) {
  return std::strerror(error);
}
}  // namespace

TFile::TFile(const std::string& path, TMode mode) : FPath(path) {
  FHandle = std::fopen(path.c_str(), mode == TMode::Read ? "rbe" : "wbe");
  if (!FHandle)
    throw Exception((mode == TMode::Read ? "Cannot open file " : "Cannot create file ") + path + ": " +
                    SystemReason(errno));
  // Our writes come in large blocks already; stdio's buffer would only add a copy.
  if (mode == TMode::Create) std::setvbuf(FHandle, nullptr, _IONBF, 0);
}

TFile::~TFile() {
  if (FHandle) std::fclose(FHandle);
}

uint64_t TFile::Size() {
  struct stat st {};
  if (fstat(fileno(FHandle), &st) != 0)
    throw Exception("Cannot read file " + FPath + ": " + SystemReason(errno));
  return static_cast<uint64_t>(st.st_size);
}

void TFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (count == 0) return;
  if (offset > static_cast<uint64_t>(INT64_MAX) || fseeko(FHandle, static_cast<off_t>(offset), SEEK_SET) != 0)
    throw Exception("Cannot read file " + FPath + ": " + SystemReason(errno));
  size_t got = std::fread(buffer, 1, count, FHandle);
  if (got != count) {
    if (std::ferror(FHandle)) throw Exception("Cannot read file " + FPath + ": " + SystemReason(errno));
    throw Exception("Cannot read file " + FPath + ": it ends too early");
  }
}

void TFile::Write(const void* data, size_t count) {
  if (count == 0) return;
  if (std::fwrite(data, 1, count, FHandle) != count)
    throw Exception("Cannot write file " + FPath + ": " + SystemReason(errno));
}

void TFile::Close() {
  std::FILE* handle = FHandle;
  FHandle = nullptr;
  if (handle && std::fclose(handle) != 0)
    throw Exception("Cannot write file " + FPath + ": " + SystemReason(errno));
}

void DeleteFileQuietly(const std::string& path) {
  std::remove(path.c_str());
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}
