// Export of a recording of 300 JPEG pictures of 1920 x 1080, as the Save
// button runs it: each picture read back, handed to the writer (save time:
// intermediate file, then AVISaveV, output synced), without compression at
// 32 bits and with MJPG, in pictures per second. With --pictures=DIR the
// pictures are only written, as 000.jpg to 299.jpg, for ffmpeg (bench/run).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "frame_store.h"
#include "image/picture_files.h"
#include "sample_pictures.h"
#include "writer/AviFileWriter.h"

namespace {

constexpr int kPictures = 300;

std::vector<std::string> WritePictures(const std::string& folder) {
  const TBitmap desktop = ScreenLikePicture(1920 + 4 * kPictures, 1080, pf32bit);
  std::filesystem::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < kPictures; ++i) {
    TBitmap picture(1920, 1080, pf32bit);
    picture.Draw(-4 * i, 0, desktop);  // the screen scrolls, as in a real recording
    char name[16];
    std::snprintf(name, sizeof name, "/%03d.jpg", i);
    paths.push_back(folder + name);
    SaveJpegFile(picture, paths.back());
  }
  return paths;
}

// CPU time of the whole process (all threads), in milliseconds.
double CpuMilliseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = getenv("TMPDIR");
  const std::string temp = dir && *dir ? dir : "/tmp";
  if (argc > 1 && std::strncmp(argv[1], "--pictures=", 11) == 0) {
    WritePictures(argv[1] + 11);
    return 0;
  }
  const std::vector<std::string> pictures = WritePictures(temp + "/pelimar-export-bench");
  const std::string output = temp + "/pelimar-export-bench.avi";
  for (const char* code : {"", "MJPG"}) {
    TAviFileWriter writer;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = CpuMilliseconds();
    writer.SetCompression(code);
    writer.SetCompressOnTheFly(false);
    writer.SetStretch(false);
    writer.SetFrameTime(125);
    writer.Setfilename(output);
    writer.SetPixelFormat(pf32bit);
    writer.SetWidth(1920);
    writer.SetHeight(1080);
    writer.InitVideo();
    AddPictures(writer, pictures);
    writer.FinalizeVideo();
    const auto added = std::chrono::steady_clock::now();
    const double cpuAdded = CpuMilliseconds();
    writer.WriteAvi();
    const auto end = std::chrono::steady_clock::now();
    const double cpuEnd = CpuMilliseconds();
    const double seconds = std::chrono::duration<double>(end - start).count();
    std::printf(
        "export, %s: %.1f pictures/s (adding %.1f ms, CPU %.1f ms; writing %.1f ms, CPU %.1f ms; a "
        "picture)\n",
        *code ? code : "No Compression", kPictures / seconds,
        std::chrono::duration<double, std::milli>(added - start).count() / kPictures,
        (cpuAdded - cpuStart) / kPictures,
        std::chrono::duration<double, std::milli>(end - added).count() / kPictures,
        (cpuEnd - cpuAdded) / kPictures);
    std::remove(output.c_str());
  }
  std::filesystem::remove_all(temp + "/pelimar-export-bench");
  return 0;
}
