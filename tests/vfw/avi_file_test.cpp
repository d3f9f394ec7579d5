// AVI and WAVE files through the Video for Windows functions, with ffprobe
// and ffmpeg as the outside referee of every file written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "exercise.h"
#include "image/bitmap.h"
#include "test_compressor.h"
#include "test_support.h"
#include "vfw/avi_internal.h"
#include "vfw/vfw.h"

namespace {

// As ffmpeg's framecrc computes it: Adler-32 started from 0.
uint32_t Adler32(const uint8_t* data, size_t size) {
  uint32_t a = 0, b = 0;
  for (size_t i = 0; i < size; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

TBitmap Frame(int32_t width, int32_t height, TPixelFormat format, int index) {
  TBitmap picture(width, height, pf24bit);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      picture.SetPixel(x, y,
                       RGBQUAD{static_cast<uint8_t>(x * 5 + index * 20), static_cast<uint8_t>(y * 7),
                               static_cast<uint8_t>((x + y + index * 3) * 2), 0});
  picture.SetPixelFormat(format);
  return picture;
}

AVISTREAMINFOA VideoInfo(DWORD frameTime, int32_t width, int32_t height, FOURCC handler = 0) {
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.fccHandler = handler;
  info.dwScale = frameTime;
  info.dwRate = 1000;
  info.dwQuality = 5000;
  info.rcFrame = RECT{0, 0, width, height};
  return info;
}

// Writes frames through the functions the writer uses; returns each
// frame's checksum as ffmpeg's framecrc gives it for a copied stream.
std::vector<uint32_t> WriteVideo(const std::string& path, int frames, int32_t width, int32_t height,
                                 TPixelFormat format, const AVICOMPRESSOPTIONS* options = nullptr) {
  std::vector<uint32_t> sums;
  PAVIFILE file = nullptr;
  EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr, target = nullptr;
  AVISTREAMINFOA info = VideoInfo(125, width, height, options ? options->fccHandler : 0);
  EXPECT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
  target = stream;
  if (options) {
    EXPECT_EQ(AVIMakeCompressedStream(&target, stream, options, nullptr), AVIERR_OK);
  }
  for (int i = 0; i < frames; ++i) {
    TBitmap frame = Frame(width, height, format, i);
    if (i == 0) {
      std::vector<uint8_t> dib = frame.DibHeader();
      EXPECT_EQ(AVIStreamSetFormat(target, 0, dib.data(), static_cast<LONG>(dib.size())), AVIERR_OK);
    }
    EXPECT_EQ(AVIStreamWrite(target, i, 1, frame.Bits(), static_cast<LONG>(frame.ImageSize()), AVIIF_KEYFRAME,
                             nullptr, nullptr),
              AVIERR_OK);
    sums.push_back(Adler32(frame.Bits(), frame.ImageSize()));
  }
  if (target != stream) AVIStreamRelease(target);
  AVIStreamRelease(stream);
  EXPECT_EQ(AVIFileRelease(file), 0);
  return sums;
}

std::map<std::string, std::string> Probe(const std::string& path, const std::string& stream) {
  std::istringstream out(RunCommand(
      "ffprobe -v error -count_frames -count_packets -select_streams " + stream +
      " -show_entries stream=codec_name,nb_read_frames,nb_read_packets,r_frame_rate,"
      "width,height,duration_ts,sample_rate,channels,pix_fmt,time_base,nb_frames -of default=nw=1 '" +
      path + "'"));
  std::map<std::string, std::string> fields;
  for (std::string line; std::getline(out, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return fields;
}

// The checksums of the packets of stream 0, as ffmpeg reads them.
std::vector<uint32_t> FfmpegFrameSums(const std::string& path) {
  std::istringstream out(RunCommand("ffmpeg -v error -i '" + path + "' -map 0:v -c copy -f framecrc -"));
  std::vector<uint32_t> sums;
  for (std::string line; std::getline(out, line);) {
    if (line.empty() || line[0] == '#') continue;
    // "stream, dts, pts, duration, size, checksum", then any side data.
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 6 && std::getline(fields, field, ','); ++i) {
    }
    sums.push_back(static_cast<uint32_t>(std::stoul(field, nullptr, 16)));
  }
  return sums;
}

std::vector<uint8_t> ReadFrame(PAVISTREAM stream, LONG position) {
  LONG bytes = 0;
  EXPECT_EQ(AVIStreamRead(stream, position, 1, nullptr, 0, &bytes, nullptr), AVIERR_OK);
  std::vector<uint8_t> frame(static_cast<size_t>(bytes));
  EXPECT_EQ(AVIStreamRead(stream, position, 1, frame.data(), bytes, &bytes, nullptr), AVIERR_OK);
  return frame;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class VfwTest : public ::testing::Test {
 protected:
  void SetUp() override { AVIFileInit(); }
  void TearDown() override {
    SetAviRiffLimit(uint64_t{1} << 30);
    AVIFileExit();
  }
  TTempFolder Folder;
};

}  // namespace

TEST_F(VfwTest, EveryDepthIsReadByFfmpegFrameForFrame) {
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
    const std::string path = Folder.File("depth" + std::to_string(format) + ".avi");
    std::vector<uint32_t> sums = WriteVideo(path, 12, 33, 17, format);
    auto probe = Probe(path, "v:0");
    EXPECT_EQ(probe["codec_name"], "rawvideo") << format;
    EXPECT_EQ(probe["nb_read_frames"], "12");
    EXPECT_EQ(probe["r_frame_rate"], "8/1");
    EXPECT_EQ(probe["width"], "33");
    EXPECT_EQ(probe["height"], "17");
    EXPECT_EQ(FfmpegFrameSums(path), sums) << format;
    // The picture decodes too, colour table and all.
    RunCommand("ffmpeg -v error -i '" + path + "' -f null -");
  }
  // 1000 / frame time frames a second: 333 ms gives 1000/333.
  PAVIFILE file = nullptr;
  const std::string path = Folder.File("rate.avi");
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  AVISTREAMINFOA info = VideoInfo(333, 8, 8);
  ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
  TBitmap frame(8, 8, pf24bit);
  std::vector<uint8_t> dib = frame.DibHeader();
  AVIStreamSetFormat(stream, 0, dib.data(), static_cast<LONG>(dib.size()));
  for (int i = 0; i < 3; ++i)
    AVIStreamWrite(stream, i, 1, frame.Bits(), static_cast<LONG>(frame.ImageSize()), AVIIF_KEYFRAME, nullptr,
                   nullptr);
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  EXPECT_EQ(Probe(path, "v:0")["time_base"], "333/1000");
}

TEST_F(VfwTest, OurReaderGivesBackWhatWasWritten) {
  const std::string path = Folder.File("back.avi");
  WriteVideo(path, 5, 20, 10, pf8bit);
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_NODATA);
  EXPECT_EQ(stream, nullptr);
  ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(AVIStreamLength(stream), 5);
  // The header is copied no further than the record size given.
  AVISTREAMINFOA info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(AVIStreamInfoA(stream, &info, 24), AVIERR_OK);
  EXPECT_EQ(info.fccType, streamtypeVIDEO);
  EXPECT_EQ(info.dwScale, 125u);
  EXPECT_EQ(info.dwRate, 0xABABABABu);
  ASSERT_EQ(AVIStreamInfoA(stream, &info, 204), AVIERR_OK);
  EXPECT_EQ(info.dwRate, 1000u);
  EXPECT_EQ(info.dwLength, 5u);
  // The format: size first, then the header and its colour table.
  LONG size = 0;
  ASSERT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), AVIERR_OK);
  EXPECT_EQ(size, 40 + 1024);
  std::vector<uint8_t> format(static_cast<size_t>(size));
  ASSERT_EQ(AVIStreamReadFormat(stream, 0, format.data(), &size), AVIERR_OK);
  EXPECT_EQ(format, Frame(20, 10, pf8bit, 0).DibHeader());
  for (int i = 0; i < 5; ++i) {
    TBitmap frame = Frame(20, 10, pf8bit, i);
    EXPECT_EQ(ReadFrame(stream, i), std::vector<uint8_t>(frame.Bits(), frame.Bits() + frame.ImageSize()));
  }
  LONG bytes = 0;
  EXPECT_EQ(AVIStreamRead(stream, 5, 1, nullptr, 0, &bytes, nullptr), AVIERR_BADPARAM);
  // An editable copy outlives the stream and the file it came from.
  PAVISTREAM copy = nullptr;
  ASSERT_EQ(CreateEditableStream(&copy, stream), AVIERR_OK);
  EXPECT_EQ(AVIStreamRelease(stream), 0);
  EXPECT_EQ(AVIFileRelease(file), 0);
  TBitmap last = Frame(20, 10, pf8bit, 4);
  EXPECT_EQ(ReadFrame(copy, 4), std::vector<uint8_t>(last.Bits(), last.Bits() + last.ImageSize()));
  AVIStreamRelease(copy);
}

