// What recording sound costs: the CPU of this process per second of sound
// recorded from a PulseAudio server of the tests' own (48000 Hz stereo
// into a WAV file), for one source and for two mixed; and what lining a
// minute of it up with 8 and 20 pictures a second takes.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/sound_capture.h"
#include "sound_server.h"
#include "test_support.h"

namespace {

double Cpu() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

int main() {
  TTempFolder temp;
  TSoundServer server;
  std::vector<TSoundClock> clock;
  for (TSoundSource source : {TSoundSource::Desktop, TSoundSource::MicrophoneAndDesktop}) {
    const std::string wav = temp.File(SoundSourceName(source) + ".wav");
    std::unique_ptr<TSoundCapture> capture = TSoundCapture::Start(source, wav);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // until the sound flows
    const int64_t frames = capture->Frames();
    const double cpu = Cpu();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double used = Cpu() - cpu;
    const double seconds = double(capture->Frames() - frames) / TSoundCapture::kRate;
    capture->Stop();
    clock = capture->Clock();
    std::printf("%-30s %.2f ms CPU per second of sound (%.1f s recorded)\n", SoundSourceName(source).c_str(),
                used * 1000 / seconds, seconds);
  }
  for (int rate : {8, 20}) {
    std::vector<int64_t> pictures;
    for (int i = 0; i < 11 * rate; ++i) pictures.push_back(clock.front().Time + int64_t(i) * 1000000000 / rate);
    const double cpu = Cpu();
    AlignSound(temp.File(SoundSourceName(TSoundSource::MicrophoneAndDesktop) + ".wav"), clock, pictures,
               1000 / rate, temp.File("aligned" + std::to_string(rate) + ".wav"));
    std::printf("lining 11 s of sound up with %d pictures a second: %.2f ms CPU\n", rate, (Cpu() - cpu) * 1000);
  }
  return 0;
}
