#include "base/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "base/exception.h"

namespace {
std::string SystemReason(int error) {
  return std::strerror(error);
}
}  // namespace

TFile::TFile(const std::string& path, TMode mode) : FPath(path) {
  if (mode == TMode::Read) {
    FHandle = std::fopen(path.c_str(), "rbe");
  } else {
    // Never written through a symbolic link: a link planted at the name
    // must not send the bytes elsewhere.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      FHandle = fdopen(fd, "wb");
      if (!FHandle) {
        const int error = errno;
        ::close(fd);
        errno = error;
      }
    }
  }
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

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Whether the link at path may be followed by this user, by the rule the
// kernel keeps for fs.protected_symlinks: not a link of another user in a
// sticky folder that others may write to (such as /tmp), unless the folder
// is the link owner's.
bool MayFollow(const std::string& path, const struct stat& link) {
  if (link.st_uid == geteuid()) return true;
  struct stat folder {};
  if (::stat(FolderOf(path).c_str(), &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
  return !shared || folder.st_uid == link.st_uid;
}

}  // namespace

std::string FollowLinks(const std::string& path) {
  std::string current = path;
  // As many links as the system itself follows before it gives up.
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    // Another user's link in a shared folder: the link itself is the file.
    if (!MayFollow(current, st)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<size_t>(length) >= target.size()) return current;
    target.resize(static_cast<size_t>(length));
    current = target[0] == '/' ? target : FolderOf(current) + "/" + target;
  }
  return current;
}

unsigned NewFileMode() {
  // The umask can only be read by setting it, which would race with other
  // threads creating files; the kernel shows it in the process status.
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Umask:", 0) == 0)
      return 0666u & ~static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8));
  return 0644;
}

bool WriteWhole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {
// ".<name>.pelimar-", within the 255 bytes of a file name with its six Xs.
std::string SaveTemporaryStem(const std::string& target) {
  constexpr size_t kNameMax = 255, kAround = 1 + 9 + 6;
  return "." + NameOf(target).substr(0, kNameMax - kAround) + ".pelimar-";
}
}  // namespace

std::string SaveTemporaryPattern(const std::string& target) {
  const std::string folder = FolderOf(target);
  return (folder == "/" ? "" : folder) + "/" + SaveTemporaryStem(target) + "XXXXXX";
}

bool IsSaveTemporaryOf(const std::string& name, const std::string& target) {
  const std::string stem = SaveTemporaryStem(target);
  return name.size() == stem.size() + 6 && name.compare(0, stem.size(), stem) == 0;
}

TSaveFile::TSaveFile(const std::string& path) : FTarget(FollowLinks(path)) {
  // Beside the file it replaces, in the same folder so the rename stays there.
  FTemporary = SaveTemporaryPattern(FTarget);
  FFd = mkstemp(FTemporary.data());
  if (FFd < 0) throw Exception("Cannot create a file beside " + FTarget + ": " + std::strerror(errno));
  flock(FFd, LOCK_EX);
}

TSaveFile::~TSaveFile() {
  if (!FCommitted) ::unlink(FTemporary.c_str());
  ::close(FFd);
}

void TSaveFile::Commit() {
  // mkstemp makes the file private. A video that replaces a file keeps
  // that file's permissions (and its group, where we may give it), so a
  // private video stays private; a new one gets what any new file gets.
  struct stat replaced {};
  const bool replaces = ::lstat(FTarget.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode);
  if (replaces && replaced.st_gid != getegid() && fchown(FFd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    // Not a group of ours: the file keeps our own, and its bits below.
  }
  if (fchmod(FFd, replaces ? (replaced.st_mode & 07777) : NewFileMode()) != 0 ||
      std::rename(FTemporary.c_str(), FTarget.c_str()) != 0)
    throw Exception("Cannot write " + FTarget + ": " + std::strerror(errno));
  FCommitted = true;
  // The new name reaches the disk with the file.
  const int folder = ::open(FolderOf(FTarget).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    ::close(folder);
  }
}
