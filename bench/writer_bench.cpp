// Export-style writing of 300 pictures of 1920 x 1080 at 32 bits through the
// writer (save time: uncompressed intermediate file, then AVISaveV), without
// compression and with MJPG, in pictures per second. With --raw=FILE the
// same pictures are written as raw BGRA frames for ffmpeg (bench/run).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/file.h"
#include "sample_pictures.h"
#include "writer/AviFileWriter.h"

namespace {

constexpr int kPictures = 300;

TBitmap Picture(const TBitmap& desktop, int index) {
  TBitmap picture(1920, 1080, pf32bit);
  picture.Draw(-4 * index, 0, desktop);
  return picture;
}

}  // namespace

int main(int argc, char** argv) {
  const TBitmap desktop = ScreenLikePicture(1920 + 4 * kPictures, 1080, pf32bit);
  if (argc > 1 && std::strncmp(argv[1], "--raw=", 6) == 0) {
    TFile raw(argv[1] + 6, TFile::TMode::Create);
    for (int i = 0; i < kPictures; ++i) {
      TBitmap picture = Picture(desktop, i);
      for (int32_t y = 0; y < 1080; ++y)
        raw.Write(picture.ScanLine(y), 1920 * 4);  // top-down, as ffmpeg reads
    }
    raw.Close();
    return 0;
  }
  const char* dir = getenv("TMPDIR");
  const std::string output = std::string(dir && *dir ? dir : "/tmp") + "/pelimar-writer-bench.avi";
  for (const char* code : {"", "MJPG"}) {
    TAviFileWriter writer;
    writer.SetCompression(code);
    writer.SetCompressOnTheFly(false);
    writer.SetStretch(false);
    writer.SetFrameTime(125);
    writer.SetPixelFormat(pf32bit);
    writer.SetWidth(1920);
    writer.SetHeight(1080);
    writer.Setfilename(output);
    const auto start = std::chrono::steady_clock::now();
    writer.InitVideo();
    for (int i = 0; i < kPictures; ++i) writer.AddFrame(Picture(desktop, i));
    writer.FinalizeVideo();
    writer.WriteAvi();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("writer, %s: %.1f pictures/s\n", *code ? code : "uncompressed", kPictures / seconds);
    std::remove(output.c_str());
  }
  return 0;
}
