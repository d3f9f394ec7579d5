#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// An open file that is closed on every way out. Every failure raises an
// Exception that names the file and the system's reason.
class TFile {
 public:
  enum class TMode { Read, Create };

  TFile(const std::string& path, TMode mode);
  ~TFile();
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  const std::string& Path() const { return FPath; }
  uint64_t Size();
  // Reads exactly count bytes at offset; a file that ends before raises.
  void ReadAt(uint64_t offset, void* buffer, size_t count);
  void Write(const void* data, size_t count);
  // Flushes and closes, reporting what a late write error (a full disk) says.
  void Close();

 private:
  std::FILE* FHandle = nullptr;
  std::string FPath;
};

// Removes a file, ignoring a failure: for clean-up paths.
void DeleteFileQuietly(const std::string& path);
bool FileExists(const std::string& path);
