// The AVI writer component, with ffprobe and our reader checking its files.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "base/exception.h"
#include "base/file.h"
#include "image/bitmap.h"
#include "sample_pictures.h"
#include "test_support.h"
#include "vfw/vfw.h"
#include "writer/AviFileWriter.h"
#include "x_server.h"

namespace {

// Each test has a screen of 1366 x 768 and a temporary folder of its own.
class WriterTest : public ::testing::Test {
 protected:
  WriterTest()
      : Server(1366, 768), Display("DISPLAY", Server.Name().c_str()), Tmp("TMPDIR", Folder.Path().c_str()) {}
  TXServer Server;
  TTempFolder Folder;
  TScopedEnv Display;
  TScopedEnv Tmp;
};

TBitmap Picture(int32_t width, int32_t height, int index) {
  TBitmap picture = ScreenLikePicture(width, height, pf32bit);
  picture.FillRect(TRect(index % width, 0, index % width + 3, 3), RGBQUAD{0, 0, 255, 0});  // a moving mark
  return picture;
}

std::map<std::string, std::string> Probe(const std::string& path) {
  std::istringstream out(
      RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                 "stream=codec_name,nb_read_frames,r_frame_rate,time_base,width,height "
                 "-of default=nw=1 '" +
                 path + "'"));
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(out, line);)
    if (auto eq = line.find('='); eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  return fields;
}

int OpenFiles() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++count;
    closedir(dir);
  }
  return count;
}

std::vector<uint8_t> ReadFrame(const std::string& path, LONG index) {
  PAVIFILE file = nullptr;
  PAVISTREAM stream = nullptr;
  std::vector<uint8_t> frame;
  if (AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr) != AVIERR_OK) return frame;
  if (AVIFileGetStream(file, &stream, streamtypeVIDEO, 0) == AVIERR_OK) {
    LONG bytes = 0;
    AVIStreamRead(stream, index, 1, nullptr, 0, &bytes, nullptr);
    frame.resize(static_cast<size_t>(bytes));
    AVIStreamRead(stream, index, 1, frame.data(), bytes, &bytes, nullptr);
    AVIStreamRelease(stream);
  }
  AVIFileRelease(file);
  return frame;
}

}  // namespace

TEST_F(WriterTest, DefaultsComeFromThePrimaryScreenAndTheTempFolder) {
  TAviFileWriter writer;
  EXPECT_EQ(writer.Width(), 136);
  EXPECT_EQ(writer.Height(), 76);
  EXPECT_EQ(writer.FrameTime(), 1000);
  EXPECT_TRUE(writer.Stretch());
  EXPECT_EQ(writer.PixelFormat(), pf24bit);
  EXPECT_TRUE(writer.CompressOnTheFly());
  EXPECT_EQ(writer.TempFileName(), Folder.Path() + "~AWTemp.avi");
  {
    TScopedEnv bare("TMPDIR", (Folder.Path() + "x").c_str());  // no trailing separator
    EXPECT_EQ(TAviFileWriter().TempFileName(), Folder.Path() + "x/~AWTemp.avi");
  }
  for (TPixelFormat refused : {pfDevice, pf15bit, pf16bit, pfCustom}) {
    writer.SetPixelFormat(pf8bit);
    EXPECT_EQ(Message([&] { writer.SetPixelFormat(refused); }), "Pixelformat not supported");
    EXPECT_EQ(writer.PixelFormat(), pf8bit);
  }
  for (TPixelFormat taken : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
    writer.SetPixelFormat(taken);
    EXPECT_EQ(writer.PixelFormat(), taken);
  }
  EXPECT_EQ(FourCCToText(0x63646976), "vidc");
  EXPECT_EQ(KeyFrameEvery(125), 8u);
  EXPECT_EQ(KeyFrameEvery(333), 3u);
  EXPECT_EQ(KeyFrameEvery(400), 2u);
  EXPECT_EQ(KeyFrameEvery(2000), 0u);
  // The save's frame counts at 100 per cent.
  EXPECT_EQ(SaveProgressFrames(5, 100), 4);
  EXPECT_EQ(SaveProgressFrames(7, 100), 7);
  EXPECT_EQ(SaveProgressFrames(10, 100), 9);
  EXPECT_EQ(SaveProgressFrames(20, 100), 19);
  EXPECT_EQ(SaveProgressFrames(45, 100), 45);
}

