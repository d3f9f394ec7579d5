// Writing 1000 uncompressed 1920 x 1080 x 32 frames as an AVI file and
// reading them back, in MB/s. The file goes to $TMPDIR (else /tmp); its
// release includes the fsync, as dd's conv=fdatasync does.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "vfw/vfw.h"

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 1000;
  const char* dir = getenv("TMPDIR");
  const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/pelimar-avi-bench.avi";
  const int32_t width = 1920, height = 1080;
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4, 0x5A);
  const std::vector<uint8_t> format = TBitmap(width, height, pf32bit).DibHeader();
  using Clock = std::chrono::steady_clock;

  AVIFileInit();
  auto start = Clock::now();
  PAVIFILE file = nullptr;
  if (AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) return 1;
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 50;
  info.dwRate = 1000;
  PAVISTREAM stream = nullptr;
  AVIFileCreateStreamA(file, &stream, &info);
  AVIStreamSetFormat(stream, 0, format.data(), 40);
  for (int i = 0; i < frames; ++i)
    if (AVIStreamWrite(stream, i, 1, frame.data(), static_cast<LONG>(frame.size()), AVIIF_KEYFRAME, nullptr,
                       nullptr) != AVIERR_OK)
      return 1;
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  const double written = std::chrono::duration<double>(Clock::now() - start).count();
  const double megabytes = static_cast<double>(frame.size()) * frames / 1e6;

  start = Clock::now();
  if (AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr) != AVIERR_OK) return 1;
  AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
  for (int i = 0; i < frames; ++i)
    if (AVIStreamRead(stream, i, 1, frame.data(), static_cast<LONG>(frame.size()), nullptr, nullptr) !=
        AVIERR_OK)
      return 1;
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  const double read = std::chrono::duration<double>(Clock::now() - start).count();
  AVIFileExit();
  unlink(path.c_str());
  std::printf("AVI write: %.0f MB in %.2f s = %.0f MB/s\n", megabytes, written, megabytes / written);
  std::printf("AVI read:  %.0f MB in %.2f s = %.0f MB/s\n", megabytes, read, megabytes / read);
  return 0;
}
