// A capture tick on each kind of screen, at 1280 x 1024 and 1920 x 1080:
// the copy of the area with the pointer, stored as a JPEG in a recording's
// folder, as the timer's tick does it. X11 is an Xvfb screen; Wayland is the
// tests' private desktop, its backend casting a 1920 x 1080 monitor at 30
// pictures a second. Then the CPU that reading the cast costs per picture
// received, with no tick running.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "frame_store.h"
#include "platform/recording_folder.h"
#include "platform/screen.h"
#include "platform/wayland/pipewire_cast.h"
#include "platform/wayland/screencast_portal.h"
#include "test_support.h"
#include "wayland_desktop.h"
#include "x_server.h"

namespace {

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void MeasureTicks(const char* session, TScreen& screen) {
  for (auto [width, height] : {std::pair{1280, 1024}, std::pair{1920, 1080}}) {
    const TRect area(0, 0, width, height);
    std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, area);
    const auto tick = [&] {
      TBitmap picture = screen.Capture(area);
      DrawPointer(picture, screen.Pointer(), TPoint{0, 0});
      recording->AddPicture(StorePicture(*recording, picture, true));
    };
    for (int i = 0; i < 5; ++i) tick();  // warm: files, encoder, caches
    constexpr int kTicks = 60;
    const double wall = Seconds(CLOCK_MONOTONIC), cpu = Seconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < kTicks; ++i) tick();
    std::printf("%-8s %4d x %4d: %6.2f ms per tick, %6.2f ms CPU\n", session, width, height,
                (Seconds(CLOCK_MONOTONIC) - wall) * 1000 / kTicks,
                (Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu) * 1000 / kTicks);
    recording->Remove();
  }
}

// The process's CPU while the cast runs and this thread sleeps: what the
// PipeWire thread spends taking each picture in.
void MeasureConsumer() {
  TScreenCastPortal portal;
  std::string token;
  if (!portal.Start(kCursorHidden, token, nullptr)) throw Exception("the cast was refused");
  std::vector<uint32_t> nodes;
  for (const TCastStream& s : portal.Streams()) nodes.push_back(s.NodeId);
  TPipeWireCast cast(portal.OpenPipeWireRemote(), nodes);
  if (!cast.WaitForPictures(10000, nullptr)) throw Exception("no picture came");
  uint64_t before = 0, after = 0;
  cast.ReadNewest(0, [&](const TCastPicture& p) { before = p.Count; });
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double used = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
  cast.ReadNewest(0, [&](const TCastPicture& p) { after = p.Count; });
  std::printf("PipeWire consumer, 1920 x 1080 BGRx: %llu pictures in 5 s, %.2f ms CPU per picture\n",
              static_cast<unsigned long long>(after - before), used * 1000 / double(after - before));
}

}  // namespace

int main() {
  TTempFolder temp;
  setenv("TMPDIR", temp.Path().c_str(), 1);
  {
    TXServer server(1920, 1080);
    std::unique_ptr<TScreen> screen = OpenX11Screen(server.Name());
    MeasureTicks("X11", *screen);
  }
  TWaylandDesktop desktop({"1920x1080"});
  desktop.StartCast({"--fps=30"});
  setenv("TMPDIR", temp.Path().c_str(), 1);  // the desktop took the environment over
  std::unique_ptr<TScreen> screen = OpenWaylandScreen();
  TAccessRequest request;
  request.Pointer = false;
  if (!screen->RequestAccess(request)) return 1;
  MeasureTicks("Wayland", *screen);
  screen.reset();
  MeasureConsumer();
  return 0;
}
