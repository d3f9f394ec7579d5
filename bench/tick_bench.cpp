// One capture tick as the recording runs it: the outline on the screen, the
// area captured with the pointer, stored as a new JPEG file in the
// recording's folder and noted in its journal. At 640 x 480 and 1920 x 1080
// on $DISPLAY, in a fresh recording and in one that holds 100,000 pictures
// already; then, for each size, the highest rate (up to 20 a second) whose
// ticks all finish within their interval.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "frame_store.h"
#include "platform/recording_folder.h"
#include "platform/screen.h"

namespace {

TScreen& Screen() {
  static std::unique_ptr<TScreen> screen = OpenScreen();
  return *screen;
}

void Tick(TRecordingFolder& recording, const TRect& area) {
  Screen().DrawOutline(area);
  TBitmap picture = Screen().Capture(area);
  DrawPointer(picture, Screen().Pointer(), TPoint{area.Left, area.Top});
  recording.AddPicture(StorePicture(recording, picture, true));
}

void TickBench(benchmark::State& state) {
  const TRect area(1, 1, 1 + static_cast<int32_t>(state.range(0)), 1 + static_cast<int32_t>(state.range(1)));
  std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, area);
  // A long recording before the measured ticks: its pictures are empty
  // files, which is all that names and the journal see of them.
  for (int64_t i = 0; i < state.range(2); ++i) recording->AddPicture(recording->NewPictureFile(".jpg"));
  for (auto _ : state) Tick(*recording, area);
  recording->Remove();
}
BENCHMARK(TickBench)
    ->ArgNames({"width", "height", "before"})
    ->Args({640, 480, 0})
    ->Args({640, 480, 100000})
    ->Args({1918, 1078, 0})
    ->Args({1918, 1078, 100000})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

// Runs ticks at 1000 div rate milliseconds for a few seconds, as the
// capture timer would; true when none ran past the start of the next.
bool KeepsUp(const TRect& area, int rate) {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::milliseconds(1000 / rate);
  std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 1000 / rate, area);
  bool ok = true;
  auto next = Clock::now();
  for (int i = 0; i < rate * 3 && ok; ++i) {
    std::this_thread::sleep_until(next);
    Tick(*recording, area);
    next += interval;
    ok = Clock::now() <= next;
  }
  recording->Remove();
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
