// Compressing 300 frames of 1920 x 1080 screen-like content through
// AVISaveV with MJPG, H264 and FFV1: frames per second and output size.
// The uncompressed source (its path is the first argument) and the outputs
// (<source>.<code>.avi) stay behind for ffmpeg to encode the same frames and
// to measure the quality of both; bench/run does that and removes them.
#include <unistd.h>

#include <sys/stat.h>
#include <chrono>
#include <cstdio>
#include <string>

#include "sample_pictures.h"
#include "vfw/vfw.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string source = argv[1];
  const int frames = 300;
  const int32_t width = 1920, height = 1080;
  AVIFileInit();
  {
    // The desktop scrolls by four pixels a frame.
    const TBitmap desktop = ScreenLikePicture(width + 4 * frames, height, pf32bit);
    PAVIFILE file = nullptr;
    if (AVIFileOpenA(&file, source.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) return 1;
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.dwScale = 125;
    info.dwRate = 1000;
    PAVISTREAM stream = nullptr;
    AVIFileCreateStreamA(file, &stream, &info);
    TBitmap frame(width, height, pf32bit);
    for (int i = 0; i < frames; ++i) {
      frame.Draw(-4 * i, 0, desktop);
      if (i == 0) {
        std::vector<uint8_t> dib = frame.DibHeader();
        AVIStreamSetFormat(stream, 0, dib.data(), static_cast<LONG>(dib.size()));
      }
      AVIStreamWrite(stream, i, 1, frame.Bits(), static_cast<LONG>(frame.ImageSize()), AVIIF_KEYFRAME,
                     nullptr, nullptr);
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
  PAVIFILE file = nullptr;
  PAVISTREAM stream = nullptr;
  AVIFileOpenA(&file, source.c_str(), OF_READ, nullptr);
  AVIFileGetStream(file, &stream, streamtypeVIDEO, 0);
  for (const char* code : {"MJPG", "H264", "FFV1"}) {
    AVICOMPRESSOPTIONS options{};
    options.fccType = streamtypeVIDEO;
    options.fccHandler = mmioStringToFOURCCA(code, 0);
    options.dwKeyFrameEvery = 8;
    options.dwQuality = 5000;
    options.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
    LPAVICOMPRESSOPTIONS list[1] = {&options};
    const std::string output = source + "." + code + ".avi";
    const auto start = std::chrono::steady_clock::now();
    HRESULT r = AVISaveV(output.c_str(), nullptr, nullptr, 1, &stream, list);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct stat st {};
    stat(output.c_str(), &st);
    std::printf("%s through AVISaveV: %s, %.1f frames/s, %.1f MB\n", code, r == AVIERR_OK ? "ok" : "FAILED",
                frames / seconds, static_cast<double>(st.st_size) / 1e6);
  }
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  AVIFileExit();
  return 0;
}
