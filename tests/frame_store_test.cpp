#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "base/exception.h"
#include "base/file.h"
#include "export_job.h"
#include "frame_store.h"
#include "writer/AviFileWriter.h"
#include "image/picture_files.h"
#include "platform/recording_folder.h"
#include "test_support.h"

// Pictures go into the recording's folder under names that only grow; a
// file or link already at a name is passed by, never written, and a
// picture that cannot be written leaves nothing behind.
TEST(FrameStore, PicturesAreNewPrivateFilesOfTheRecording) {
  TTempFolder folder;
  TScopedEnv env("TMPDIR", folder.Path().c_str());
  std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, TRect(0, 0, 8, 8));
  const TBitmap picture(8, 8, pf24bit);
  EXPECT_EQ(StorePicture(*recording, picture, true), recording->Path() + "daw1.jpg");
  std::ofstream(recording->Path() + "daw2.bmp") << "x";
  ASSERT_EQ(symlink(folder.File("elsewhere").c_str(), (recording->Path() + "daw3.bmp").c_str()), 0);
  const std::string bmp = StorePicture(*recording, picture, false);
  EXPECT_EQ(bmp, recording->Path() + "daw4.bmp");
  EXPECT_EQ(LoadBmpFile(bmp).Width(), 8);
  EXPECT_FALSE(std::filesystem::exists(folder.File("elsewhere")));
  TFile planted(recording->Path() + "daw2.bmp", TFile::TMode::Read);
  EXPECT_EQ(planted.Size(), 1u);
  struct stat st {};
  ASSERT_EQ(stat(bmp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  {
    TFileSizeLimit full(100);
    EXPECT_THROW(StorePicture(*recording, picture, false), Exception);
  }
  EXPECT_FALSE(std::filesystem::exists(recording->Path() + "daw5.bmp"));
  recording->Remove();
}

namespace {

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Half a second of a rising tone, 22050 Hz mono 16 bits.
void WriteWav(const std::string& path) {
  std::string data;
  for (int i = 0; i < 11025; ++i) {
    const auto sample = static_cast<int16_t>((i * 37) % 20000 - 10000);
    data += static_cast<char>(sample & 0xFF);
    data += static_cast<char>((sample >> 8) & 0xFF);
  }
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  std::ofstream(path, std::ios::binary) << "RIFF" << le(36 + data.size(), 4) << "WAVEfmt " << le(16, 4) << le(1, 2)
                                        << le(1, 2) << le(22050, 4) << le(44100, 4) << le(2, 2) << le(16, 2)
                                        << "data" << le(data.size(), 4) << data;
}

}  // namespace

// The pictures written in one pass straight into the file make the file
// that adding them to the intermediate file and saving that makes: byte
// for byte without a compressor, sound interleaved, at every depth the
// pictures are converted to; frame for frame as ffmpeg decodes them with
// one. Unreadable pictures and pictures of another size go in alike.
TEST(FrameStore, OnePassMakesTheFileOfTheIntermediateFile) {
  TTempFolder folder;
  std::vector<std::string> frames;
  for (int i = 0; i < 24; ++i) {
    const bool odd = i == 7;
    TBitmap picture(odd ? 40 : 64, odd ? 30 : 48, pf32bit);
    for (int32_t y = 0; y < picture.Height(); ++y)
      for (int32_t x = 0; x < picture.Width(); ++x)
        picture.SetPixel(x, y, RGBQUAD{static_cast<uint8_t>(i * 9), static_cast<uint8_t>(x * 4),
                                       static_cast<uint8_t>(y * 5 + x), 0});
    frames.push_back(folder.File("p" + std::to_string(i) + (i % 5 == 3 ? ".bmp" : ".jpg")));
    if (i % 5 == 3)
      SaveBmpFile(picture, frames.back());
    else
      SaveJpegFile(picture, frames.back());
  }
  std::ofstream(frames[0]) << "damaged";  // replaced by the first readable one
  std::filesystem::remove(frames[12]);    // and by the one before it
  const std::string wav = folder.File("sound.wav");
  WriteWav(wav);
  struct TCase {
    const char* code;
    TPixelFormat depth;
  } cases[] = {{"", pf32bit},     {"", pf24bit},     {"", pf8bit},
               {"MJPG", pf32bit}, {"ZMBV", pf24bit}, {"H264", pf24bit}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + std::to_string(PixelFormatBits(c.depth)));
    auto setUp = [&](TAviFileWriter& writer, const std::string& output) {
      writer.SetCompressOnTheFly(false);
      writer.SetStretch(false);
      writer.SetFrameTime(125);
      writer.SetPixelFormat(c.depth);
      writer.SetWidth(64);
      writer.SetHeight(48);
      writer.SetCompression(c.code);
      writer.SetTempFolder(folder.Path());
      writer.SetWavFileName(wav);
      writer.Setfilename(output);
    };
    const std::string before = folder.File("before.avi"), after = folder.File("after.avi");
    {
      TAviFileWriter writer;
      setUp(writer, before);
      writer.InitVideo();
      EXPECT_EQ(AddPictures(writer, frames), 2u);
      writer.FinalizeVideo();
      writer.WriteAvi();
    }
    {
      TAviFileWriter writer;
      setUp(writer, after);
      std::vector<int32_t> reports;
      writer.OnProgress = [&](TAviFileWriter&, int32_t count, bool&) { reports.push_back(count); };
      TPictureSequence sequence(frames, c.depth == pf32bit ? pf32bit : pf24bit);
      ASSERT_TRUE(sequence.Start());
      writer.WriteAviDirect(static_cast<int32_t>(frames.size()),
                            [&](int32_t) -> const TBitmap& { return sequence.Next(); });
      EXPECT_EQ(sequence.Unreadable(), 2u);
      EXPECT_FALSE(std::filesystem::exists(writer.TempFileName()));
      ASSERT_FALSE(reports.empty());
      EXPECT_EQ(reports.back(), 24);
    }
    if (*c.code == '\0') {
      EXPECT_TRUE(FileBytes(before) == FileBytes(after));
    } else if (std::string(c.code) == "H264") {
      // Debian 12's x264 reads memory it never wrote in its AVX-512
      // macroblock-tree code when a row has fewer than 8 macroblocks, as
      // here: its bit allocation, not the frames it was given, can differ
      // from one encode to the next. Both files hold every frame.
      EXPECT_EQ(FrameCountOf(before), 24);
      EXPECT_EQ(FrameCountOf(after), 24);
    } else {
      auto decoded = [](const std::string& path) {
        return RunCommand("ffmpeg -v error -i '" + path + "' -f framemd5 - | grep -v '^#'");
      };
      const std::string frameSums = decoded(before);
      EXPECT_EQ(FrameCountOf(before), 24);
      EXPECT_EQ(decoded(after), frameSums);  // the sound's packets too
    }
    std::filesystem::remove(before);
    std::filesystem::remove(after);
  }
  // 32-bit frames are converted for the compressor by their own code,
  // which must give what that of 24-bit frames gives, odd sides included.
  std::string decoded[2];
  for (int i = 0; i < 2; ++i) {
    TAviFileWriter writer;
    writer.SetCompressOnTheFly(false);
    writer.SetStretch(false);
    writer.SetWidth(63);
    writer.SetHeight(47);
    writer.SetPixelFormat(i == 0 ? pf32bit : pf24bit);
    writer.SetCompression("MJPG");
    writer.Setfilename(folder.File("depth.avi"));
    TPictureSequence sequence(frames, i == 0 ? pf32bit : pf24bit);
    ASSERT_TRUE(sequence.Start());
    writer.WriteAviDirect(8, [&](int32_t) -> const TBitmap& { return sequence.Next(); });
    decoded[i] = RunCommand("ffmpeg -v error -i '" + folder.File("depth.avi") + "' -f framemd5 - | grep -v '^#'");
  }
  EXPECT_EQ(std::count(decoded[0].begin(), decoded[0].end(), '\n'), 8);
  EXPECT_EQ(decoded[0], decoded[1]);
  // A picture that fails on the save's own thread ends it with its own
  // message, and leaves no file, finished or half-written.
  TAviFileWriter writer;
  writer.SetWidth(64);
  writer.SetHeight(48);
  writer.SetPixelFormat(pf32bit);
  writer.Setfilename(folder.File("failed.avi"));
  const TBitmap picture(64, 48, pf32bit);
  try {
    writer.WriteAviDirect(24, [&](int32_t index) -> const TBitmap& {
      if (index == 10) throw Exception("picture 10 is gone");
      return picture;
    });
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "picture 10 is gone");
  }
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path()))
    EXPECT_EQ(entry.path().filename().string().find("failed.avi"), std::string::npos) << entry.path();
}

