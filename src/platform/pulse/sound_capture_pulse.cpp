// Sound capture through the PulseAudio client API, which PulseAudio and
// PipeWire's PulseAudio server both serve: one record stream per source,
// mixed into one track, written to the WAV file as it comes.
#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/exception.h"
#include "platform/sound_capture.h"
#include "platform/wav_file.h"

std::string SoundSourceName(TSoundSource source) {
  switch (source) {
    case TSoundSource::Microphone:
      return "Microphone";
    case TSoundSource::Desktop:
      return "Desktop audio";
    case TSoundSource::MicrophoneAndDesktop:
      return "Microphone and desktop audio";
    default:
      return "No sound";
  }
}

namespace {

int64_t MonotonicNow() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

class TPulseCapture;

// A source that has given nothing for this long while another gives sound
// has stalled (suspended, or its device gone quiet): it is heard as silence
// until it comes back, so that the others go on being written.
constexpr int64_t kStallNs = 500000000;

// One record stream and what it has brought that is not written yet.
struct TInput {
  TPulseCapture* Owner = nullptr;
  pa_stream* Stream = nullptr;
  std::string Device;  // the server's name of the source
  std::string Name;    // the user's: "Microphone", "Desktop audio"
  std::vector<int16_t> Pending;
  // Where on the track the end of Pending lies, in frames: what the source
  // gave and the silence put in for it.
  int64_t Placed = 0;
  int64_t LastHeard = 0;  // when the source last gave sound (monotonic ns)
  // Silence stands in for the source: it has not started yet, has stalled,
  // or is gone. What it gives next is put where it belongs in time.
  bool Silenced = true;
};

class TPulseCapture : public TSoundCapture {
 public:
  TPulseCapture(TSoundSource source, const std::string& wavPath);
  ~TPulseCapture() override;

  int64_t Frames() const override { return FFrames.load(); }
  std::vector<TSoundClock> Clock() const override;
  float TakeLevel() override { return FLevel.exchange(0); }
  std::string TakeFailure() override {
    std::lock_guard<std::mutex> lock(FLock);
    if (FFailureTaken) return std::string();
    FFailureTaken = !FFailure.empty();
    return FFailure;
  }
  void Stop() override;

 private:
  static void OnContextState(pa_context* context, void* self);
  static void OnStreamState(pa_stream* stream, void* input);
  static void OnRead(pa_stream* stream, size_t, void* input);
  void Connect(TInput& input);
  void Fail(const std::string& message);
  void Observe(int64_t frames, int64_t now);
  // Writes what every input has brought, mixed; silence stands in for a
  // source that has stalled and, with flush, for every one that is behind.
  void Mix(bool flush);
  void Release();

