// MP4, WebM and GIF videos played by a real browser: Chromium without a
// screen loads a page of the test's own that plays each to its end, reads
// its length and size, and compares chosen frames, drawn into a canvas,
// with the recorded pictures. The page and the videos come from a small
// HTTP server in the test; the browser posts back what it saw.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "image/picture_files.h"
#include "platform/wav_file.h"
#include "sample_pictures.h"
#include "share/share_writer.h"
#include "test_support.h"

namespace {

// Serves the files of a folder on the loopback, and keeps what is posted.
class THttpServer {
 public:
  explicit THttpServer(std::string folder) : FFolder(std::move(folder)) {
    FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(FSocket, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(FSocket, 16) != 0 ||
        getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no port for the test's web server");
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this] { Serve(); });
  }
  ~THttpServer() {
    FStop = true;
    FThread.join();
    close(FSocket);
  }
  int Port() const { return FPort; }
  // What was posted to /result, once it came; empty after seconds.
  std::string WaitForResult(int seconds) {
    std::unique_lock<std::mutex> lock(FLock);
    FPosted.wait_for(lock, std::chrono::seconds(seconds), [this] { return !FResult.empty(); });
    return FResult;
  }

 private:
  void Serve() {
    while (!FStop) {
      pollfd waiting{FSocket, POLLIN, 0};
      if (poll(&waiting, 1, 100) <= 0) continue;
      const int client = accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      Answer(client);
      close(client);
    }
  }

