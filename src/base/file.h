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

// The folder part of a path ("." when it has none) and the name part.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// The file that a path ends at when it is a symbolic link, through any
// number of links (a link to a missing file gives the missing file's
// path); any other path as it is. Saving over a link replaces what it
// points to, not the link; but another user's link in a sticky folder
// that others may write to is not followed (the kernel's own rule for
// fs.protected_symlinks): there the link itself is the file.
std::string FollowLinks(const std::string& path);

// The mode that a new file gets from the user's umask: 0666 without the
// umask's bits.
unsigned NewFileMode();

// Writes all of text to a file descriptor, going on after interruptions
// and short writes; false on a write error.
bool WriteWhole(int fd, const std::string& text);

// Where a file is written before it is renamed over target: a hidden name
// beside it, ".<name>.pelimar-XXXXXX" (the name cut so the whole stays a
// legal file name), the Xs to be filled by mkstemp. The name is
// recognisably ours, so what a killed program left can be found.
std::string SaveTemporaryPattern(const std::string& target);
// True when name (without folder) is such a temporary name for target.
bool IsSaveTemporaryOf(const std::string& name, const std::string& target);

// A file being saved: written under a hidden temporary name beside the
// file that path names (links followed as FollowLinks does), locked while
// it is written so the clean-up after a crash knows it is no dead
// program's, and put in that file's place only by Commit. Until then the
// file there stays as it was; a save never committed leaves nothing.
class TSaveFile {
 public:
  // Raises when the temporary file cannot be made.
  explicit TSaveFile(const std::string& path);
  ~TSaveFile();
  TSaveFile(const TSaveFile&) = delete;
  TSaveFile& operator=(const TSaveFile&) = delete;

  const std::string& Target() const { return FTarget; }
  const std::string& Temporary() const { return FTemporary; }
  int Descriptor() const { return FFd; }
  // Gives the file the permissions (and group, where it may) of the file
  // it replaces, or what a new file gets, renames it over the target and
  // makes the new name reach the disk. Raises, removing the file, when
  // that fails.
  void Commit();

 private:
  std::string FTarget;
  std::string FTemporary;
  int FFd = -1;
  bool FCommitted = false;
};
