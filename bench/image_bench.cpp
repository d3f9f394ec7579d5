// What one capture tick spends on storing its picture: a 1920 x 1080
// screen-like 32-bit picture encoded as JPEG (quality 90) and written as a
// BMP. With --reference=FILE the picture is also written as a BMP for
// libjpeg-turbo's tjbench to encode the same pixels.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "image/picture_files.h"
#include "sample_pictures.h"

namespace {

const TBitmap& Screen() {
  static const TBitmap picture = ScreenLikePicture(1920, 1080, pfDevice);
  return picture;
}

std::string ScratchFile(const char* name) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/pelimar-bench-" + std::to_string(getpid()) + name;
}

void JpegEncode(benchmark::State& state) {
  std::vector<uint8_t> jpeg;
  for (auto _ : state) EncodeJpeg(Screen(), jpeg);
  state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}
BENCHMARK(JpegEncode)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void JpegFileWrite(benchmark::State& state) {
  const std::string path = ScratchFile(".jpg");
  for (auto _ : state) SaveJpegFile(Screen(), path);
  unlink(path.c_str());
}
BENCHMARK(JpegFileWrite)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BmpFileWrite(benchmark::State& state) {
  const std::string path = ScratchFile(".bmp");
  for (auto _ : state) SaveBmpFile(Screen(), path);
  unlink(path.c_str());
}
BENCHMARK(BmpFileWrite)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void JpegDecode(benchmark::State& state) {
  const std::vector<uint8_t> jpeg = EncodeJpeg(Screen());
  for (auto _ : state) benchmark::DoNotOptimize(DecodeJpeg(jpeg.data(), jpeg.size()));
}
BENCHMARK(JpegDecode)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--reference=", 12) == 0) {
      SaveBmpFile(Screen(), argv[i] + 12);
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
