// The real program on a screen of its own, driven only with xdotool, as a
// user would: choose an area, record about two seconds, stop, close.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "base/wintypes.h"
#include "image/picture_files.h"
#include "platform/recording_folder.h"
#include "platform/registry.h"
#include "sound_server.h"
#include "test_support.h"
#include "x_server.h"

namespace {

// Large flat blocks, which JPEG keeps close to their colours.
uint32_t Blocks(int32_t x, int32_t y) {
  return (static_cast<uint32_t>((x / 40) * 37 & 0xFF) << 16) |
         (static_cast<uint32_t>((y / 40) * 53 & 0xFF) << 8) |
         static_cast<uint32_t>(((x / 40 + y / 40) * 29) & 0xFF);
}

// The settings dialog's OK button, in the dialog.
constexpr int kOkX = 262, kOkY = 364;

void Pause(int milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// The real program on the test's screen, with its temporary pictures and
// its settings in the test's folder.
class TProgram {
 public:
  TProgram(const TXServer& server, const TTempFolder& temp) : FServer(server) {
    FPid = fork();
    if (FPid == 0) {
      setenv("DISPLAY", server.Name().c_str(), 1);
      setenv("TMPDIR", temp.Path().c_str(), 1);
      setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
      setenv("XDG_CONFIG_HOME", temp.Path().c_str(), 1);
      execl(PELIMAR_EXE, PELIMAR_EXE, static_cast<char*>(nullptr));
      _exit(127);
    }
    if (FPid < 0) throw std::runtime_error("cannot start the program");
    // Where the window is: the buttons lie at their design places in it.
    Geometry(Find("Pelimar 1.0"), Left, Top);
  }
  ~TProgram() { Kill(); }
  // Ends the program as kill -9 does: nothing of its own runs.
  void Kill() {
    if (FPid > 0 && waitpid(FPid, nullptr, WNOHANG) == 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
  }
  // True when the program ends by itself within seconds, whatever its status.
  bool Ends(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        return true;
      }
      Pause(100);
    }
    return false;
  }

  // A shown window by its whole title, waiting for it to appear.
  std::string Find(const std::string& title) const {
    std::string window =
        FServer.Run("timeout 20 xdotool search --sync --onlyvisible --name '^" + title + "$' | head -1");
    while (!window.empty() && std::isspace(static_cast<unsigned char>(window.back()))) window.pop_back();
    return window;
  }
  // Position of a window.
  void Geometry(const std::string& window, int& left, int& top) const {
    std::istringstream geometry(FServer.Run("xdotool getwindowgeometry --shell " + window));
    left = top = -1;
    for (std::string line; std::getline(geometry, line);) {
      if (line.rfind("X=", 0) == 0) left = std::stoi(line.substr(2));
      if (line.rfind("Y=", 0) == 0) top = std::stoi(line.substr(2));
    }
  }
  void Click(int x, int y) const {
    FServer.Run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
  }
  // A button of the main window, by the top of its design place.
  void Press(int buttonTop) const { Click(Left + 120, Top + buttonTop + 20); }
  // Closes the main window as the window manager would; true when the
  // program then ends by itself without an error.
  bool Close() {
    FServer.CloseWindow("Pelimar 1.0");
    int status = -1;
    for (int i = 0; i < 100 && waitpid(FPid, &status, WNOHANG) == 0; ++i) Pause(100);
    FPid = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  int Left = -1;
  int Top = -1;

 private:
  const TXServer& FServer;
  pid_t FPid = -1;
};

}  // namespace

TEST(EndToEnd, RecordAnAreaForTwoSecondsWithXdotool) {
  TXServer server(1024, 768);
  TTempFolder temp;
  server.PaintRoot(Blocks);
  TProgram program(server, temp);
  ASSERT_EQ(program.Left, 1024 - 252);
  ASSERT_EQ(program.Top, 0);
  auto press = [&](int buttonTop) { program.Press(buttonTop); };

  press(4);  // "Set recording area"
  Pause(700);
  // The default size is 320 x 240, dragged by its top-left corner.
  server.Run("xdotool mousemove 100 100 mousedown 1 mousemove 130 110 mousemove 150 120 mouseup 1");
  Pause(300);
  press(43);  // "&Start recording..."
  Pause(2000);
  press(82);  // "S&top recording"
  Pause(300);

  std::vector<std::string> pictures = PictureFilesUnder(temp.Path());
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

  // Closing the window deletes the pictures, with their folder.
  EXPECT_TRUE(program.Close());
  EXPECT_TRUE(EverythingUnder(temp.Path() + "pelimar-" + std::to_string(geteuid())).empty());
}

namespace {

// What the settings dialog shows of each of its settings but the hotkeys: the pixels
// inside each control, clear of focus frames, as an image file's checksum.
std::vector<std::string> ShownSettings(const TXServer& server, const TProgram& program,
                                       const TTempFolder& temp) {
  program.Press(160);  // "Setti&ngs..."
  const std::string dialog = program.Find("Settings");
  server.Run("xdotool mousemove 0 760");  // no control under the pointer
  Pause(300);
  const std::string shot = temp.File("settings.png");
  server.Run("import -window " + dialog + " " + shot);
  const char* crops[] = {"10x10+22+33",   "10x10+22+55",   "10x10+22+77",   "40x14+161+102",
                         "200x14+23+179", "200x14+23+220", "200x14+23+261", "200x14+282+32",
                         "30x14+420+90",  "10x10+281+118", "140x14+161+317"};
  std::vector<std::string> shown;
  for (const char* crop : crops)
    shown.push_back(
        RunCommand("convert " + shot + " -crop " + std::string(crop) + " +repage -depth 8 rgb:- | md5sum"));
  int left = -1, top = -1;
  program.Geometry(dialog, left, top);
  program.Click(left + kOkX, top + kOkY);  // OK
  Pause(300);
  return shown;
}

std::map<std::string, uint32_t> StoredSettings(const TTempFolder& temp) {
  std::ifstream in(temp.File("pelimar/HKEY_CURRENT_USER.reg"), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  THive hive;
  if (!THive::Parse(text.str(), hive)) return {};
  std::map<std::string, uint32_t> values;
  for (const TRegValue& value : hive.Values("software\\quorvane\\sorvek")) {
    if (value.Type != TRegType::Dword || value.Data.size() != 4) continue;
    values[value.Name] = GetLE32(value.Data.data());
  }
  return values;
}

}  // namespace

TEST(EndToEnd, SettingsChangedInTheDialogComeBackAtTheNextStart) {
  TXServer server(1024, 768);
  TTempFolder temp;
  std::vector<std::string> defaults, changed;
  {
    TProgram program(server, temp);
    defaults = ShownSettings(server, program, temp);
    program.Press(160);
    const std::string dialog = program.Find("Settings");
    int left = -1, top = -1;
    program.Geometry(dialog, left, top);
    auto click = [&](int x, int y) {
      program.Click(left + x, top + y);
      Pause(200);
    };
    click(27, 38);  // "Include cursor" off
    click(27, 60);  // "Use JPEg compression" off
    click(27, 82);  // "Show area while recording" off
    click(180, 109);
    server.Run("xdotool key ctrl+a type 13");
    server.Run("xdotool key Tab");
    click(133, 186);  // "640 x 480", the line below "320 x 240"
    server.Run("xdotool key Down Return");
    Pause(200);
    click(133, 227);  // "24 bit", the line above "32 bit"
    server.Run("xdotool key Up Return");
    Pause(200);
    click(133, 268);  // the first compressor after "No Compression"
    server.Run("xdotool key Home Down Return");
    Pause(200);
    click(392, 39);  // the last sound source, "Microphone and desktop audio"
    server.Run("xdotool key End Return");
    Pause(200);
    click(447, 97);  // "Delay before recording"
    server.Run("xdotool key ctrl+a type 4");
    click(286, 122);  // "Hide this window while recording" on
    click(243, 323);  // the quality of MP4, WebM and GIF: "Sharp"
    server.Run("xdotool key End Return");
    Pause(200);
    click(kOkX, kOkY);  // OK
    changed = ShownSettings(server, program, temp);
    for (size_t i = 0; i < changed.size(); ++i) EXPECT_NE(changed[i], defaults[i]) << "setting " << i;
    EXPECT_TRUE(program.Close());
  }
  const std::map<std::string, uint32_t> stored = StoredSettings(temp);
  const std::map<std::string, uint32_t> expected = {
      {"IncludeCursor", 0},  {"UseJpegFormat", 0},      {"FPS", 13},        {"VideoSize", 2},
      {"PixelFormat", 5},    {"Compression", 1},        {"ShowArea", 0},    {"Sound", 3},
      {"RecordingDelay", 4}, {"HideWhileRecording", 1}, {"ShareQuality", 2}};
  EXPECT_EQ(stored, expected);
  {
    TProgram program(server, temp);
    EXPECT_EQ(ShownSettings(server, program, temp), changed);
    EXPECT_TRUE(program.Close());
  }
  EXPECT_EQ(StoredSettings(temp), expected);
}

namespace {

// Mean difference per colour channel between a frame of 24-bit BGR rows,
// top row first, and a picture.
double MeanDifference(const std::string& frame, const TBitmap& picture) {
  if (frame.size() != static_cast<size_t>(picture.Width()) * picture.Height() * 3) return 1e9;
  double total = 0;
  size_t at = 0;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      RGBQUAD c = picture.Pixel(x, y);
      total += std::abs(static_cast<uint8_t>(frame[at]) - c.rgbBlue) +
               std::abs(static_cast<uint8_t>(frame[at + 1]) - c.rgbGreen) +
               std::abs(static_cast<uint8_t>(frame[at + 2]) - c.rgbRed);
      at += 3;
    }
  return total / (static_cast<double>(picture.Width()) * picture.Height() * 3);
}

// Types path into the file dialog, over what it proposes, and presses Return.
void AnswerTheFileDialog(const TXServer& server, const TProgram& program, const std::string& path) {
  const std::string dialog = program.Find("Save As");
  server.Run("xdotool key --window " + dialog + " ctrl+a");
  server.Run("xdotool type --delay 5 '" + path + "'");
  server.Run("xdotool key Return");
}

// Picks a line of one of the settings dialog's lists with the keyboard.
void PickInSettings(const TXServer& server, const TProgram& program, int listTop, const std::string& keys) {
  program.Press(160);  // "Setti&ngs..."
  int left = -1, top = -1;
  program.Geometry(program.Find("Settings"), left, top);
  program.Click(left + 133, top + listTop);
  Pause(200);
  server.Run("xdotool key " + keys + " Return");
  Pause(200);
  program.Click(left + kOkX, top + kOkY);  // OK
  Pause(300);
}

}  // namespace

TEST(EndToEnd, RecordingsAreSavedThroughTheFileDialogAsAviFiles) {
  TXServer server(1024, 768);
  TTempFolder temp;
  server.PaintRoot(Blocks);
  TProgram program(server, temp);

  program.Press(4);  // "Set recording area"
  Pause(700);
  server.Run("xdotool mousemove 100 100 mousedown 1 mousemove 130 110 mousemove 150 120 mouseup 1");
  Pause(300);
  program.Press(4);  // the overlay closes; the area stays
  Pause(300);

  struct TCase {
    const char* name;
    int list;          // the settings list to change first, by its top, or 0
    const char* keys;  // the keys that pick its line
    const char* codec;
    TPixelFormat depth;
    double tolerance;  // mean difference per channel from the first picture
  } cases[] = {
      {"raw32.avi", 0, "", "rawvideo", pf32bit, 0},
      {"raw8.avi", 227, "Up Up Up Up", "rawvideo", pf8bit, 0},
      {"mjpg.avi", 227, "Down Down Down Down", "mjpeg", pf32bit, 3},
      {"h264.avi", 268, "Home Down Down", "h264", pf32bit, 4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.list) PickInSettings(server, program, c.list, c.keys);
    if (std::string(c.codec) == "mjpeg") PickInSettings(server, program, 268, "Home Down");
    program.Press(43);  // "&Start recording..."
    Pause(3000);
    program.Press(82);  // "S&top recording"
    Pause(300);
    const std::vector<std::string> pictures = PictureFilesUnder(temp.Path());
    ASSERT_GE(pictures.size(), 12u);  // eight a second for about three seconds
    ASSERT_LE(pictures.size(), 36u);
    TBitmap first = LoadJpegFile(pictures[0], pf32bit);
    if (c.depth == pf8bit) first.SetPixelFormat(pf8bit);  // the standard colours, as the video has them

    program.Press(121);  // "S&ave recording to disk..."
    const std::string path = temp.File(c.name);
    AnswerTheFileDialog(server, program, path);
    for (int i = 0; i < 200 && !PictureFilesUnder(temp.Path()).empty(); ++i) Pause(100);
    ASSERT_TRUE(PictureFilesUnder(temp.Path()).empty()) << "the export did not finish";

    EXPECT_EQ(ProbeVideo(path), "codec_name=" + std::string(c.codec) +
                                    "\nwidth=320\nheight=240\ntime_base=1/8\n" +
                                    "nb_read_frames=" + std::to_string(pictures.size()) + "\n");
    const std::string frame =
        RunCommand("ffmpeg -v error -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
    EXPECT_LE(MeanDifference(frame, first), c.tolerance);
  }
  EXPECT_TRUE(program.Close());
}

namespace {

// Waits for a file whose name starts with prefix to be made in folder;
// false when none comes within seconds.
class TCreationWatch {
 public:
  explicit TCreationWatch(const std::string& folder) : FFd(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    inotify_add_watch(FFd, folder.c_str(), IN_CREATE);
  }
  ~TCreationWatch() { ::close(FFd); }
  bool Wait(const std::string& prefix, int seconds) {
    alignas(inotify_event) char buffer[8192];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{FFd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(FFd, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return false;
  }

 private:
  int FFd;
};

std::string RecordingsOf(const TTempFolder& temp) {
  return temp.File("pelimar-" + std::to_string(geteuid()));
}

// The pictures of the recording that a dead program left, as its journal
// lists them: a picture it was killed while writing is not among them.
size_t OfferedPictures(const TTempFolder& temp) {
  TScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
  std::vector<std::unique_ptr<TRecordingFolder>> left = TRecordingFolder::Abandoned();
  return left.size() == 1 ? left[0]->Journal().Pictures.size() : 0;
}

// What a crash left, as paths below the temporary folder and the targets'.
std::string Left(const TTempFolder& temp) {
  std::string listing;
  for (const std::string& path : EverythingUnder(temp.Path())) {
    if (path.find("/pelimar/") != std::string::npos) continue;  // the settings
    std::string shown = path.substr(temp.Path().size());
    const size_t number = shown.find("recording-");
    if (number != std::string::npos) shown.replace(number + 10, 6, "XXXXXX");
    const size_t hidden = shown.find(".pelimar-");
    if (hidden != std::string::npos && shown.find('/', hidden) == std::string::npos)
      shown.replace(hidden + 9, 6, "XXXXXX");
    listing += shown + "\n";
  }
  return listing;
}

// Waits until count windows titled title are shown; false when that does
// not come about within 20 seconds.
bool WaitForWindows(const TXServer& server, const std::string& title, size_t count) {
  for (int i = 0; i < 200; ++i) {
    const std::string found = server.Run("xdotool search --onlyvisible --name '^" + title + "$' || true");
    if (static_cast<size_t>(std::count(found.begin(), found.end(), '\n')) == count) return true;
    Pause(100);
  }
  return false;
}

// Sets an area of 640 x 480 (the second fixed size) at (150, 120), picks
// MJPG and 20 pictures a second, so that an export takes a while, and
// records until there are at least pictures of them.
void RecordPictures(const TXServer& server, TProgram& program, const TTempFolder& temp, size_t pictures) {
  PickInSettings(server, program, 186, "Home Down Down");  // "640 x 480"
  PickInSettings(server, program, 268, "Home Down");       // "MJPG"
  program.Press(160);                                      // "Setti&ngs..."
  int left = -1, top = -1;
  program.Geometry(program.Find("Settings"), left, top);
  program.Click(left + 180, top + 109);  // "Frames per second"
  server.Run("xdotool key ctrl+a type 20");
  server.Run("xdotool key Tab");
  program.Click(left + kOkX, top + kOkY);  // OK
  Pause(300);
  program.Press(4);
  Pause(700);
  server.Run("xdotool mousemove 100 100 mousedown 1 mousemove 130 110 mousemove 150 120 mouseup 1");
  Pause(300);
  program.Press(43);  // "&Start recording..."
  for (int i = 0; i < 300 && PictureFilesUnder(temp.Path()).size() < pictures; ++i) Pause(100);
}

// Answers the file dialog with path (and yes to replacing a file), then
// waits until the recording is saved: its folder gone.
void SaveThroughTheDialog(const TXServer& server, const TProgram& program, const TTempFolder& temp,
                          const std::string& path, bool replace) {
  AnswerTheFileDialog(server, program, path);
  if (replace) {
    ASSERT_TRUE(WaitForWindows(server, "Save As", 2));  // the dialog and its question
    server.Run("xdotool key alt+y");
  }
  for (int i = 0; i < 300 && !PictureFilesUnder(temp.Path()).empty(); ++i) Pause(100);
}

// The next start offers the recording; "Save..." (the default button)
// makes a video of every picture from it.
void SaveTheOfferedRecording(const TXServer& server, const TTempFolder& temp, size_t pictures,
                             const std::string& path, bool replace) {
  TProgram program(server, temp);
  const std::string box = program.Find("Pelimar");
  ASSERT_FALSE(box.empty()) << "no recording was offered";
  // Offered, the dead program's half-written files are gone already.
  EXPECT_EQ(Left(temp).find("AWTemp"), std::string::npos) << Left(temp);
  EXPECT_EQ(Left(temp).find(".pelimar-"), std::string::npos) << Left(temp);
  server.Run("xdotool key Return");  // the box has the focus; it is gone before the key is let go
  SaveThroughTheDialog(server, program, temp, path, replace);
  EXPECT_TRUE(PictureFilesUnder(temp.Path()).empty());
  // The settings of a program that was killed were never kept: the new
  // one saves with its own, no compression, at 20 a second.
  EXPECT_EQ(ProbeVideo(path), "codec_name=rawvideo\nwidth=640\nheight=480\ntime_base=1/20\nnb_read_frames=" +
                                  std::to_string(pictures) + "\n");
  EXPECT_TRUE(program.Close());
  EXPECT_TRUE(EverythingUnder(RecordingsOf(temp)).empty());
}

}  // namespace

// kill -9 while recording: the pictures and the journal are left;
// the next start offers them, and "Save..." makes the video.
TEST(EndToEnd, ARecordingOfAProgramKilledWhileRecordingIsOfferedAndSaved) {
  TXServer server(1280, 1024);
  TTempFolder temp;
  server.PaintRoot(Blocks);
  size_t pictures = 0;
  {
    TProgram program(server, temp);
    RecordPictures(server, program, temp, 21);  // the one written at the kill may not count
    program.Kill();
    pictures = OfferedPictures(temp);
    std::cout << "Left by kill -9 while recording:\n" << Left(temp);
  }
  ASSERT_GE(pictures, 20u);
  SaveTheOfferedRecording(server, temp, pictures, temp.File("recorded.avi"), false);
}

// kill -9 while the pictures go into the intermediate file: "Later" keeps
// the recording (its half-written intermediate file goes); the start after
// offers it again.
TEST(EndToEnd, ARecordingOfAProgramKilledWhileExportingIsKeptForLater) {
  TXServer server(1280, 1024);
  TTempFolder temp;
  server.PaintRoot(Blocks);
  size_t pictures = 0;
  {
    TProgram program(server, temp);
    RecordPictures(server, program, temp, 40);
    program.Press(82);  // "S&top recording"
    Pause(300);
    pictures = PictureFilesUnder(temp.Path()).size();
    // The pictures go straight into a hidden file beside the target.
    TCreationWatch watch(temp.Path());
    program.Press(121);  // "S&ave recording to disk..."
    AnswerTheFileDialog(server, program, temp.File("exported.avi"));
    ASSERT_TRUE(watch.Wait(".exported.avi.pelimar-", 20));
    program.Kill();
    std::cout << "Left by kill -9 while exporting:\n" << Left(temp);
    EXPECT_NE(Left(temp).find(".exported.avi.pelimar-"), std::string::npos);
  }
  {
    TProgram program(server, temp);
    const std::string box = program.Find("Pelimar");
    ASSERT_FALSE(box.empty());
    server.Run("xdotool key Escape");  // "Later"
    ASSERT_TRUE(WaitForWindows(server, "Pelimar", 0));
    EXPECT_EQ(PictureFilesUnder(temp.Path()).size(), pictures);
    EXPECT_EQ(Left(temp).find(".exported.avi.pelimar-"), std::string::npos);
    EXPECT_TRUE(program.Close());
  }
  EXPECT_EQ(PictureFilesUnder(temp.Path()).size(), pictures);
  EXPECT_FALSE(std::filesystem::exists(temp.File("exported.avi")));
  SaveTheOfferedRecording(server, temp, pictures, temp.File("exported.avi"), false);
}

// kill -9 while the video is written beside the file it replaces: the old
// file stays whole, the hidden half-written one goes at the next start.
TEST(EndToEnd, AProgramKilledWhileSavingLeavesTheOldFileWhole) {
  TXServer server(1280, 1024);
  TTempFolder temp;
  server.PaintRoot(Blocks);
  const std::string target = temp.File("saved.avi");
  std::ofstream(target) << "the video saved before";
  size_t pictures = 0;
  {
    TProgram program(server, temp);
    RecordPictures(server, program, temp, 40);
    program.Press(82);  // "S&top recording"
    Pause(300);
    pictures = PictureFilesUnder(temp.Path()).size();
    TCreationWatch watch(temp.Path());
    program.Press(121);  // "S&ave recording to disk..."
    AnswerTheFileDialog(server, program, target);
    ASSERT_TRUE(WaitForWindows(server, "Save As", 2));
    server.Run("xdotool key alt+y");  // replace it
    ASSERT_TRUE(watch.Wait(".saved.avi.pelimar-", 30));
    program.Kill();
    std::cout << "Left by kill -9 while saving:\n" << Left(temp);
    EXPECT_NE(Left(temp).find(".saved.avi.pelimar-XXXXXX"), std::string::npos);
  }
  std::ifstream old(target);
  std::string text;
  std::getline(old, text);
  EXPECT_EQ(text, "the video saved before");
  SaveTheOfferedRecording(server, temp, pictures, target, true);
}

// The X server goes away during a recording: the program ends, and on the
// next screen the recording is offered.
TEST(EndToEnd, ARecordingSurvivesItsXServer) {
  TTempFolder temp;
  size_t pictures = 0;
  {
    auto server = std::make_unique<TXServer>(1280, 1024);
    server->PaintRoot(Blocks);
    TProgram program(*server, temp);
    RecordPictures(*server, program, temp, 21);  // the one written at the end may not count
    server.reset();
    EXPECT_TRUE(program.Ends(20));
    pictures = OfferedPictures(temp);
    std::cout << "Left when the X server died during a recording:\n" << Left(temp);
  }
  ASSERT_GE(pictures, 20u);
  TXServer server(1280, 1024);
  server.PaintRoot(Blocks);
  SaveTheOfferedRecording(server, temp, pictures, temp.File("survived.avi"), false);
}

// kill -9 while recording desktop audio: the recording offered at the next
// start is saved with its sound, lined up with its pictures as a stopped
// recording's is: each click within a frame time of the picture where the
// screen changed with it, the last one in the second the sound file's
// header had not yet counted.
TEST(EndToEnd, ARecordingWithSoundOfAKilledProgramKeepsItsSound) {
  TXServer server(1024, 768);
  TTempFolder temp;
  TSoundServer sound;
  const std::string click = temp.File("click.wav");
  RunCommand("sox -n -r 48000 -c 2 -b 16 '" + click + "' synth 0.02 square 700 vol 0.9");
  auto paint = [&](uint32_t grey) {
    server.PaintRoot([grey](int32_t, int32_t) { return grey * 0x010101u; });
  };
  paint(0x20);
  {
    // Its settings as a first close keeps them, then with sound.
    ASSERT_TRUE(TProgram(server, temp).Close());
    TScopedEnv config("XDG_CONFIG_HOME", temp.Path().c_str());
    TRegistry settings;
    ASSERT_TRUE(settings.OpenKey("software\\quorvane\\Sorvek", true));
    settings.WriteValues({TRegistry::IntegerValue("FPS", 8), TRegistry::IntegerValue("Sound", 2),
                          TRegistry::IntegerValue("IncludeCursor", 0)});
  }
  {
    TProgram program(server, temp);
    program.Press(4);  // "Set recording area"
    Pause(700);
    server.Run("xdotool mousemove 100 100 mousedown 1 mousemove 130 110 mousemove 150 120 mouseup 1");
    Pause(300);
    program.Press(43);  // "&Start recording..."
    server.Run("xdotool mousemove 0 760");
    // A fresh null output takes its first seconds to run at a low latency.
    Pause(1500);
    for (int flip = 0; flip < 4; ++flip) {
      Pause(1700);
      paint(flip % 2 ? 0x20 : 0xE0);
      sound.Play(click, "desktop");
    }
    Pause(500);
    program.Kill();
  }
  ASSERT_GT(OfferedPictures(temp), 60u);
  const std::string avi = temp.File("recovered.avi");
  {
    TProgram program(server, temp);
    ASSERT_FALSE(program.Find("Pelimar").empty()) << "no recording was offered";
    server.Run("xdotool key Return");  // "Save..."
    SaveThroughTheDialog(server, program, temp, avi, false);
    EXPECT_TRUE(program.Close());
  }
  const std::vector<double> changes = ColourChanges(avi, 125), clicks = Clicks(avi);
  ASSERT_EQ(changes.size(), 4u);
  ASSERT_EQ(clicks.size(), 4u) << RunCommand("ffprobe -v error -show_streams '" + avi + "'");
  double worst = 0, sum = 0;
  for (size_t i = 0; i < 4; ++i) {
    const double offset = clicks[i] - changes[i];
    EXPECT_LE(std::abs(offset), 0.125) << "click " << i << " is " << offset * 1000 << " ms from its picture";
    worst = std::max(worst, std::abs(offset));
    sum += offset;
  }
  std::cout << "Recovered with its sound: mean offset " << sum / 4 * 1000 << " ms, worst " << worst * 1000
            << " ms\n";
}