  TSoundSource FSource;
  TWavFile FWav;
  pa_threaded_mainloop* FLoop = nullptr;
  pa_context* FContext = nullptr;
  std::vector<std::unique_ptr<TInput>> FInputs;
  mutable std::mutex FLock;
  std::vector<TSoundClock> FClock;
  int64_t FNextClock = kRate / 10;  // the first point after a tenth of a second
  TSoundClock FBest;                // the least late arrival of this second so far
  int64_t FBestLateness = 0;
  std::string FFailure;
  bool FFailureTaken = false;
  bool FStopped = false;
  bool FClosed = false;
  bool FRunning = false;  // every stream connected
  std::atomic<int64_t> FFrames{0};
  std::atomic<float> FLevel{0};
};

// Waits on the loop (locked) until ready() says yes; false when failed().
template <typename TReady, typename TFailed>
bool WaitFor(pa_threaded_mainloop* loop, TReady ready, TFailed failed) {
  while (!ready()) {
    if (failed()) return false;
    pa_threaded_mainloop_wait(loop);
  }
  return true;
}

TPulseCapture::TPulseCapture(TSoundSource source, const std::string& wavPath)
    : FSource(source), FWav(wavPath) {
  const std::string name = SoundSourceName(source);
  bool locked = false;
  try {
    FLoop = pa_threaded_mainloop_new();
    FContext = FLoop ? pa_context_new(pa_threaded_mainloop_get_api(FLoop), "Pelimar") : nullptr;
    if (!FContext) throw Exception("Cannot record the sound \"" + name + "\": no sound client");
    pa_context_set_state_callback(FContext, &TPulseCapture::OnContextState, this);
    pa_threaded_mainloop_lock(FLoop);
    locked = true;
    const bool connected = pa_context_connect(FContext, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                           pa_threaded_mainloop_start(FLoop) >= 0 &&
                           WaitFor(
                               FLoop, [&] { return pa_context_get_state(FContext) == PA_CONTEXT_READY; },
                               [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(FContext)); });
    if (!connected) throw Exception("Cannot record the sound \"" + name + "\": no sound server answers");
    // The defaults as the desktop's sound settings have them now.
    struct TDefaults {
      pa_threaded_mainloop* Loop;
      bool Done = false;
      std::string Source, Sink;
    } defaults{FLoop};
    pa_operation* op = pa_context_get_server_info(
        FContext,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* d = static_cast<TDefaults*>(data);
          if (info && info->default_source_name) d->Source = info->default_source_name;
          if (info && info->default_sink_name) d->Sink = info->default_sink_name;
          d->Done = true;
          pa_threaded_mainloop_signal(d->Loop, 0);
        },
        &defaults);
    if (op) {
      WaitFor(
          FLoop, [&] { return defaults.Done; },
          [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(FContext)); });
      pa_operation_unref(op);
    }
    const auto add = [&](const std::string& device, const char* what) {
      auto input = std::make_unique<TInput>();
      input->Owner = this;
      input->Device = device;
      input->Name = what;
      FInputs.push_back(std::move(input));
    };
    if (source == TSoundSource::Microphone || source == TSoundSource::MicrophoneAndDesktop)
      add(defaults.Source, "Microphone");
    if (source == TSoundSource::Desktop || source == TSoundSource::MicrophoneAndDesktop)
      add(defaults.Sink.empty() ? std::string() : defaults.Sink + ".monitor", "Desktop audio");
    for (auto& input : FInputs) Connect(*input);
    for (auto& input : FInputs) input->LastHeard = MonotonicNow();
    FRunning = true;
    pa_threaded_mainloop_unlock(FLoop);
  } catch (...) {
    if (locked) pa_threaded_mainloop_unlock(FLoop);
    Release();
    ::unlink(wavPath.c_str());
    throw;
  }
}

TPulseCapture::~TPulseCapture() {
  Release();
  if (!FClosed) FWav.Close();  // what came is kept, with its sizes
}

void TPulseCapture::Connect(TInput& input) {
  if (input.Device.empty())
    throw Exception("The sound source \"" + input.Name +
                    "\" does not exist: the sound server has no default " +
                    (input.Name == "Microphone" ? "input" : "output"));
  const pa_sample_spec format{PA_SAMPLE_S16LE, static_cast<uint32_t>(kRate), static_cast<uint8_t>(kChannels)};
  input.Stream = pa_stream_new(FContext, "Pelimar recording", &format, nullptr);
  if (!input.Stream) throw Exception("Cannot record the sound \"" + input.Name + "\"");
  pa_stream_set_state_callback(input.Stream, &TPulseCapture::OnStreamState, &input);
  pa_stream_set_read_callback(input.Stream, &TPulseCapture::OnRead, &input);
  // Small fragments: a server left to its own choice may hold the sound
  // back for seconds, and the pictures do not wait.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(kRate / 50 * kBlockAlign);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_DONT_MOVE);
  const bool ready = pa_stream_connect_record(input.Stream, input.Device.c_str(), &attr, flags) >= 0 &&
                     WaitFor(
                         FLoop, [&] { return pa_stream_get_state(input.Stream) == PA_STREAM_READY; },
                         [&] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(input.Stream)); });
  if (!ready)
    throw Exception("The sound source \"" + input.Name + "\" (" + input.Device + ") does not exist");
}