TEST_F(VfwTest, WritesOnlyAppendAndCountReferences) {
  PAVIFILE file = nullptr;
  const std::string path = Folder.File("append.avi");
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
  EXPECT_EQ(AVIFileAddRef(file), 2);
  PAVISTREAM stream = nullptr;
  AVISTREAMINFOA info = VideoInfo(100, 4, 4);
  ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
  TBitmap frame(4, 4, pf32bit);
  EXPECT_EQ(AVIStreamWrite(stream, 0, 1, frame.Bits(), 64, AVIIF_KEYFRAME, nullptr, nullptr),
            AVIERR_BADFORMAT);
  std::vector<uint8_t> dib = frame.DibHeader();
  ASSERT_EQ(AVIStreamSetFormat(stream, 0, dib.data(), static_cast<LONG>(dib.size())), AVIERR_OK);
  ASSERT_EQ(AVIStreamWrite(stream, 0, 1, frame.Bits(), 64, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_OK);
  EXPECT_EQ(AVIStreamWrite(stream, 0, 1, frame.Bits(), 64, AVIIF_KEYFRAME, nullptr, nullptr),
            AVIERR_BADPARAM);
  // A gap is filled with empty frames, which players show as the last one again.
  ASSERT_EQ(AVIStreamWrite(stream, 3, 1, frame.Bits(), 64, AVIIF_KEYFRAME, nullptr, nullptr), AVIERR_OK);
  EXPECT_EQ(AVIStreamLength(stream), 4);
  // Frames written so far can be read while the file is still being written.
  EXPECT_EQ(ReadFrame(stream, 3).size(), 64u);
  EXPECT_EQ(ReadFrame(stream, 1).size(), 0u);
  AVIStreamRelease(stream);
  EXPECT_EQ(AVIFileRelease(file), 1);
  EXPECT_EQ(AVIFileRelease(file), 0);
  EXPECT_EQ(Probe(path, "v:0")["nb_frames"], "4");
}

TEST_F(VfwTest, AFileAcrossThreeRiffsReadsBackFrameExact) {
  SetAviRiffLimit(256 * 1024);
  const std::string path = Folder.File("riffs.avi");
  std::vector<uint32_t> sums = WriteVideo(path, 40, 160, 120, pf32bit);  // 76800 bytes a frame
  std::vector<uint8_t> bytes = FileBytes(path);
  int avix = 0;
  for (size_t i = 0; i + 12 <= bytes.size(); ++i)
    if (std::memcmp(&bytes[i], "RIFF", 4) == 0 && std::memcmp(&bytes[i + 8], "AVIX", 4) == 0) ++avix;
  EXPECT_GE(avix, 2);
  EXPECT_EQ(Probe(path, "v:0")["nb_read_frames"], "40");
  EXPECT_EQ(FfmpegFrameSums(path), sums);
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(AVIStreamLength(stream), 40);
  for (int i = 0; i < 40; ++i) {
    std::vector<uint8_t> frame = ReadFrame(stream, i);
    EXPECT_EQ(Adler32(frame.data(), frame.size()), sums[static_cast<size_t>(i)]) << i;
  }
  AVIStreamRelease(stream);
  AVIFileRelease(file);
}

TEST_F(VfwTest, SaveInterleavesAudioAndCompressesThroughTheCompressor) {
  std::shared_ptr<TCompressorDriver> testDriver = MakeTestJpegDriver();
  RegisterCompressorDriver(testDriver, true);
  // The source: frames in an intermediate file, audio from a WAV file.
  const std::string frames = Folder.File("frames.avi"), wav = Folder.File("tone.wav");
  WriteVideo(frames, 16, 64, 48, pf24bit);
  RunCommand("sox -n -r 22050 -b 16 -c 2 '" + wav + "' synth 2.5 sine 440");
  PAVIFILE video = nullptr, audio = nullptr;
  ASSERT_EQ(AVIFileOpenA(&video, frames.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileOpenA(&audio, wav.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM streams[2] = {};
  ASSERT_EQ(AVIFileGetStream(video, &streams[0], streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(audio, &streams[1], streamtypeAUDIO, 0), AVIERR_OK);

  AVICOMPRESSOPTIONS jpeg{};
  jpeg.fccType = streamtypeVIDEO;
  jpeg.fccHandler = MakeFourCC('M', 'J', 'P', 'G');
  jpeg.dwQuality = 5000;
  jpeg.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
  LPAVICOMPRESSOPTIONS options[2] = {&jpeg, nullptr};
  std::vector<int> percents;
  const std::string output = Folder.File("out.avi");
  ASSERT_EQ(AVISaveV(
                output.c_str(), nullptr,
                [&](int p) {
                  percents.push_back(p);
                  return AVIERR_OK;
                },
                2, streams, options),
            AVIERR_OK);
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  auto v = Probe(output, "v:0");
  EXPECT_EQ(v["codec_name"], "mjpeg");
  EXPECT_EQ(v["nb_read_frames"], "16");
  EXPECT_EQ(v["r_frame_rate"], "8/1");
  auto a = Probe(output, "a:0");
  EXPECT_EQ(a["codec_name"], "pcm_s16le");
  EXPECT_EQ(a["sample_rate"], "22050");
  EXPECT_EQ(a["channels"], "2");
  // Every sample of the WAV file, as it was.
  EXPECT_EQ(RunCommand("ffmpeg -v error -i '" + output + "' -map 0:a -f s16le - | md5sum"),
            RunCommand("ffmpeg -v error -i '" + wav + "' -map 0:a -f s16le - | md5sum"));
  EXPECT_EQ(RunCommand("ffmpeg -v error -i '" + output + "' -map 0:a -f s16le - | wc -c"),
            std::to_string(22050 * 5 / 2 * 4) + "\n");
  // Interleaved: audio chunks stand among the video chunks, not after them all.
  std::vector<uint8_t> bytes = FileBytes(output);
  size_t firstAudio = 0, lastVideo = 0;
  for (size_t i = 0; i + 4 <= bytes.size(); ++i) {
    if (std::memcmp(&bytes[i], "01wb", 4) == 0 && firstAudio == 0) firstAudio = i;
    if (std::memcmp(&bytes[i], "00dc", 4) == 0) lastVideo = i;
  }
  EXPECT_LT(firstAudio, lastVideo);
  RunCommand("ffmpeg -v error -i '" + output + "' -f null -");

  // Without options the video is copied as it is.
  LPAVICOMPRESSOPTIONS none[2] = {nullptr, nullptr};
  const std::string copied = Folder.File("copied.avi");
  ASSERT_EQ(AVISaveV(copied.c_str(), nullptr, nullptr, 1, streams, none), AVIERR_OK);
  EXPECT_EQ(Probe(copied, "v:0")["codec_name"], "rawvideo");

  // On the fly: frames pass through a compressing stream into the file.
  const std::string onTheFly = Folder.File("fly.avi");
  WriteVideo(onTheFly, 10, 32, 24, pf32bit, &jpeg);
  auto f = Probe(onTheFly, "v:0");
  EXPECT_EQ(f["codec_name"], "mjpeg");
  EXPECT_EQ(f["nb_read_frames"], "10");

  // A compressor that refuses the format fails the save, leaving nothing.
  const std::string refused = Folder.File("refused.avi");
  WriteVideo(Folder.File("eight.avi"), 2, 8, 8, pf8bit);
  PAVIFILE eight = nullptr;
  PAVISTREAM eightStream = nullptr;
  ASSERT_EQ(AVIFileOpenA(&eight, Folder.File("eight.avi").c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(eight, &eightStream, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_NE(AVISaveV(refused.c_str(), nullptr, nullptr, 1, &eightStream, options), AVIERR_OK);
  EXPECT_FALSE(std::filesystem::exists(refused));
  AVIStreamRelease(eightStream);
  AVIFileRelease(eight);

  for (PAVISTREAM s : streams) AVIStreamRelease(s);
  AVIFileRelease(video);
  AVIFileRelease(audio);
  UnregisterCompressorDriver(testDriver);
}

TEST_F(VfwTest, AnAbortedOrFailedSaveLeavesNoFileAndTheOldOneWhole) {
  const std::string frames = Folder.File("frames.avi");
  WriteVideo(frames, 10, 16, 16, pf24bit);
  PAVIFILE video = nullptr;
  ASSERT_EQ(AVIFileOpenA(&video, frames.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileGetStream(video, &stream, streamtypeVIDEO, 0), AVIERR_OK);
  const std::string output = Folder.File("aborted.avi");
  HRESULT r = AVISaveV(
      output.c_str(), nullptr, [](int p) { return p >= 50 ? AVIERR_USERABORT : AVIERR_OK; }, 1, &stream,
      nullptr);
  EXPECT_EQ(r, AVIERR_USERABORT);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Folder.Path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);  // only the source
  // A folder that cannot take the file.
  EXPECT_EQ(AVISaveV(Folder.File("missing/out.avi").c_str(), nullptr, nullptr, 1, &stream, nullptr),
            AVIERR_FILEOPEN);

  // An exception out of the progress callback: the file it was to replace
  // stays, and nothing of the save stays open or on the disk.
  std::ofstream(output) << "an older video";
  const size_t descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  AVICOMPRESSOPTIONS mjpg{};
  mjpg.fccType = streamtypeVIDEO;
  mjpg.fccHandler = MakeFourCC('M', 'J', 'P', 'G');
  mjpg.dwQuality = 5000;
  LPAVICOMPRESSOPTIONS options[1] = {&mjpg};
  r = AVISaveV(
      output.c_str(), nullptr,
      [](int p) -> LONG {
        if (p >= 50) throw std::runtime_error("the window went away");
        return AVIERR_OK;
      },
      1, &stream, options);
  EXPECT_EQ(r, AVIERR_ERROR);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), static_cast<long>(descriptors));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder.Path()), {}), 2);
  std::ifstream kept(output);
  std::string text;
  std::getline(kept, text);
  EXPECT_EQ(text, "an older video");

  // A save that succeeds replaces it, keeping the permissions it had: a
  // private video stays private whatever the umask. A new file takes the
  // umask's.
  ASSERT_EQ(chmod(output.c_str(), 0600), 0);
  const mode_t old = umask(002);
  r = AVISaveV(output.c_str(), nullptr, nullptr, 1, &stream, options);
  const std::string fresh = Folder.File("fresh.avi");
  EXPECT_EQ(AVISaveV(fresh.c_str(), nullptr, nullptr, 1, &stream, options), AVIERR_OK);
  umask(old);
  EXPECT_EQ(r, AVIERR_OK);
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(output).permissions(), perms::owner_read | perms::owner_write);
  EXPECT_EQ(std::filesystem::status(fresh).permissions(), perms::owner_read | perms::owner_write |
                                                              perms::group_read | perms::group_write |
                                                              perms::others_read);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder.Path()), {}), 3);
  AVIStreamRelease(stream);
  AVIFileRelease(video);
}

