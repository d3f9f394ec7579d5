#include "test_support.h"

#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int FrameCountOf(const std::string& path) {
  const std::string count = RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 '" +
      path + "'");
  return std::stoi(count);
}

std::string ProbeVideo(const std::string& path) {
  return RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=codec_name,width,height,time_base,nb_read_frames -of default=nw=1 '" +
      path + "'");
}

std::string FrameBytes(const std::string& path, int index, int32_t width, int32_t height) {
  const std::string crop =
      width > 0 ? ",format=bgr24,crop=" + std::to_string(width) + ":" + std::to_string(height) + ":0:0" : "";
  return RunCommand("ffmpeg -v error -i '" + path + "' -vf 'select=eq(n\\," + std::to_string(index) + ")" +
                    crop + "' -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
}

std::string PictureBytes(const TBitmap& picture) {
  std::string bytes;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      RGBQUAD c = picture.Pixel(x, y);
      bytes += {static_cast<char>(c.rgbBlue), static_cast<char>(c.rgbGreen), static_cast<char>(c.rgbRed)};
    }
  return bytes;
}

double Psnr(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(static_cast<uint8_t>(a[i])) - static_cast<uint8_t>(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

std::vector<double> ColourChanges(const std::string& video, int32_t frameTime) {
  const std::string bytes =
      RunCommand("ffmpeg -v error -i '" + video + "' -vf scale=1:1:flags=area,format=gray -f rawvideo -");
  std::vector<double> changes;
  for (size_t i = 1; i < bytes.size(); ++i)
    if (std::abs(int(uint8_t(bytes[i])) - int(uint8_t(bytes[i - 1]))) > 60)
      changes.push_back(double(i) * frameTime / 1000.0);
  return changes;
}

std::vector<double> Clicks(const std::string& video) {
  const std::string bytes =
      RunCommand("ffmpeg -v error -i '" + video + "' -map 0:a -ac 1 -ar 48000 -f s16le -");
  std::vector<double> clicks;
  double last = -1;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const int16_t v = static_cast<int16_t>(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8));
    const double t = double(i / 2) / 48000;
    if (std::abs(v) > 8000 && t - last > 0.5) clicks.push_back(t);
    if (std::abs(v) > 8000) last = t;
  }
  return clicks;
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
  FOldSignal = signal(SIGXFSZ, SIG_IGN);  // a failed write, not a signal
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
  signal(SIGXFSZ, FOldSignal);
}

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

namespace {

// Walks the tree without letting go at an entry that vanished or a folder
// that cannot be read: a program may be deleting what is listed.
void Walk(const std::string& folder, const std::function<void(const std::filesystem::path&)>& visit) {
  std::error_code error;
  std::filesystem::recursive_directory_iterator it(
      folder, std::filesystem::directory_options::skip_permission_denied, error);
  for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
    visit(it->path());
}

uint64_t PictureNumber(const std::string& name) {
  if (name.size() < 8 || name.compare(0, 3, "daw") != 0) return 0;
  const std::string extension = name.substr(name.size() - 4);
  if (extension != ".jpg" && extension != ".bmp") return 0;
  try {
    size_t used = 0;
    const std::string digits = name.substr(3, name.size() - 7);
    const uint64_t n = std::stoull(digits, &used, 16);
    return used == digits.size() ? n : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

std::vector<std::string> PictureFilesUnder(const std::string& folder) {
  std::vector<std::pair<std::pair<std::string, uint64_t>, std::string>> found;
  Walk(folder, [&](const std::filesystem::path& path) {
    const uint64_t number = PictureNumber(path.filename().string());
    if (number) found.push_back({{path.parent_path().string(), number}, path.string()});
  });
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& f : found) paths.push_back(f.second);
  return paths;
}

std::vector<std::string> EverythingUnder(const std::string& folder) {
  std::vector<std::string> paths;
  Walk(folder, [&](const std::filesystem::path& path) { paths.push_back(path.string()); });
  std::sort(paths.begin(), paths.end());
  return paths;
}

TSmallDisk::TSmallDisk(unsigned kilobytes) {
  const std::string options = "size=" + std::to_string(kilobytes) + "k,mode=0755";
  FMounted =
      geteuid() == 0 && mount("pelimar-test", FFolder.Path().c_str(), "tmpfs", 0, options.c_str()) == 0;
}

TSmallDisk::~TSmallDisk() {
  if (!FMounted) return;
  // A process of the test that still has a file open there lets go soon.
  for (int i = 0; i < 50 && umount2(FFolder.Path().c_str(), 0) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  umount2(FFolder.Path().c_str(), MNT_DETACH);
}

TTestUser::TTestUser() {
  if (geteuid() != 0) return;
  FName = "pelimar-t" + std::to_string(getpid());
  // useradd waits for no one: another test adding a user at the same
  // moment holds the lock on /etc/passwd, so it is tried again.
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::string command =
        "useradd --system --no-create-home --shell /usr/sbin/nologin " + FName + " >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (const passwd* user = getpwnam(FName.c_str())) {
    FUid = user->pw_uid;
    FGid = user->pw_gid;
  }
}

TTestUser::~TTestUser() {
  if (!Made()) return;
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (std::system(("userdel " + FName + " >/dev/null 2>&1").c_str()) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // What the user left in the temporary folders goes with it.
  std::system(("find /tmp /var/tmp -xdev -uid " + std::to_string(FUid) + " -delete 2>/dev/null").c_str());
}

bool TTestUser::Run(const std::function<bool()>& action) const {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(FGid) != 0 || setuid(FUid) != 0) _exit(2);
    _exit(action() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