void TPulseCapture::OnContextState(pa_context* context, void* self) {
  auto* capture = static_cast<TPulseCapture*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
    capture->Fail("The sound stopped: the sound server went away");
  pa_threaded_mainloop_signal(capture->FLoop, 0);
}

void TPulseCapture::OnStreamState(pa_stream* stream, void* data) {
  auto* input = static_cast<TInput*>(data);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  // Once running, a stream that ends lost its source (a microphone pulled
  // out): said, and silence stands in for it while the others go on.
  if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && input->Owner->FRunning) {
    input->Silenced = true;
    input->Owner->Fail("The sound stopped: the sound source \"" + input->Name + "\" (" + input->Device +
                       ") went away");
  }
  pa_threaded_mainloop_signal(input->Owner->FLoop, 0);
}

void TPulseCapture::OnRead(pa_stream* stream, size_t, void* data) {
  auto* input = static_cast<TInput*>(data);
  TPulseCapture& self = *input->Owner;
  for (;;) {
    const void* bytes = nullptr;
    size_t size = 0;
    if (pa_stream_peek(stream, &bytes, &size) < 0 || size == 0) break;
    const size_t samples = size / 2 - (size / 2) % kChannels;
    const int64_t frames = static_cast<int64_t>(samples / kChannels);
    const int64_t now = MonotonicNow();
    if (input->Silenced) {
      // Sound again after silence: it was taken just now, as the others'
      // latest was, so it ends where they end (or later, never earlier).
      int64_t othersEnd = 0;
      for (const auto& other : self.FInputs)
        if (other.get() != input) othersEnd = std::max(othersEnd, other->Placed);
      const int64_t gap = std::max<int64_t>(0, othersEnd - (input->Placed + frames));
      input->Pending.resize(input->Pending.size() + static_cast<size_t>(gap * kChannels), int16_t{0});
      input->Placed += gap;
      input->Silenced = false;
    }
    const size_t at = input->Pending.size();
    input->Pending.resize(at + samples);
    // A hole in the stream (data lost on the server's side) is silence.
    if (bytes)
      std::memcpy(input->Pending.data() + at, bytes, samples * 2);
    else
      std::fill(input->Pending.begin() + static_cast<ptrdiff_t>(at), input->Pending.end(), int16_t{0});
    input->Placed += frames;
    input->LastHeard = now;
    pa_stream_drop(stream);
    // Every source tells the track's clock: they share its timeline.
    self.Observe(input->Placed, now);
  }
  self.Mix(false);
}

void TPulseCapture::Observe(int64_t frames, int64_t now) {
  // Sound reaches us late by a varying amount (the server's buffers, the
  // scheduler), never early: the arrival that was least late in each
  // second tells best when its last sample was taken. The server's own
  // latency figures proved no better, and wrong by half a second while a
  // stream starts.
  const int64_t lateness = now - frames * 1000000000 / kRate;
  std::lock_guard<std::mutex> lock(FLock);
  // A source a little behind the others tells of a point already passed.
  if (!FClock.empty() && frames <= FClock.back().Frame) return;
  if (!FBest.Time || lateness < FBestLateness) {
    FBest = TSoundClock{frames, now};
    FBestLateness = lateness;
  }
  if (frames >= FNextClock) {
    FClock.push_back(FBest);
    FBest = TSoundClock{};
    FNextClock = frames + kRate;
  }
}

std::vector<TSoundClock> TPulseCapture::Clock() const {
  std::lock_guard<std::mutex> lock(FLock);
  // While a stream starts, the server may hold the sound back for a while:
  // all of the first second may come late. A later second that came sooner
  // tells the earlier one's time better, counted back at the nominal rate;
  // over ten seconds a card's clock drifts by a few milliseconds at most.
  std::vector<TSoundClock> clock = FClock;
  for (size_t i = 0; i < clock.size(); ++i)
    for (size_t j = i + 1; j < clock.size() && j <= i + 10; ++j)
      clock[i].Time =
          std::min(clock[i].Time, FClock[j].Time - (FClock[j].Frame - clock[i].Frame) * 1000000000 / kRate);
  return clock;
}

