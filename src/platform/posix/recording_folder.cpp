#include "platform/recording_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <filesystem>

#include "base/exception.h"
#include "base/file.h"

namespace {

constexpr const char* kJournalHeader = "pelimar-recording 1";
constexpr const char* kFolderPrefix = "recording-";

std::string Reason() {
  return std::strerror(errno);
}

void RemoveTree(const std::string& path) {
  // remove_all deletes symbolic links themselves, never what they point to.
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

// The lock of a recording is a lock on its folder itself: what cleans
// temporary folders (systemd-tmpfiles) leaves a locked folder alone too.
int OpenFolder(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Targets are any path the user chose: a line break in one must not end
// its journal line.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '\n' || c == '\r') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The number of a picture name "daw<hex><extension>", or 0 when the name
// is not one of ours.
uint64_t PictureNumber(const std::string& name) {
  if (name.size() < 8 || name.compare(0, 3, "daw") != 0) return 0;
  const std::string extension = name.substr(name.size() - 4);
  if (extension != ".jpg" && extension != ".bmp") return 0;
  const std::string digits = name.substr(3, name.size() - 7);
  if (digits.empty() || digits.size() > 15 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return 0;
  return std::stoull(digits, nullptr, 16);
}

bool ParseInt(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = n;
  return true;
}

// Reads a journal; false when it is missing or not one of ours.
bool ReadJournal(const std::string& folder, TRecordingJournal& journal, uint64_t& nextNumber) {
  const int fd = ::open((folder + "journal").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ParseJournal(text, folder, journal, nextNumber);
}

// $TMPDIR, or /var/tmp without it, with no "/" at its end.
std::string TemporaryBase() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string base = tmpdir && *tmpdir ? tmpdir : "/var/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base == "/" ? "" : base;
}

std::string UserFolderName() {
  return "pelimar-" + std::to_string(geteuid());
}

// A real folder, not a link, of this user's and no one else may enter.
bool IsPrivateFolder(const struct stat& st) {
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// The folders of ours that another user's thing at pelimar-<uid> made
// necessary: pelimar-<uid>-XXXXXX, made by mkdtemp, so no one could have
// had them ready. Only those that are ours and private count.
std::vector<std::string> SpareFolders(const std::string& base) {
  std::vector<std::string> found;
  DIR* dir = ::opendir(base.empty() ? "/" : base.c_str());
  if (!dir) return found;
  const std::string prefix = UserFolderName() + "-";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st {};
    if (::lstat((base + "/" + name).c_str(), &st) == 0 && IsPrivateFolder(st)) found.push_back(base + "/" + name + "/");
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

// Why what stands at path cannot be our folder for recordings; empty when
// it can. mine says whether it is this user's own (which the user can put
// right) rather than another user's.
std::string Refusal(const std::string& path, bool& mine) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    throw Exception("Cannot use the folder for recordings " + path + ": " + Reason());
  mine = st.st_uid == geteuid();
  if (S_ISLNK(st.st_mode)) {
    mine = false;  // whoever made it, a link there is never followed
    return "it is a symbolic link, which anyone could have put there";
  }
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (!mine) return "it belongs to another user (" + std::to_string(st.st_uid) + ")";
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("other users may use it (its mode is ") + mode + ", not 0700)";
  }
  return "";
}

}  // namespace

bool ParseJournal(std::string_view text, const std::string& folder, TRecordingJournal& journal,
                  uint64_t& nextNumber) {
  journal = TRecordingJournal();
  size_t at = 0;
  bool header = false, anyTime = false;
  for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
    const std::string line(text.substr(at, end - at));
    if (!header) {
      if (line != kJournalHeader) return false;
      header = true;
      continue;
    }
    const size_t space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    int64_t n = 0;
    if (word == "started" && ParseInt(rest, n)) {
      journal.Started = n;
    } else if (word == "frametime" && ParseInt(rest, n) && n > 0 && n <= 1000000) {
      journal.FrameTime = static_cast<int32_t>(n);
    } else if (word == "area") {
      int32_t r[4];
      if (std::sscanf(rest.c_str(), "%d %d %d %d", &r[0], &r[1], &r[2], &r[3]) == 4)
        journal.Area = TRect(r[0], r[1], r[2], r[3]);
    } else if (word == "picture") {
      // Only names of ours, inside the folder.
      const uint64_t number = PictureNumber(rest);
      if (number == 0) continue;
      journal.Pictures.push_back(folder + rest);
      journal.PictureTimes.push_back(0);
      nextNumber = std::max(nextNumber, number + 1);
    } else if (word == "taken" && ParseInt(rest, n) && n > 0 && !journal.Pictures.empty()) {
      journal.PictureTimes.back() = n;
      anyTime = true;
    } else if (word == "soundclock") {
      const size_t gap = rest.find(' ');
      TSoundClock point;
      if (gap != std::string::npos && ParseInt(rest.substr(0, gap), point.Frame) &&
          ParseInt(rest.substr(gap + 1), point.Time) && point.Frame >= 0 &&
          (journal.SoundClock.empty() || (point.Frame > journal.SoundClock.back().Frame &&
                                          point.Time > journal.SoundClock.back().Time)))
        journal.SoundClock.push_back(point);
    } else if (word == "target" && !rest.empty()) {
      journal.Targets.push_back(Unescape(rest));
    } else if (word == "saved") {
      journal.Saved = true;
    }
  }
  if (!anyTime) {
    journal.PictureTimes.clear();
  } else {
    // A time lost with the line after its picture: one frame time after
    // the picture before (or before the one after, for the first).
    const int64_t step = int64_t{journal.FrameTime > 0 ? journal.FrameTime : 1} * 1000000;
    std::vector<int64_t>& times = journal.PictureTimes;
    const size_t first = static_cast<size_t>(
        std::find_if(times.begin(), times.end(), [](int64_t t) { return t != 0; }) - times.begin());
    for (size_t i = first; i-- > 0;)
      times[i] = times[i + 1] > INT64_MIN + step ? times[i + 1] - step : INT64_MIN;
    for (size_t i = first + 1; i < times.size(); ++i)
      if (times[i] == 0) times[i] = times[i - 1] < INT64_MAX - step ? times[i - 1] + step : INT64_MAX;
  }
  return header;
}

std::string RecordingsFolder() {
  const std::string base = TemporaryBase();
  const std::string path = base + "/" + UserFolderName();
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    throw Exception("Cannot make the folder for recordings " + path + ": " + Reason());
  bool mine = true;
  const std::string refusal = Refusal(path, mine);
  if (refusal.empty()) return path + "/";
  if (mine)
    throw Exception("Pelimar keeps recordings only in a folder of your own, and " + path + " is not: " +
                    refusal + ". Remove it, or set TMPDIR to a folder of yours");
  // Another user took the name first, in a temporary folder that only they
  // (or root) may clear. Recording goes on in a folder of ours whose name
  // no one can know in advance; the next start finds it again.
  const std::vector<std::string> spare = SpareFolders(base);
  if (!spare.empty()) return spare.front();
  std::string made = path + "-XXXXXX";
  if (!mkdtemp(made.data()))
    throw Exception("Cannot make a folder for recordings beside " + path + " (" + refusal + "): " + Reason());
  return made + "/";
}

std::vector<std::string> RecordingsFolders() {
  const std::string base = TemporaryBase();
  std::vector<std::string> folders;
  struct stat st {};
  const std::string usual = base + "/" + UserFolderName();
  if (::lstat(usual.c_str(), &st) == 0 && IsPrivateFolder(st)) folders.push_back(usual + "/");
  for (const std::string& spare : SpareFolders(base)) folders.push_back(spare);
  return folders;
}

TRecordingFolder::TRecordingFolder(std::string path, int lock) : FPath(std::move(path)), FLock(lock) {}

TRecordingFolder::~TRecordingFolder() {
  if (FJournalFile >= 0) ::close(FJournalFile);
  if (FLock >= 0) ::close(FLock);  // the lock goes with its descriptor
}

std::unique_ptr<TRecordingFolder> TRecordingFolder::Create(int64_t started, int32_t frameTime,
                                                           const TRect& area) {
  const std::string parent = RecordingsFolder();
  // Another program looking for abandoned recordings may take the lock of
  // a folder between its making and our locking it; that folder is its to
  // delete, and another one is made.
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::string name = parent + kFolderPrefix + "XXXXXX";
    if (!mkdtemp(name.data()))
      throw Exception("Cannot make a folder for the recording in " + parent + ": " + Reason());
    const std::string path = name + "/";
    const int lock = OpenFolder(path);
    if (lock < 0 && errno == ENOENT) continue;  // taken for an abandoned one and deleted already
    if (lock < 0) {
      const std::string reason = Reason();
      RemoveTree(path);
      throw Exception("Cannot use the folder of the recording " + path + ": " + reason);
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(lock);
      if (error == EWOULDBLOCK) continue;
      RemoveTree(path);
      throw Exception("Cannot lock the folder of the recording " + path + ": " + std::strerror(error));
    }
    std::unique_ptr<TRecordingFolder> folder(new TRecordingFolder(path, lock));
    folder->FJournalFile = ::open((path + "journal").c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (folder->FJournalFile < 0 && errno == ENOENT) continue;  // locked by us once it was gone
    try {
      if (folder->FJournalFile < 0)
        throw Exception("Cannot write the journal of the recording in " + path + ": " + Reason());
      folder->FJournal.Started = started;
      folder->FJournal.FrameTime = frameTime;
      folder->FJournal.Area = area;
      folder->Append(std::string(kJournalHeader) + "\nstarted " + std::to_string(started) + "\nframetime " +
                     std::to_string(frameTime) + "\narea " + std::to_string(area.Left) + " " +
                     std::to_string(area.Top) + " " + std::to_string(area.Right) + " " +
                     std::to_string(area.Bottom) + "\n");
    } catch (...) {
      folder->Remove();
      throw;
    }
    return folder;
  }
  throw Exception("Cannot make a folder for the recording in " + parent + ": every new one was taken");
}

std::vector<std::unique_ptr<TRecordingFolder>> TRecordingFolder::Abandoned() {
  // Raises as a recording would when no folder of ours can be had.
  RecordingsFolder();
  std::vector<std::string> paths;
  for (const std::string& parent : RecordingsFolders()) {
    DIR* dir = ::opendir(parent.c_str());
    if (!dir) throw Exception("Cannot read the folder for recordings " + parent + ": " + Reason());
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(kFolderPrefix, 0) == 0) paths.push_back(parent + name);
    }
    ::closedir(dir);
  }
  std::vector<std::unique_ptr<TRecordingFolder>> found;
  for (const std::string& name : paths) {
    const std::string path = name + "/";
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
    const int lock = OpenFolder(path);
    if (lock < 0) continue;
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
      ::close(lock);  // its program is alive
      continue;
    }
    // Without a journal its maker died before it began one, or it had
    // nothing of its own yet; either way nothing is there to save.
    std::unique_ptr<TRecordingFolder> folder(new TRecordingFolder(path, lock));
    const bool journal = ReadJournal(path, folder->FJournal, folder->FNextNumber);
    const std::vector<std::string>& pictures = folder->FJournal.Pictures;
    const bool anyLeft = std::any_of(pictures.begin(), pictures.end(), [](const std::string& picture) {
      struct stat file {};
      return ::lstat(picture.c_str(), &file) == 0;
    });
    if (!journal || !anyLeft || folder->FJournal.Saved) {
      folder->RemoveLeftovers();
      folder->Remove();
      continue;
    }
    folder->FJournalFile = ::open((path + "journal").c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    found.push_back(std::move(folder));
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a->FJournal.Started < b->FJournal.Started; });
  return found;
}

