// One capture tick as the recording runs it: the outline on the screen, the
// area captured with the pointer, stored as a new JPEG file. At 640 x 480
// and 1920 x 1080 on $DISPLAY; then, for each size, the highest rate (up to
// 20 a second) whose ticks all finish within their interval.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "frame_store.h"
#include "platform/screen.h"

namespace {

TScreen& Screen() {
  static std::unique_ptr<TScreen> screen = OpenScreen();
  return *screen;
}

std::string Tick(const TRect& area) {
  Screen().DrawOutline(area);
  TBitmap picture = Screen().Capture(area);
  DrawPointer(picture, Screen().Pointer(), TPoint{area.Left, area.Top});
  return StorePicture(picture, true);
}

void TickBench(benchmark::State& state) {
  const TRect area(1, 1, 1 + static_cast<int32_t>(state.range(0)), 1 + static_cast<int32_t>(state.range(1)));
  std::vector<std::string> stored;
  for (auto _ : state) stored.push_back(Tick(area));
  for (const std::string& path : stored) unlink(path.c_str());
}
BENCHMARK(TickBench)
    ->ArgNames({"width", "height"})
    ->Args({640, 480})
    ->Args({1918, 1078})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

// Runs ticks at 1000 div rate milliseconds for a few seconds, as the
// capture timer would; true when none ran past the start of the next.
bool KeepsUp(const TRect& area, int rate) {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(1000 / rate);
  std::vector<std::string> stored;
  bool ok = true;
  auto next = Clock::now();
  for (int i = 0; i < rate * 3 && ok; ++i) {
    std::this_thread::sleep_until(next);
    stored.push_back(Tick(area));
    next += interval;
    ok = Clock::now() <= next;
  }
  for (const std::string& path : stored) unlink(path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (auto [w, h] : {std::pair{640, 480}, std::pair{1918, 1078}}) {
    const TRect area(1, 1, 1 + w, 1 + h);
    int best = 0;
    for (int rate = 20; rate >= 1 && best == 0; --rate)
      if (KeepsUp(area, rate)) best = rate;
    std::printf("%d x %d: highest rate without a late tick: %d per second\n", w, h, best);
  }
  return 0;
}