// Pictures are decoded into the memory of those no longer in use: each
// one given out is what its file holds, and its pixels stay so until two
// more have been taken, across sizes, depths and a picture that cannot be
// read.
TEST(FrameStore, APictureStaysAsReadUntilTwoMoreAreTaken) {
  TTempFolder folder;
  std::vector<std::string> frames;
  for (int i = 0; i < 16; ++i) {
    const bool small = i == 6 || i == 7;
    TBitmap picture(small ? 24 : 32, small ? 16 : 20, pf32bit);
    for (int32_t y = 0; y < picture.Height(); ++y)
      for (int32_t x = 0; x < picture.Width(); ++x)
        picture.SetPixel(x, y, RGBQUAD{static_cast<uint8_t>(i * 15), static_cast<uint8_t>(x * 7),
                                       static_cast<uint8_t>(200 - i * 11), 0});
    frames.push_back(folder.File("p" + std::to_string(i) + (i == 10 ? ".bmp" : ".jpg")));
    if (i == 10)
      SaveBmpFile(picture, frames.back());
    else
      SaveJpegFile(picture, frames.back());
  }
  std::ofstream(frames[12]) << "damaged";  // given as the one before it
  auto pixels = [](const uint8_t* bits, const TBitmap& like) {
    return std::string(reinterpret_cast<const char*>(bits), like.ImageSize());
  };
  for (TPixelFormat format : {pf32bit, pf24bit}) {
    TPictureSequence sequence(frames, format);
    ASSERT_TRUE(sequence.Start());
    const uint8_t* before = nullptr;
    TBitmap expectedBefore;
    for (size_t i = 0; i < frames.size(); ++i) {
      const TBitmap& picture = sequence.Next();
      const TBitmap expected = LoadPictureFile(frames[i == 12 ? 11 : i], format);
      ASSERT_EQ(picture.Width(), expected.Width()) << i;
      ASSERT_EQ(picture.Height(), expected.Height()) << i;
      EXPECT_TRUE(pixels(picture.Bits(), picture) == pixels(expected.Bits(), expected)) << i;
      // The decodes ahead get time to finish: one that wrote into a
      // picture still in use would show here.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (before) {
        EXPECT_TRUE(pixels(before, expectedBefore) == pixels(expectedBefore.Bits(), expectedBefore)) << i;
      }
      before = picture.Bits();
      expectedBefore = expected;
    }
    EXPECT_EQ(sequence.Unreadable(), 1u);
  }
}