void TRecordingFolder::Append(const std::string& line) {
  if (FJournalFile < 0) throw Exception("The journal of the recording in " + FPath + " cannot be written");
  // A line that did not go out whole is taken back, so the next one starts
  // a line of its own.
  const off_t before = ::lseek(FJournalFile, 0, SEEK_END);
  if (!WriteWhole(FJournalFile, line)) {
    const std::string reason = Reason();
    if (before >= 0 && ftruncate(FJournalFile, before) != 0) {
    }
    throw Exception("Cannot write the journal of the recording in " + FPath + ": " + reason);
  }
}

std::string TRecordingFolder::NewPictureFile(const std::string& extension) {
  if (FPath.empty()) throw Exception("The recording's folder is gone");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llX", static_cast<unsigned long long>(FNextNumber++));
    const std::string path = FPath + "daw" + digits + extension;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) throw Exception("Cannot create the picture file " + path + ": " + Reason());
  }
  throw Exception("Cannot create a picture file in " + FPath + ": every name tried was taken");
}

void TRecordingFolder::AddPicture(const std::string& path, int64_t takenAt) {
  // One write: a crash keeps the picture's line whole or not at all; at
  // worst its time is cut off, and guessed when it is read back.
  std::string lines = "picture " + NameOf(path) + "\n";
  if (takenAt > 0) lines += "taken " + std::to_string(takenAt) + "\n";
  Append(lines);
  FJournal.Pictures.push_back(path);
  if (takenAt > 0 || !FJournal.PictureTimes.empty()) {
    FJournal.PictureTimes.resize(FJournal.Pictures.size() - 1);
    FJournal.PictureTimes.push_back(takenAt);
  }
}