TEST_F(WriterTest, OrderAndStateAreEnforcedWithTheirMessages) {
  TAviFileWriter writer;
  EXPECT_EQ(Message([&] { writer.AddFrame(Picture(8, 8, 0)); }), "Video must be initialized.");
  writer.Setfilename(Folder.File("out.avi"));
  writer.InitVideo();
  writer.AddFrame(Picture(8, 8, 0));
  EXPECT_EQ(Message([&] { writer.WriteAvi(); }), "Video must be finalized");
  writer.Setfilename(Folder.File("missing/out.avi"));
  EXPECT_EQ(Message([&] { writer.InitVideo(); }).rfind("Failed to create AVI video file. Err: $8004406F", 0),
            0u);

  // The catalogue: "No Compression", then code, blank, name.
  writer.SetPixelFormat(pf32bit);
  std::vector<std::string> lines;
  writer.GetCompressorList(lines);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "No Compression");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "MJPG Motion JPEG"), lines.end());
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i][4], ' ') << lines[i];
  writer.SetCompression("MJPGXYZ");
  EXPECT_EQ(writer.FourCC(), "MJPG");
  EXPECT_EQ(Message([&] { writer.SetCompression("zzzzz"); }), "No compressor for zzzz available");
  EXPECT_EQ(writer.FourCC(), "");  // the earlier choice is gone too
  writer.SetCompression("");
  EXPECT_EQ(writer.FourCC(), "");
  writer.ShowCompressorDialog(0);  // no dialog, nothing happens
}

TEST_F(WriterTest, PicturesAreCentredOnBlackAndProgressIsReported) {
  TAviFileWriter writer;
  writer.SetCompressOnTheFly(false);
  writer.SetStretch(false);
  writer.SetWidth(100);
  writer.SetHeight(100);
  writer.SetFrameTime(125);
  writer.SetPixelFormat(pf24bit);
  writer.Setfilename(Folder.File("centred.avi"));
  std::vector<int32_t> reports;
  writer.OnProgress = [&](TAviFileWriter&, int32_t count, bool&) { reports.push_back(count); };
  writer.InitVideo();
  TBitmap picture(97, 103, pf24bit);
  picture.FillRect(TRect(0, 0, 97, 103), RGBQUAD{255, 255, 255, 0});
  for (int i = 0; i < 45; ++i) writer.AddFrame(picture);
  EXPECT_EQ(reports, (std::vector<int32_t>{20, 40}));
  writer.FinalizeVideo();
  writer.WriteAvi();
  EXPECT_EQ(reports.back(), 45);  // the save reports 45 at 100 per cent
  EXPECT_EQ(reports[2], 0);
  EXPECT_FALSE(FileExists(writer.TempFileName()));
  // One black column on the left, two on the right, nothing cut at the sides:
  // rows are cut, one at the top and two at the bottom.
  std::vector<uint8_t> frame = ReadFrame(Folder.File("centred.avi"), 0);
  ASSERT_EQ(frame.size(), 300u * 100);
  auto white = [&](int x, int y) {
    return frame[static_cast<size_t>(99 - y) * 300 + 3 * static_cast<size_t>(x)] == 255;
  };
  EXPECT_FALSE(white(0, 50));
  EXPECT_TRUE(white(1, 50));
  EXPECT_TRUE(white(97, 50));
  EXPECT_FALSE(white(98, 50));
  EXPECT_TRUE(white(50, 0));
  EXPECT_TRUE(white(50, 99));
  auto probe = Probe(Folder.File("centred.avi"));
  EXPECT_EQ(probe["nb_read_frames"], "45");
  EXPECT_EQ(probe["r_frame_rate"], "8/1");
}