void TPulseCapture::Mix(bool flush) {
  if (FStopped) return;
  size_t longest = 0;
  for (const auto& input : FInputs) longest = std::max(longest, input->Pending.size());
  const int64_t now = MonotonicNow();
  for (const auto& input : FInputs) {
    if (input->Pending.size() >= longest) continue;
    if (!input->Silenced && !flush && now - input->LastHeard < kStallNs) continue;
    input->Silenced = input->Silenced || !flush;
    input->Placed += static_cast<int64_t>((longest - input->Pending.size()) / kChannels);
    input->Pending.resize(longest, int16_t{0});
  }
  size_t samples = FInputs.front()->Pending.size();
  for (const auto& input : FInputs) samples = std::min(samples, input->Pending.size());
  samples -= samples % kChannels;
  if (samples == 0) return;
  std::vector<int16_t>& out = FInputs.front()->Pending;
  int peak = 0;
  for (size_t i = 0; i < samples; ++i) {
    int sum = out[i];
    for (size_t k = 1; k < FInputs.size(); ++k) sum += FInputs[k]->Pending[i];
    sum = std::clamp(sum, -32768, 32767);  // two loud sources clip rather than wrap
    out[i] = static_cast<int16_t>(sum);
    peak = std::max(peak, std::abs(sum));
  }
  const int64_t before = FWav.Frames();
  bool ok = FWav.Append(out.data(), static_cast<int64_t>(samples / kChannels));
  if (ok && FWav.Frames() / kRate != before / kRate) ok = FWav.UpdateSizes();
  if (!ok) {
    Fail("The sound stopped: " + FWav.Error());
    FStopped = true;  // what the disk has is kept; nothing more is written
  }
  for (const auto& input : FInputs)
    input->Pending.erase(input->Pending.begin(), input->Pending.begin() + static_cast<ptrdiff_t>(samples));
  FFrames = FWav.Frames();
  const float level = float(peak) / 32768.0f;
  float old = FLevel.load();
  while (level > old && !FLevel.compare_exchange_weak(old, level)) {
  }
}

void TPulseCapture::Fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(FLock);
  if (FFailure.empty()) FFailure = message;
}

void TPulseCapture::Stop() {
  if (FLoop) {
    pa_threaded_mainloop_lock(FLoop);
    Mix(true);  // what the others gave while one lagged is kept
    FStopped = true;
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (FBest.Time) FClock.push_back(FBest);  // the last part second counts too
      FBest = TSoundClock{};
    }
    pa_threaded_mainloop_unlock(FLoop);
  }
  Release();
  if (FClosed) return;
  FClosed = true;
  if (!FWav.Close()) throw Exception(FWav.Error());
}

void TPulseCapture::Release() {
  if (FLoop) {
    pa_threaded_mainloop_lock(FLoop);
    FStopped = true;
    for (auto& input : FInputs)
      if (input->Stream) {
        pa_stream_set_state_callback(input->Stream, nullptr, nullptr);
        pa_stream_set_read_callback(input->Stream, nullptr, nullptr);
        pa_stream_disconnect(input->Stream);
        pa_stream_unref(input->Stream);
        input->Stream = nullptr;
      }
    if (FContext) {
      pa_context_set_state_callback(FContext, nullptr, nullptr);
      pa_context_disconnect(FContext);
      pa_context_unref(FContext);
      FContext = nullptr;
    }
    pa_threaded_mainloop_unlock(FLoop);
    pa_threaded_mainloop_stop(FLoop);
    pa_threaded_mainloop_free(FLoop);
    FLoop = nullptr;
  }
}

}  // namespace

std::unique_ptr<TSoundCapture> TSoundCapture::Start(TSoundSource source, const std::string& wavPath) {
  return std::make_unique<TPulseCapture>(source, wavPath);
}
