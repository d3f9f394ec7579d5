// Videos for sharing made from a recording of 300 JPEG pictures of
// 1280 x 720 (a screen that scrolls), as the export makes them: pictures
// per second and bytes, for MP4, WebM and GIF at each quality. With
// --pictures=DIR [--typing] the pictures are only written, as 000.jpg to
// 299.jpg (with --typing, of text typed on a still screen), for
// ffmpeg to make the same videos from (bench/run); with --keep=DIR the
// videos at the default quality stay there for PSNR against them (the VP9
// one as ours-vp9.webm); with
// --only=EXT only that format is made, at the default quality.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "frame_store.h"
#include "image/picture_files.h"
#include "sample_pictures.h"
#include "share/share_writer.h"

namespace {

constexpr int kPictures = 300;
constexpr int32_t kWidth = 1280, kHeight = 720;

std::vector<std::string> PicturePaths(const std::string& folder) {
  std::vector<std::string> paths;
  for (int i = 0; i < kPictures; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "/%03d.jpg", i);
    paths.push_back(folder + name);
  }
  return paths;
}

// A screen that scrolls by two pixels a picture, or (typing) one that
// stays still while text is typed into a window, a character a picture,
// with a blinking cursor.
void WritePictures(const std::string& folder, bool typing) {
  const TBitmap desktop = ScreenLikePicture(kWidth + 2 * kPictures, kHeight, pf32bit);
  std::filesystem::create_directories(folder);
  const std::vector<std::string> paths = PicturePaths(folder);
  TBitmap screen(kWidth, kHeight, pf32bit);
  screen.Draw(0, 0, desktop);
  screen.FillRect(TRect(100, 100, 700, 500), RGBQUAD{250, 250, 250, 0});
  for (int i = 0; i < kPictures; ++i) {
    TBitmap picture(kWidth, kHeight, pf32bit);
    if (typing) {
      // A character: a few strokes chosen by its number, 7 x 12 pixels.
      const int32_t x = 110 + i % 50 * 11, y = 110 + i / 50 * 18;
      for (int stroke = 0; stroke < 4; ++stroke) {
        const int k = (i * 7 + stroke * 13) % 12;
        screen.FillRect(TRect(x + k % 6, y + stroke * 3, x + k % 6 + 1 + k / 6 * 2, y + stroke * 3 + 2),
                        RGBQUAD{30, 30, 30, 0});
      }
      picture = screen;
      if (i / 4 % 2 == 0) picture.FillRect(TRect(x + 9, y, x + 10, y + 13), RGBQUAD{0, 0, 0, 0});
    } else {
      picture.Draw(-2 * i, 0, desktop);
    }
    SaveJpegFile(picture, paths[static_cast<size_t>(i)]);
  }
}

// The pictures as the export job hands them over: read from their files,
// the next ones decoded ahead, as pixels or as JPEG's planes.
class TFiles final : public TShareSource {
 public:
  explicit TFiles(const std::vector<std::string>& paths) : FPaths(paths) {}
  int32_t Count() const override { return static_cast<int32_t>(FPaths.size()); }
  void Rewind() override { FSequence.reset(); }
  const TBitmap& Picture(int32_t, bool) override { return Sequence(false).NextPicture().Bitmap; }
  TFrame Frame(int32_t, bool) override {
    const TSequencePicture& picture = Sequence(true).NextPicture();
    return picture.Yuv.Empty() ? TFrame{&picture.Bitmap, nullptr} : TFrame{nullptr, &picture.Yuv};
  }
  bool Progress(int64_t, int64_t) override { return true; }

 private:
  TPictureSequence& Sequence(bool planes) {
    if (!FSequence) {
      FSequence = std::make_unique<TPictureSequence>(FPaths, pf32bit, planes);
      FSequence->Start();
    }
    return *FSequence;
  }

  const std::vector<std::string>& FPaths;
  std::unique_ptr<TPictureSequence> FSequence;
};

}  // namespace

int main(int argc, char** argv) {
  std::string pictures, keep, only;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--pictures=", 11) == 0) {
      WritePictures(argv[i] + 11, i + 1 < argc && std::strcmp(argv[i + 1], "--typing") == 0);
      return 0;
    }
    if (std::strncmp(argv[i], "--keep=", 7) == 0)
      keep = argv[i] + 7;
    else if (std::strncmp(argv[i], "--only=", 7) == 0)
      only = argv[i] + 7;
    else
      pictures = argv[i];
  }
  if (pictures.empty()) {
    std::fprintf(stderr, "usage: share_bench --pictures=DIR [--typing] | share_bench [--keep=DIR] [--only=EXT] DIR\n");
    return 2;
  }
  const std::vector<std::string> paths = PicturePaths(pictures);
  // One video made and timed; kept in keep when that is given, else removed.
  const auto make = [&](const TShareOptions& options, const std::string& label, const std::string& keepIn,
                        const std::string& name = "ours") {
    const std::string output = (keepIn.empty() ? std::filesystem::temp_directory_path().string() : keepIn) +
                               "/" + name + "." + FormatExtension(options.Format);
    TFiles source(paths);
    const auto start = std::chrono::steady_clock::now();
    WriteSharedVideo(output, options, source);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat st {};
    stat(output.c_str(), &st);
    std::printf("%s: %6.1f pictures/s, %7.2f MB\n", label.c_str(), kPictures / seconds,
                static_cast<double>(st.st_size) / 1e6);
    std::fflush(stdout);
    if (keepIn.empty()) std::remove(output.c_str());
  };
  const char* qualities[] = {"Small file", "Balanced", "Sharp"};
  for (TVideoFormat format : {TVideoFormat::Mp4, TVideoFormat::WebM, TVideoFormat::Gif})
    for (int quality = 0; quality < 3; ++quality) {
      if (!only.empty() && (only != FormatExtension(format) || quality != 1)) continue;
      TShareOptions options;
      options.Format = format;
      options.Quality = static_cast<TVideoQuality>(quality);
      options.Width = kWidth;
      options.Height = kHeight;
      options.FrameTime = 125;
      char label[64];
      std::snprintf(label, sizeof label, "%-4s %-10s", FormatExtension(format), qualities[quality]);
      make(options, label, quality == 1 ? keep : std::string());
    }
  if (!only.empty()) return 0;
  // WebM at an odd size, which goes to VP9.
  TShareOptions odd;
  odd.Format = TVideoFormat::WebM;
  odd.Width = kWidth - 1;
  odd.Height = kHeight - 1;
  odd.FrameTime = 125;
  make(odd, "webm Balanced at 1279 x 719 (VP9)", keep, "ours-vp9");
  return 0;
}