TEST_F(WriterTest, AnAbortStopsFramesAndTheSaveWithoutAnError) {
  TAviFileWriter writer;
  writer.SetCompressOnTheFly(false);
  writer.SetWidth(32);
  writer.SetHeight(32);
  writer.Setfilename(Folder.File("aborted.avi"));
  writer.OnProgress = [](TAviFileWriter&, int32_t count, bool& abort) { abort = count >= 20; };
  writer.InitVideo();
  for (int i = 0; i < 30; ++i) writer.AddFrame(Picture(32, 32, i));
  EXPECT_EQ(writer.FrameCount(), 20);
  writer.FinalizeVideo();
  writer.WriteAvi();
  EXPECT_FALSE(FileExists(Folder.File("aborted.avi")));

  // An abort during the save.
  writer.OnProgress = nullptr;
  writer.InitVideo();
  for (int i = 0; i < 25; ++i) writer.AddFrame(Picture(32, 32, i));
  writer.FinalizeVideo();
  writer.OnProgress = [](TAviFileWriter&, int32_t count, bool& abort) { abort = count >= 10; };
  writer.WriteAvi();
  EXPECT_FALSE(FileExists(Folder.File("aborted.avi")));
  EXPECT_FALSE(FileExists(writer.TempFileName()));
  EXPECT_TRUE(writer.Aborted());
}

TEST_F(WriterTest, AnUnfinishedRecordingIsReleasedByTheNextOrTheDestructor) {
  const int before = OpenFiles();
  {
    TAviFileWriter writer;
    writer.SetCompressOnTheFly(false);
    writer.SetWidth(16);
    writer.SetHeight(16);
    writer.InitVideo();
    writer.AddFrame(Picture(16, 16, 0));
    writer.InitVideo();  // the first recording's file is closed, not forgotten
    writer.InitVideo();
    EXPECT_EQ(OpenFiles(), before + 1);
    // A failed frame: a writer of width 0 cannot make a frame.
    writer.SetWidth(0);
    writer.InitVideo();
    EXPECT_EQ(
        Message([&] { writer.AddFrame(Picture(16, 16, 0)); }).rfind("Failed to retrieve bitmap header", 0),
        0u);
    writer.SetWidth(16);
    writer.InitVideo();
    EXPECT_EQ(OpenFiles(), before + 1);
    EXPECT_TRUE(FileExists(writer.TempFileName()));
  }
  EXPECT_EQ(OpenFiles(), before);
  EXPECT_FALSE(FileExists(Folder.File("~AWTemp.avi")));
}