// Another user's link in a shared sticky folder (like /tmp) is not
// followed: the save replaces the link itself, and the user's own file it
// pointed to stays as it was; a dangling one makes no file where it
// points. The user's own link there is followed, as anywhere.
TEST_F(VfwTest, AnotherUsersLinkInASharedFolderIsReplacedNotFollowed) {
  TTestUser other;
  if (!other.Made()) GTEST_SKIP() << "making a second user needs root";
  TTempFolder shared;
  ASSERT_EQ(chmod(shared.Path().c_str(), 01777), 0);
  const std::string mine = Folder.File("mine.avi"), nowhere = Folder.File("nowhere.avi");
  std::ofstream(mine) << "my own video";
  const std::string planted = shared.File("video.avi"), dangling = shared.File("dangling.avi");
  ASSERT_TRUE(other.Run([&] {
    return symlink(mine.c_str(), planted.c_str()) == 0 && symlink(nowhere.c_str(), dangling.c_str()) == 0;
  }));
  const std::string frames = Folder.File("frames.avi");
  WriteVideo(frames, 4, 16, 16, pf24bit);
  PAVIFILE video = nullptr;
  ASSERT_EQ(AVIFileOpenA(&video, frames.c_str(), OF_READ, nullptr), AVIERR_OK);
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileGetStream(video, &stream, streamtypeVIDEO, 0), AVIERR_OK);
  EXPECT_EQ(AVISaveV(planted.c_str(), nullptr, nullptr, 1, &stream, nullptr), AVIERR_OK);
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(planted)));
  EXPECT_TRUE(ReadText(mine) == "my own video");  // untouched
  EXPECT_EQ(AVISaveV(dangling.c_str(), nullptr, nullptr, 1, &stream, nullptr), AVIERR_OK);
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dangling)));
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  const std::string ours = shared.File("ours.avi");
  ASSERT_EQ(symlink(mine.c_str(), ours.c_str()), 0);
  EXPECT_EQ(AVISaveV(ours.c_str(), nullptr, nullptr, 1, &stream, nullptr), AVIERR_OK);
  EXPECT_TRUE(std::filesystem::is_symlink(ours));
  EXPECT_TRUE(ReadText(mine) != "my own video");  // replaced through our own link
  AVIStreamRelease(stream);
  AVIFileRelease(video);
}

