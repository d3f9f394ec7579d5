// What a capture tick spends on the screen: a 640 x 480 and a 1920 x 1080
// rectangle copied into a new picture, with and without the pointer drawn
// in. Runs on $DISPLAY; bench/run gives it an Xvfb of 1920 x 1080.
#include <benchmark/benchmark.h>

#include "platform/screen.h"

namespace {

TScreen& Screen() {
  static std::unique_ptr<TScreen> screen = OpenScreen();
  return *screen;
}

void Capture(benchmark::State& state) {
  const TRect rect(0, 0, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  const bool withPointer = state.range(2) != 0;
  for (auto _ : state) {
    TBitmap picture = Screen().Capture(rect);
    if (withPointer) DrawPointer(picture, Screen().Pointer(), TPoint{rect.Left, rect.Top});
    benchmark::DoNotOptimize(picture.Bits());
  }
}
BENCHMARK(Capture)
    ->ArgNames({"width", "height", "pointer"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 1})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