// An export for sharing reads JPEG pictures as their own YCbCr planes and
// anything else as pixels: colours, odd sizes, a picture of another size,
// a bitmap and a damaged picture all come out as recorded, in every
// format, the preview too.
TEST(FrameStore, AVideoForSharingShowsEachPictureAsRecorded) {
  TTempFolder folder;
  const int32_t width = 161, height = 99;
  std::vector<std::string> frames;
  std::vector<TBitmap> recorded;
  for (int i = 0; i < 12; ++i) {
    const bool other = i == 2;  // a picture of another size, centred on black
    TBitmap picture(other ? 80 : width, other ? 40 : height, pf32bit);
    const RGBQUAD colours[] = {{230, 40, 30, 0}, {30, 200, 60, 0}, {20, 40, 220, 0}, {240, 240, 240, 0}};
    for (int b = 0; b < 4; ++b)
      picture.FillRect(TRect(b * picture.Width() / 4, 0, (b + 1) * picture.Width() / 4, picture.Height()),
                       colours[(b + i) % 4]);
    picture.FillRect(TRect(10 + i * 9, 30, 40 + i * 9, 60), RGBQUAD{10, 10, 10, 0});
    frames.push_back(folder.File("p" + std::to_string(i) + (i == 10 ? ".bmp" : ".jpg")));
    if (i == 10)
      SaveBmpFile(picture, frames.back());
    else
      SaveJpegFile(picture, frames.back());
    TBitmap shown(width, height, pf32bit);
    shown.Draw((width - picture.Width()) / 2, (height - picture.Height()) / 2, picture);
    recorded.push_back(std::move(shown));
  }
  // Shown as the one before it; the decode after it takes the memory of a
  // picture given out before the damaged one.
  std::ofstream(frames[6]) << "damaged";
  recorded[6] = recorded[5];
  // Saturated colours side by side at this size lose most in 4:2:0 VP9,
  // least in H.264, where planes read wrongly (in the wrong range, or
  // swapped) give 28 dB and 7 dB.
  const struct {
    TVideoFormat Format;
    double Least;
  } formats[] = {{TVideoFormat::Mp4, 32}, {TVideoFormat::WebM, 26}, {TVideoFormat::Gif, 30}};
  for (const auto [format, least] : formats) {
    SCOPED_TRACE(FormatExtension(format));
    TShareOptions options;
    options.Format = format;
    options.Quality = TVideoQuality::Sharp;
    options.Width = width;
    options.Height = height;
    options.FrameTime = 125;
    const std::string target = folder.File(std::string("video.") + FormatExtension(format));
    TExportJob job(options, target, frames);
    job.Start();
    while (!job.Ended() && job.Stage() != TExportJob::TStage::Asking)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(job.Unreadable(), 1u);
    job.Answer(true);
    job.Wait();
    ASSERT_EQ(job.Stage(), TExportJob::TStage::Done) << job.Failure();
    EXPECT_FALSE(job.TakePreview().Empty());
    EXPECT_EQ(FrameCountOf(target), 12);
    for (int i = 0; i < 12; ++i)
      EXPECT_GE(Psnr(FrameBytes(target, i, width, height), PictureBytes(recorded[static_cast<size_t>(i)])), least)
          << i;
  }
}
