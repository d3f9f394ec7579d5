#include <algorithm>
#include <cmath>

#include "base/exception.h"
#include "platform/sound_capture.h"
#include "platform/wav_file.h"

namespace {

// The sound frame taken at monotonic time t: between two points of the
// clock along the line through them, beyond its ends along the whole
// clock's rate.
double FrameAt(const std::vector<TSoundClock>& clock, int64_t t) {
  if (clock.empty()) return 0;
  double rate = TSoundCapture::kRate / 1e9;  // frames per ns
  if (clock.size() > 1 && clock.back().Time > clock.front().Time)
    rate = double(clock.back().Frame - clock.front().Frame) / double(clock.back().Time - clock.front().Time);
  auto after = std::upper_bound(clock.begin(), clock.end(), t,
                                [](int64_t time, const TSoundClock& point) { return time < point.Time; });
  if (after == clock.begin()) return clock.front().Frame + double(t - clock.front().Time) * rate;
  if (after == clock.end()) return clock.back().Frame + double(t - clock.back().Time) * rate;
  const TSoundClock& before = *(after - 1);
  const double span = double(after->Time - before.Time);
  return before.Frame + double(after->Frame - before.Frame) * double(t - before.Time) / span;
}

}  // namespace

void AlignSound(const std::string& capturedWav, const std::vector<TSoundClock>& clock,
                const std::vector<int64_t>& pictureTimes, int32_t frameTime, const std::string& alignedWav) {
  const TWavReader captured(capturedWav);
  TWavFile aligned(alignedWav);
  const int64_t perPicture = int64_t{TSoundCapture::kRate} * frameTime / 1000;
  const int64_t slip = perPicture / 4;
  std::vector<int16_t> samples(size_t(perPicture) * TSoundCapture::kChannels);
  int64_t position = pictureTimes.empty() ? 0 : std::llround(FrameAt(clock, pictureTimes.front()));
  for (int64_t time : pictureTimes) {
    const int64_t due = std::llround(FrameAt(clock, time));
    if (std::llabs(position - due) > slip) position = due;
    captured.Read(position, perPicture, samples.data());
    if (!aligned.Append(samples.data(), perPicture)) throw Exception(aligned.Error());
    position += perPicture;
  }
  if (!aligned.Close()) throw Exception(aligned.Error());
}