TEST_F(VfwTest, WaveFilesReadBackSampleExact) {
  struct TCase {
    std::string make;
    int bits, channels, rate;
    WORD tag;
  } cases[] = {
      {"sox -n -r 8000 -b 8 -c 1 '%s' synth 0.7 sine 300", 8, 1, 8000, WAVE_FORMAT_PCM},
      {"sox -n -r 11025 -b 8 -c 2 '%s' synth 0.5 sine 300", 8, 2, 11025, WAVE_FORMAT_PCM},
      {"sox -n -r 22050 -b 16 -c 1 '%s' synth 0.5 sine 500", 16, 1, 22050, WAVE_FORMAT_PCM},
      {"sox -n -r 44100 -b 16 -c 2 '%s' synth 0.5 sine 500", 16, 2, 44100, WAVE_FORMAT_PCM},
      {"sox -n -r 48000 -b 16 -c 2 '%s' synth 0.3 sine 700", 16, 2, 48000, WAVE_FORMAT_PCM},
      {"ffmpeg -v error -f lavfi -i sine=f=440:d=0.4:r=48000 -ac 4 -c:a pcm_s16le -y '%s'", 16, 4, 48000,
       WAVE_FORMAT_EXTENSIBLE},
      {"ffmpeg -v error -f lavfi -i sine=f=440:d=0.4:r=44100 -ac 2 -c:a pcm_s24le -y '%s'", 24, 2, 44100,
       WAVE_FORMAT_EXTENSIBLE},
  };
  int n = 0;
  for (const TCase& c : cases) {
    const std::string wav = Folder.File("w" + std::to_string(n) + ".wav"),
                      raw = Folder.File("w" + std::to_string(n++) + ".raw");
    char command[512];
    std::snprintf(command, sizeof command, c.make.c_str(), wav.c_str());
    RunCommand(command);
    RunCommand("ffmpeg -v error -i '" + wav + "' -map 0:a -c copy -f data -y '" + raw + "'");
    std::vector<uint8_t> expected = FileBytes(raw);

    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, wav.c_str(), OF_READ, nullptr), AVIERR_OK) << command;
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_OK);
    AVISTREAMINFOA info{};
    AVIStreamInfoA(stream, &info, 204);
    const DWORD block = static_cast<DWORD>(c.channels * c.bits / 8);
    EXPECT_EQ(info.dwScale, block);
    EXPECT_EQ(info.dwSampleSize, block);
    EXPECT_EQ(info.dwRate, static_cast<DWORD>(c.rate) * block);
    LONG size = 0;
    AVIStreamReadFormat(stream, 0, nullptr, &size);
    std::vector<uint8_t> format(static_cast<size_t>(size));
    AVIStreamReadFormat(stream, 0, format.data(), &size);
    WAVEFORMATEX wave;
    std::memcpy(&wave, format.data(), sizeof wave);
    EXPECT_EQ(wave.wFormatTag, c.tag) << command;
    EXPECT_EQ(wave.nChannels, c.channels);
    EXPECT_EQ(wave.nSamplesPerSec, static_cast<DWORD>(c.rate));
    EXPECT_EQ(wave.wBitsPerSample, c.bits);
    const LONG length = AVIStreamLength(stream);
    EXPECT_EQ(static_cast<size_t>(length) * block, expected.size());
    // Read in uneven pieces, by sample position.
    std::vector<uint8_t> got;
    for (LONG at = 0; at < length;) {
      LONG want = std::min<LONG>(777, length - at), bytes = 0, samples = 0;
      std::vector<uint8_t> piece(static_cast<size_t>(want) * block);
      ASSERT_EQ(
          AVIStreamRead(stream, at, want, piece.data(), static_cast<LONG>(piece.size()), &bytes, &samples),
          AVIERR_OK);
      ASSERT_EQ(samples, want);
      got.insert(got.end(), piece.begin(), piece.end());
      at += samples;
    }
    EXPECT_EQ(got, expected) << command;
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
}

