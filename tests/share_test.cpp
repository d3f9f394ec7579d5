// Videos for sharing, read back by ffprobe and ffmpeg: every picture at
// its time and close to what was recorded, the size, the sound; a cancel
// and a full disk leave the file that was there as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/exception.h"
#include "platform/wav_file.h"
#include "sample_pictures.h"
#include "share/share_writer.h"
#include "test_support.h"

namespace {

// A desktop with a window moving across it and a counter that changes.
std::vector<TBitmap> Recording(int32_t width, int32_t height, int32_t count) {
  const TBitmap desktop = ScreenLikePicture(width, height, pf32bit);
  std::vector<TBitmap> pictures;
  for (int32_t i = 0; i < count; ++i) {
    TBitmap picture = desktop;
    const int32_t x = i * (width - width / 4) / std::max(count, 1);
    picture.FillRect(TRect(x, height / 3, x + width / 4, height / 3 + height / 4), RGBQUAD{200, 90, 40, 0});
    picture.FillRect(TRect(4, 4, 4 + 6 * (i % 8 + 1), 12), RGBQUAD{0, 0, 0, 0});
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

class TPictures final : public TShareSource {
 public:
  explicit TPictures(std::vector<TBitmap> pictures) : FPictures(std::move(pictures)) {}
  int32_t Count() const override { return static_cast<int32_t>(FPictures.size()); }
  void Rewind() override { ++Rewinds; }
  // Every picture in the same bitmap, as the export's reader hands them over.
  const TBitmap& Picture(int32_t index, bool) override {
    FCurrent = FPictures[static_cast<size_t>(index)];
    return FCurrent;
  }
  bool Progress(int64_t done, int64_t total) override {
    Total = total;
    return StopAt < 0 || done < StopAt;
  }
  int64_t StopAt = -1;
  int64_t Total = 0;
  int Rewinds = 0;

 private:
  std::vector<TBitmap> FPictures;
  TBitmap FCurrent;
};

// A tone of the recording's length and more, as the aligned sound is.
std::string Tone(const TTempFolder& folder, double seconds) {
  const std::string path = folder.File("sound" + std::to_string(seconds) + ".wav");
  TWavFile wav(path);
  std::vector<int16_t> samples;
  for (int64_t i = 0; i < static_cast<int64_t>(seconds * 48000); ++i) {
    const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 48000));
    samples.push_back(v);
    samples.push_back(v);
  }
  wav.Append(samples.data(), static_cast<int64_t>(samples.size() / 2));
  wav.Close();
  return path;
}

std::map<std::string, std::string> Probe(const std::string& path, const char* stream) {
  std::istringstream lines(RunCommand(std::string("ffprobe -v error -count_frames -select_streams ") +
                                      stream +
                                      " -show_entries stream=codec_name,width,height,nb_read_frames,duration "
                                      "-of default=nw=1 '" +
                                      path + "'"));
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(lines, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

// Where the last packet of a stream ends, in seconds: what a player plays.
double StreamSeconds(const std::string& path, const char* stream) {
  std::istringstream lines(RunCommand(std::string("ffprobe -v error -select_streams ") + stream +
                                      " -show_entries packet=pts_time,duration_time -of csv=p=0 '" + path +
                                      "'"));
  double end = 0;
  for (std::string line; std::getline(lines, line);)
    if (const size_t comma = line.find(','); comma != std::string::npos)
      end = std::max(end, std::stod(line.substr(0, comma)) + std::stod(line.substr(comma + 1)));
  return end;
}

}  // namespace

TEST(ShareVideo, EachFormatKeepsEveryPictureAtItsTime) {
  struct TCase {
    TVideoFormat Format;
    int32_t Width, Height, Rate, Count;
    bool Sound;
  };
  const TCase cases[] = {
      {TVideoFormat::Mp4, 401, 261, 8, 24, true},    {TVideoFormat::Mp4, 320, 240, 20, 40, false},
      {TVideoFormat::Mp4, 64, 48, 1, 1, true},       {TVideoFormat::WebM, 401, 261, 8, 24, true},
      {TVideoFormat::WebM, 320, 240, 20, 40, false}, {TVideoFormat::WebM, 64, 48, 1, 1, false},
      {TVideoFormat::Gif, 401, 261, 8, 24, true},    {TVideoFormat::Gif, 320, 240, 20, 40, false},
      {TVideoFormat::Gif, 64, 48, 1, 1, false},      {TVideoFormat::Mp4, 1, 1, 8, 3, true},
      {TVideoFormat::WebM, 1, 1, 8, 3, true},        {TVideoFormat::Gif, 1, 1, 8, 3, false},
  };
  TTempFolder temp;
  for (const TCase& c : cases) {
    const std::string name = std::string(FormatExtension(c.Format)) + " " + std::to_string(c.Width) + "x" +
                             std::to_string(c.Height) + " at " + std::to_string(c.Rate) + "/s";
    SCOPED_TRACE(name);
    const std::vector<TBitmap> pictures = Recording(c.Width, c.Height, c.Count);
    TPictures source(pictures);
    TShareOptions options;
    options.Format = c.Format;
    options.Width = c.Width;
    options.Height = c.Height;
    options.FrameTime = 1000 / c.Rate;
    const double seconds = c.Count * options.FrameTime / 1000.0;
    if (c.Sound) options.SoundFile = Tone(temp, seconds + 0.5);
    const std::string path = temp.File("clip." + std::string(FormatExtension(c.Format)));
    ASSERT_TRUE(WriteSharedVideo(path, options, source));
    EXPECT_EQ(source.Rewinds, c.Format == TVideoFormat::Gif ? 1 : 0);
    EXPECT_EQ(source.Total, ShareSteps(c.Format, c.Count));

    std::map<std::string, std::string> video = Probe(path, "v:0");
    // WebM is AV1 where SVT-AV1 takes the size (even sides, 64 or more), else VP9.
    const bool av1 = c.Width % 2 == 0 && c.Height % 2 == 0 && c.Width >= 64 && c.Height >= 64;
    EXPECT_EQ(video["codec_name"], c.Format == TVideoFormat::Mp4   ? "h264"
                                   : c.Format == TVideoFormat::Gif ? "gif"
                                   : av1                           ? "av1"
                                                                   : "vp9");
    EXPECT_EQ(std::stoi(video["nb_read_frames"]), c.Count);
    // H.264 takes even sides: one more column and row, copies of the last.
    const int32_t even = c.Format == TVideoFormat::Mp4 ? 1 : 0;
    EXPECT_EQ(std::stoi(video["width"]), (c.Width + even) / (1 + even) * (1 + even));
    EXPECT_EQ(std::stoi(video["height"]), (c.Height + even) / (1 + even) * (1 + even));
    const double duration =
        std::stod(RunCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'"));
    EXPECT_NEAR(duration, seconds, options.FrameTime / 1000.0);
    if (c.Format == TVideoFormat::Gif) {
      // The delays, in hundredths, add up to the recording's length.
      std::istringstream delays(
          RunCommand("ffprobe -v error -show_entries packet=duration -of csv=p=0 '" + path + "'"));
      int total = 0;
      for (std::string line; std::getline(delays, line);) total += std::stoi(line);
      EXPECT_EQ(total, (c.Count * options.FrameTime + 5) / 10);
    }
    const std::string sound = RunCommand(
        "ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 '" + path + "'");
    if (c.Sound && c.Format != TVideoFormat::Gif) {
      EXPECT_EQ(sound, c.Format == TVideoFormat::Mp4 ? "aac\n" : "opus\n");
      EXPECT_NEAR(StreamSeconds(path, "a"), seconds, 0.05);
    } else {
      EXPECT_EQ(sound, "");
    }
    // The first, a middle and the last picture as they were recorded.
    for (int32_t i : {0, c.Count / 2, c.Count - 1}) {
      const double psnr =
          Psnr(FrameBytes(path, i, c.Width, c.Height), PictureBytes(pictures[static_cast<size_t>(i)]));
      EXPECT_GE(psnr, 30) << "picture " << i;
    }
    std::filesystem::remove(path);
    if (c.Sound) std::filesystem::remove(options.SoundFile);
  }
}

// A GIF of fewer than 256 colours shows every pixel as recorded. The
// pictures fill LZW's table and go on past it (rows that repeat, then
// noise that wears the table out), change scattered pixels between long
// unchanged runs, stay the same for a frame, then change everywhere.
TEST(ShareVideo, AGifOfFewColoursShowsEveryPixelExactly) {
  const int32_t width = 320, height = 240;
  const auto colour = [](uint32_t i) {
    i %= 200;
    return RGBQUAD{static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i), 0};
  };
  uint32_t seed = 7;
  const auto noise = [&] {
    seed = seed * 1664525 + 1013904223;
    return seed >> 8;
  };
  std::vector<uint32_t> row(static_cast<size_t>(width));
  for (uint32_t& c : row) c = noise();
  std::vector<TBitmap> pictures;
  TBitmap picture(width, height, pf32bit);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      picture.SetPixel(x, y, colour(y < height / 2 ? row[static_cast<size_t>(x)] : noise()));
  pictures.push_back(picture);
  for (int32_t y = 100; y < 140; ++y)
    for (int32_t x = y % 7; x < width; x += 7) picture.SetPixel(x, y, colour(noise()));
  picture.FillRect(TRect(10, 20, 60, 30), colour(3));
  pictures.push_back(picture);
  pictures.push_back(picture);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) picture.SetPixel(x, y, colour(noise()));
  pictures.push_back(picture);
  TTempFolder temp;
  TPictures source(pictures);
  TShareOptions options;
  options.Format = TVideoFormat::Gif;
  options.Width = width;
  options.Height = height;
  options.FrameTime = 125;
  const std::string path = temp.File("exact.gif");
  ASSERT_TRUE(WriteSharedVideo(path, options, source));
  for (size_t i = 0; i < pictures.size(); ++i)
    EXPECT_TRUE(FrameBytes(path, static_cast<int>(i), width, height) == PictureBytes(pictures[i])) << i;
}

// Stopped part way, or stopped by a full disk: the file that was at the
// target stays as it was, and nothing else is left beside it.
TEST(ShareVideo, ACancelOrAFullDiskLeavesWhatWasThere) {
  TTempFolder temp;
  for (TVideoFormat format : {TVideoFormat::Mp4, TVideoFormat::WebM, TVideoFormat::Gif}) {
    SCOPED_TRACE(FormatExtension(format));
    const std::string path = temp.File(std::string("old.") + FormatExtension(format));
    std::ofstream(path) << "an older video";
    TPictures source(Recording(160, 120, 10));
    source.StopAt = 5;
    TShareOptions options;
    options.Format = format;
    options.Width = 160;
    options.Height = 120;
    options.FrameTime = 125;
    EXPECT_FALSE(WriteSharedVideo(path, options, source));
    EXPECT_EQ(ReadText(path), "an older video");
    EXPECT_EQ(EverythingUnder(temp.Path()).size(), 1u);
    std::filesystem::remove(path);
  }
  TSmallDisk disk(256);
  if (!disk.Mounted()) GTEST_SKIP() << "a small disk needs root";
  for (TVideoFormat format : {TVideoFormat::Mp4, TVideoFormat::WebM, TVideoFormat::Gif}) {
    SCOPED_TRACE(FormatExtension(format));
    // Noise: no codec makes it small.
    std::vector<TBitmap> pictures;
    uint32_t seed = 1;
    for (int i = 0; i < 20; ++i) {
      TBitmap picture(320, 240, pf32bit);
      for (int32_t y = 0; y < 240; ++y)
        for (int32_t x = 0; x < 320; ++x) {
          seed = seed * 1664525 + 1013904223;
          picture.SetPixel(x, y, RGBQUAD{uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8), 0});
        }
      pictures.push_back(std::move(picture));
    }
    TPictures source(std::move(pictures));
    TShareOptions options;
    options.Format = format;
    options.Quality = TVideoQuality::Sharp;
    options.Width = 320;
    options.Height = 240;
    options.FrameTime = 125;
    const std::string path = disk.Path() + "full." + FormatExtension(format);
    try {
      WriteSharedVideo(path, options, source);
      ADD_FAILURE() << "a full disk was not noticed";
    } catch (const Exception& e) {
      EXPECT_NE(e.Message().find("could not be written"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(EverythingUnder(disk.Path()).size(), 0u);
  }
}