void TRecordingFolder::AddSoundClock(const std::vector<TSoundClock>& points) {
  std::string lines;
  for (const TSoundClock& point : points)
    lines += "soundclock " + std::to_string(point.Frame) + " " + std::to_string(point.Time) + "\n";
  if (lines.empty()) return;
  Append(lines);
  FJournal.SoundClock.insert(FJournal.SoundClock.end(), points.begin(), points.end());
}

void TRecordingFolder::SetFrameTime(int32_t frameTime) {
  Append("frametime " + std::to_string(frameTime) + "\n");
  FJournal.FrameTime = frameTime;
}

void TRecordingFolder::SetArea(const TRect& area) {
  Append("area " + std::to_string(area.Left) + " " + std::to_string(area.Top) + " " +
         std::to_string(area.Right) + " " + std::to_string(area.Bottom) + "\n");
  FJournal.Area = area;
}

void TRecordingFolder::AddTarget(const std::string& target) {
  if (std::find(FJournal.Targets.begin(), FJournal.Targets.end(), target) != FJournal.Targets.end()) return;
  Append("target " + Escape(target) + "\n");
  FJournal.Targets.push_back(target);
}

void TRecordingFolder::MarkSaved() {
  Append("saved\n");
  FJournal.Saved = true;
}

void TRecordingFolder::RemoveLeftovers() {
  if (FPath.empty()) return;
  ::unlink((FPath + kIntermediateFileName).c_str());
  for (const std::string& chosen : FJournal.Targets) {
    const std::string target = FollowLinks(chosen);
    const std::string folder = FolderOf(target);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) continue;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir))
      if (IsSaveTemporaryOf(entry->d_name, target)) names.push_back(entry->d_name);
    ::closedir(dir);
    for (const std::string& name : names) {
      const std::string path = folder + "/" + name;
      // Only our own files, looked at through the descriptor that is then
      // locked; a save under way holds a lock on its file, so only the
      // dead program's go.
      const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat held {}, named {};
      if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == geteuid() &&
          flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &named) == 0 &&
          named.st_ino == held.st_ino && named.st_dev == held.st_dev)
        ::unlink(path.c_str());
      ::close(fd);
    }
  }
}

void TRecordingFolder::Remove() {
  if (FJournalFile >= 0) ::close(FJournalFile);
  FJournalFile = -1;
  if (!FPath.empty()) RemoveTree(FPath);
  FPath.clear();
  if (FLock >= 0) ::close(FLock);
  FLock = -1;
  FJournal = TRecordingJournal();
}