// The intermediate file is the writer's own: made anew, private, never
// through a link planted at its name.
TEST_F(WriterTest, TheIntermediateFileIsMadeAnewAndPrivate) {
  TAviFileWriter writer;
  TTempFolder recording;
  writer.SetTempFolder(recording.Path());
  EXPECT_EQ(writer.TempFileName(), recording.File("~AWTemp.avi"));
  ASSERT_EQ(symlink(Folder.File("aim").c_str(), writer.TempFileName().c_str()), 0);
  writer.SetCompressOnTheFly(false);
  writer.SetWidth(16);
  writer.SetHeight(16);
  writer.Setfilename(Folder.File("out.avi"));
  writer.InitVideo();
  struct stat st {};
  ASSERT_EQ(lstat(writer.TempFileName().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(FileExists(Folder.File("aim")));
  writer.Discard();
  EXPECT_FALSE(FileExists(writer.TempFileName()));
  // 16 x 16 x 24 bits: 768 bytes a frame, with headers and indexes.
  EXPECT_EQ(writer.IntermediateFileSize(1000), 1000u * (768 + 32) + (1u << 20));
  writer.SetWidth(1 << 20);
  writer.SetHeight(1 << 20);
  EXPECT_EQ(Message([&] { writer.CheckIntermediateSpace(1000); })
                .rfind("Not enough disk space for the intermediate file in " +
                           recording.Path().substr(0, recording.Path().size() - 1) + ": ",
                       0),
            0u);
}

// A file written on the fly is complete only once its index and headers
// are on the disk: a failure then is an error, not a finished file.
TEST_F(WriterTest, ALateWriteErrorOfAFileWrittenOnTheFlyIsReported) {
  const int before = OpenFiles();
  TAviFileWriter writer;
  writer.SetWidth(16);
  writer.SetHeight(16);
  writer.SetPixelFormat(pf32bit);
  writer.Setfilename(Folder.File("late.avi"));
  writer.InitVideo();
  for (int i = 0; i < 100; ++i) writer.AddFrame(Picture(16, 16, i));  // 100 KB, still in the buffer
  writer.FinalizeVideo();
  {
    TFileSizeLimit full(50000);
    EXPECT_EQ(Message([&] { writer.WriteAvi(); }), "Unable to write output file. Error 8004406E");
  }
  EXPECT_EQ(OpenFiles(), before);
  EXPECT_FALSE(FileExists(Folder.File("late.avi")));  // no broken file passes for a video
}

TEST_F(WriterTest, EveryDepthWithAndWithoutACompressorMakesA45FrameFile) {
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
    for (const char* code : {"", "MJPG"}) {
      TAviFileWriter writer;
      writer.SetPixelFormat(format);
      writer.SetCompression(code);
      writer.SetCompressOnTheFly(false);
      writer.SetStretch(false);
      writer.SetFrameTime(125);
      writer.SetWidth(64);
      writer.SetHeight(48);
      const std::string path = Folder.File(std::string("out") + code + std::to_string(format) + ".avi");
      writer.Setfilename(path);
      writer.InitVideo();
      std::vector<TBitmap> pictures;
      for (int i = 0; i < 45; ++i) {
        pictures.push_back(Picture(64, 48, i));
        writer.AddFrame(pictures.back());
      }
      writer.FinalizeVideo();
      writer.WriteAvi();
      auto probe = Probe(path);
      EXPECT_EQ(probe["nb_read_frames"], "45") << code << format;
      EXPECT_EQ(probe["r_frame_rate"], "8/1");
      EXPECT_EQ(probe["codec_name"], *code ? "mjpeg" : "rawvideo");
      if (!*code && (format == pf24bit || format == pf32bit)) {
        // Uncompressed 24 and 32 bits: every frame exactly the picture.
        for (int i : {0, 22, 44}) {
          TBitmap expected = pictures[static_cast<size_t>(i)];
          expected.SetPixelFormat(format);
          EXPECT_EQ(ReadFrame(path, i),
                    std::vector<uint8_t>(expected.Bits(), expected.Bits() + expected.ImageSize()));
        }
      }
    }
  }
}

TEST_F(WriterTest, KeyFramesFollowTheFrameTime) {
  for (auto [frameTime, every] : {std::pair{400, 2}, std::pair{125, 8}}) {
    TAviFileWriter writer;
    writer.SetPixelFormat(pf24bit);
    writer.SetCompression("H264");
    writer.SetCompressOnTheFly(false);
    writer.SetFrameTime(frameTime);
    writer.SetWidth(64);
    writer.SetHeight(48);
    const std::string path = Folder.File("keys" + std::to_string(frameTime) + ".avi");
    writer.Setfilename(path);
    writer.InitVideo();
    for (int i = 0; i < 20; ++i) writer.AddFrame(Picture(64, 48, i * 7));
    writer.FinalizeVideo();
    writer.WriteAvi();
    std::istringstream flags(RunCommand(
        "ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 '" + path + "'"));
    int index = 0;
    for (std::string line; std::getline(flags, line); ++index)
      EXPECT_EQ(line[0] == 'K', index % every == 0) << "frame " << index << " at " << frameTime << " ms";
    EXPECT_EQ(index, 20);
  }
}
