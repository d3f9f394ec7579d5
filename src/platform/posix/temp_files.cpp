#include "platform/temp_files.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/exception.h"

namespace {

std::string NameFor(const std::string& folder, const std::string& prefix, unsigned number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%X", number & 0xFFFFu);
  return folder + prefix.substr(0, 3) + digits + ".tmp";
}

// Where the next search for a free number starts. It moves on past every
// number handed out, so a folder full of our own names is not searched from
// the beginning every time.
std::atomic<unsigned> NextNumber{[] {
  auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<unsigned>(ticks ^ (static_cast<long long>(getpid()) << 7));
}()};

}  // namespace

std::string GetTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = dir && *dir ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

std::string GetTempFileName(const std::string& folder, const std::string& prefix, unsigned unique) {
  if (unique != 0) return NameFor(folder, prefix, unique);
  for (unsigned attempt = 0; attempt < 0xFFFF; ++attempt) {
    unsigned number = NextNumber.fetch_add(1) % 0xFFFF + 1;  // 1 to FFFF
    std::string name = NameFor(folder, prefix, number);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST)
      throw Exception("Cannot create a temporary file in " + folder + ": " + std::strerror(errno));
  }
  throw Exception("No free temporary file name is left in " + folder + " for the prefix " +
                  prefix.substr(0, 3));
}

uint64_t FreeDiskSpace(const std::string& folder) {
  struct statvfs st {};
  if (statvfs(folder.c_str(), &st) != 0)
    throw Exception("Cannot tell the free space of " + folder + ": " + std::strerror(errno));
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}