TEST_F(VfwTest, FilesThatCannotBeReadSayWhy) {
  PAVIFILE file = nullptr;
  EXPECT_EQ(AVIFileOpenA(&file, Folder.File("none.wav").c_str(), OF_READ, nullptr), AVIERR_FILEOPEN);
  EXPECT_EQ(AVIFileOpenA(&file, Folder.Path().c_str(), OF_READ, nullptr), AVIERR_FILEOPEN);
  std::ofstream(Folder.File("text.wav")) << "just some words, not a sound";
  EXPECT_EQ(AVIFileOpenA(&file, Folder.File("text.wav").c_str(), OF_READ, nullptr), REGDB_E_CLASSNOTREG);
  std::ofstream(Folder.File("broken.wav"), std::ios::binary)
      << std::string("RIFF\x20\0\0\0WAVEfmt \x10\0\0\0", 20);
  EXPECT_EQ(AVIFileOpenA(&file, Folder.File("broken.wav").c_str(), OF_READ, nullptr), AVIERR_BADFORMAT);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(AVIFileOpenA(&file, Folder.File("x/new.avi").c_str(), OF_WRITE | OF_CREATE, nullptr),
            AVIERR_FILEOPEN);
}

TEST_F(VfwTest, MalformedFilesOfTheCorpusNeverCrashTheReader) {
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(PELIMAR_CORPUS_DIR)) {
    std::vector<uint8_t> bytes = FileBytes(entry.path().string());
    ExerciseReader(bytes.data(), bytes.size());
    // Every prefix of it too.
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 64) ExerciseReader(bytes.data(), cut);
    ++files;
  }
  EXPECT_GE(files, 10);
}
