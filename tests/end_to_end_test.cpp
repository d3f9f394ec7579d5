// The real program on a screen of its own, driven only with xdotool, as a
// user would: choose an area, record about two seconds, stop, close.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "image/picture_files.h"
#include "test_support.h"
#include "x_server.h"

namespace {

// Large flat blocks, which JPEG keeps close to their colours.
uint32_t Blocks(int32_t x, int32_t y) {
  return (static_cast<uint32_t>((x / 40) * 37 & 0xFF) << 16) |
         (static_cast<uint32_t>((y / 40) * 53 & 0xFF) << 8) |
         static_cast<uint32_t>(((x / 40 + y / 40) * 29) & 0xFF);
}

std::vector<std::string> Pictures(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("daw", 0) == 0 && entry.path().extension() == ".jpg")
      files.push_back(entry.path().string());
  }
  return files;
}

void Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

TEST(EndToEnd, RecordAnAreaForTwoSecondsWithXdotool) {
  TXServer server(1024, 768);
  TTempFolder temp;
  server.PaintRoot(Blocks);

  pid_t program = fork();
  if (program == 0) {
    setenv("DISPLAY", server.Name().c_str(), 1);
    setenv("TMPDIR", temp.Path().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
    execl(PELIMAR_EXE, PELIMAR_EXE, static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(program, 0);
  struct TStop {
    pid_t Pid;
    ~TStop() {
      if (Pid > 0 && waitpid(Pid, nullptr, WNOHANG) == 0) {
        kill(Pid, SIGKILL);
        waitpid(Pid, nullptr, 0);
      }
    }
  } stop{program};

  // Where the window is: the buttons lie at their design places in it.
  std::string window =
      server.Run("timeout 20 xdotool search --sync --onlyvisible --name '^Pelimar 1.0$' | head -1");
  std::istringstream geometry(server.Run("xdotool getwindowgeometry --shell " + window));
  int left = -1, top = -1;
  for (std::string line; std::getline(geometry, line);) {
    if (line.rfind("X=", 0) == 0) left = std::stoi(line.substr(2));
    if (line.rfind("Y=", 0) == 0) top = std::stoi(line.substr(2));
  }
  ASSERT_EQ(left, 1024 - 252);
  ASSERT_EQ(top, 0);
  auto press = [&](int buttonTop) {
    server.Run("xdotool mousemove " + std::to_string(left + 120) + " " +
               std::to_string(top + buttonTop + 20) + " click 1");
  };

  press(4);  // "Set recording area"
  Pause(700);
  // The default size is 320 x 240, dragged by its top-left corner.
  server.Run("xdotool mousemove 100 100 mousedown 1 mousemove 130 110 mousemove 150 120 mouseup 1");
  Pause(300);
  press(43);  // "&Start recording..."
  Pause(2000);
  press(82);  // "S&top recording"
  Pause(300);

  std::vector<std::string> pictures = Pictures(temp.Path());
  // Eight a second for about two seconds.
  EXPECT_GE(pictures.size(), 8u);
  EXPECT_LE(pictures.size(), 24u);
  for (const std::string& path : pictures) {
    TBitmap picture = LoadJpegFile(path);
    ASSERT_EQ(picture.Width(), 320);
    ASSERT_EQ(picture.Height(), 240);
    // The screen at (150, 120), within JPEG's error.
    double total = 0;
    for (int32_t y = 0; y < 240; ++y)
      for (int32_t x = 0; x < 320; ++x) {
        RGBQUAD c = picture.Pixel(x, y);
        uint32_t want = Blocks(150 + x, 120 + y);
        total += std::abs(c.rgbRed - static_cast<int>(want >> 16)) +
                 std::abs(c.rgbGreen - static_cast<int>((want >> 8) & 0xFF)) +
                 std::abs(c.rgbBlue - static_cast<int>(want & 0xFF));
      }
    EXPECT_LT(total / (320 * 240 * 3), 4.0) << path;
  }

  // Closing the window deletes the pictures.
  server.CloseWindow("Pelimar 1.0");
  int status = -1;
  for (int i = 0; i < 100 && waitpid(program, &status, WNOHANG) == 0; ++i) Pause(100);
  stop.Pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Pictures(temp.Path()).empty());
}