  void Answer(int client) {
    std::string request;
    char buffer[65536];
    size_t end;
    while ((end = request.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<size_t>(got));
    }
    std::istringstream head(request.substr(0, end));
    std::string method, path;
    head >> method >> path;
    size_t length = 0;
    for (std::string line; std::getline(head, line);)
      if (line.rfind("Content-Length:", 0) == 0 || line.rfind("content-length:", 0) == 0)
        length = std::stoul(line.substr(15));
    std::string body = request.substr(end + 4);
    while (body.size() < length) {
      const ssize_t got = recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      body.append(buffer, static_cast<size_t>(got));
    }
    std::string status = "200 OK", type = "text/plain", content;
    if (method == "POST") {
      if (path.rfind("/grab/", 0) == 0) std::ofstream(FFolder + "grab-" + path.substr(6)) << body;
      if (path == "/result") {
        std::lock_guard<std::mutex> lock(FLock);
        FResult = body;
        FPosted.notify_all();
      }
    } else if (path.find("..") == std::string::npos &&
               (content = ReadText(FFolder + path.substr(1)), !content.empty())) {
      const std::map<std::string, std::string> types = {{"html", "text/html"}, {"js", "text/javascript"},
                                                        {"mp4", "video/mp4"},  {"webm", "video/webm"},
                                                        {"gif", "image/gif"},  {"bmp", "image/bmp"}};
      const auto found = types.find(path.substr(path.find_last_of('.') + 1));
      if (found != types.end()) type = found->second;
    } else {
      status = "404 Not Found";
    }
    const std::string answer = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                               "\r\nContent-Length: " + std::to_string(content.size()) +
                               "\r\nConnection: close\r\n\r\n" + content;
    for (size_t sent = 0; sent < answer.size();) {
      const ssize_t n = send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

  std::string FFolder;
  int FSocket = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FPosted;
  std::string FResult;
};

// Chromium without a screen, on its own profile; gone with the object.
class TBrowser {
 public:
  TBrowser(const std::string& url, const TTempFolder& temp) {
    FPid = fork();
    if (FPid == 0) {
      setpgid(0, 0);
      const std::string profile = "--user-data-dir=" + temp.File("profile");
      execlp("chromium", "chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--mute-audio", "--autoplay-policy=no-user-gesture-required", profile.c_str(), url.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~TBrowser() {
    kill(-FPid, SIGKILL);
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }

 private:
  pid_t FPid = -1;
};

class TPictures final : public TShareSource {
 public:
  explicit TPictures(const std::vector<TBitmap>& pictures) : FPictures(pictures) {}
  int32_t Count() const override { return static_cast<int32_t>(FPictures.size()); }
  void Rewind() override {}
  const TBitmap& Picture(int32_t index, bool) override { return FPictures[static_cast<size_t>(index)]; }
  bool Progress(int64_t, int64_t) override { return true; }

 private:
  const std::vector<TBitmap>& FPictures;
};

}  // namespace

TEST(Browser, PlaysEveryFormatAsRecorded) {
  if (system("command -v chromium >/dev/null") != 0) GTEST_SKIP() << "no chromium";
  TTempFolder temp;
  // 401 x 261 at 8 a second, 3 seconds, with sound where the format has
  // it; and a WebM of 400 x 260, a size that SVT-AV1 takes (AV1, not VP9).
  const int32_t count = 24, frameTime = 125;
  const std::string sound = temp.File("sound.wav");
  {
    TWavFile wav(sound);
    std::vector<int16_t> silence(48000 * 2 * 4);
    wav.Append(silence.data(), 48000 * 4);
    wav.Close();
  }
  const struct {
    TVideoFormat Format;
    int32_t Width, Height;
    const char* Name;
  } videos[] = {{TVideoFormat::Mp4, 401, 261, "video.mp4"},
                {TVideoFormat::WebM, 401, 261, "video.webm"},
                {TVideoFormat::WebM, 400, 260, "video-av1.webm"},
                {TVideoFormat::Gif, 401, 261, "video.gif"}};
  const int checked[] = {0, 11, 23};
  std::string cases = "const cases = [\n";
  for (const auto& video : videos) {
    const TBitmap desktop = ScreenLikePicture(video.Width, video.Height, pf32bit);
    std::vector<TBitmap> pictures;
    for (int32_t i = 0; i < count; ++i) {
      TBitmap picture = desktop;
      const int32_t x = i * 12;
      picture.FillRect(TRect(x, 90, x + 100, 150), RGBQUAD{200, 90, 40, 0});
      pictures.push_back(std::move(picture));
    }
    const std::string size = std::to_string(video.Width) + "x" + std::to_string(video.Height);
    for (int i : checked)
      SaveBmpFile(pictures[static_cast<size_t>(i)], temp.File(size + "-" + std::to_string(i) + ".bmp"));
    TShareOptions options;
    options.Format = video.Format;
    options.Width = video.Width;
    options.Height = video.Height;
    options.FrameTime = frameTime;
    if (video.Format != TVideoFormat::Gif) options.SoundFile = sound;
    TPictures source(pictures);
    ASSERT_TRUE(WriteSharedVideo(temp.File(video.Name), options, source));
    cases += "  {file: '" + std::string(video.Name) + "', frameTime: " + std::to_string(frameTime) +
             ", grab: 11, check: [";
    for (int i : checked)
      cases += "[" + std::to_string(i) + ", '" + size + "-" + std::to_string(i) + ".bmp'], ";
    cases += "]},\n";
  }
  std::ofstream(temp.File("cases.js")) << cases << "];\n";
  std::filesystem::copy_file(PELIMAR_BROWSER_PAGE, temp.File("play.html"));

  THttpServer server(temp.Path());
  std::string result;
  {
    TBrowser browser("http://127.0.0.1:" + std::to_string(server.Port()) + "/play.html", temp);
    result = server.WaitForResult(120);
  }
  ASSERT_FALSE(result.empty()) << "the browser said nothing";
  // What the browser showed, to be looked at.
  if (const char* keep = getenv("PELIMAR_KEEP_GRABS"))
    for (const char* file : {"grab-video.mp4.png", "grab-video.webm.png", "grab-video-av1.webm.png",
                             "grab-video.gif.png", "401x261-11.bmp"})
      if (std::filesystem::exists(temp.File(file)))
        std::filesystem::copy_file(temp.File(file), std::string(keep) + "/" + file,
                                   std::filesystem::copy_options::overwrite_existing);
  std::istringstream lines(result);
  int formats = 0;
  for (std::string line; std::getline(lines, line);) {
    SCOPED_TRACE(line);
    std::istringstream fields(line);
    std::string file, frames, repeat;
    double duration = 0;
    int shownWidth = 0, shownHeight = 0;
    fields >> file >> duration >> shownWidth >> shownHeight >> frames >> repeat;
    ASSERT_FALSE(fields.fail()) << "not played";
    ++formats;
    std::printf("browser: %s\n", line.c_str());
    EXPECT_NEAR(duration, count * frameTime / 1000.0, frameTime / 1000.0);
    // The MP4 is one pixel larger each way; the page compares the recorded part.
    const bool mp4 = file == "video.mp4", av1 = file == "video-av1.webm";
    EXPECT_EQ(shownWidth, mp4 ? 402 : av1 ? 400 : 401);
    EXPECT_EQ(shownHeight, mp4 ? 262 : av1 ? 260 : 261);
    if (file == "video.gif") {
      EXPECT_EQ(frames, std::to_string(count));
      EXPECT_EQ(repeat, "Infinity");  // played again and again
    }
    double psnr = 0;
    int compared = 0;
    while (fields >> psnr) {
      EXPECT_GE(psnr, 30);
      ++compared;
    }
    EXPECT_EQ(compared, 3);
    EXPECT_TRUE(std::filesystem::exists(temp.File("grab-" + file + ".png")));
  }
  EXPECT_EQ(formats, 4);
}
