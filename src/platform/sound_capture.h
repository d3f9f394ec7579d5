#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Where a recording's sound comes from.
enum class TSoundSource : int32_t { None = 0, Microphone = 1, Desktop = 2, MicrophoneAndDesktop = 3 };

// The name a user knows a source by: "Microphone", "Desktop audio", ...
std::string SoundSourceName(TSoundSource source);

// When a sample was captured: the index of a sample frame in the WAV file
// and the monotonic clock's time (CLOCK_MONOTONIC, ns) it was taken at.
struct TSoundClock {
  int64_t Frame = 0;
  int64_t Time = 0;
};

// Sound being recorded from the desktop's sound server (PulseAudio, or
// PipeWire's PulseAudio server) into a WAV file: 16-bit PCM, 48000 Hz,
// stereo, written as it arrives on a thread of the sound server's client.
// The file's header is brought up to date every second, so after a crash
// the file is valid up to the last second written.
class TSoundCapture {
 public:
  static constexpr int32_t kRate = 48000;
  static constexpr int32_t kChannels = 2;

  virtual ~TSoundCapture() = default;

  // Starts recording source into a new file at wavPath (made exclusively,
  // mode 0600). Raises an Exception that names the source when there is no
  // sound server or no such source.
  static std::unique_ptr<TSoundCapture> Start(TSoundSource source, const std::string& wavPath);

  // Sample frames in the file so far.
  virtual int64_t Frames() const = 0;
  // Points of the sound's clock against the monotonic clock, about one a
  // second from the first sample on: what lines the sound up with the
  // pictures. Empty until the first tenth of a second of sound came.
  virtual std::vector<TSoundClock> Clock() const = 0;
  // The loudest sample since the last call, 0 to 1.
  virtual float TakeLevel() = 0;
  // What stopped the sound after its start (the server or the source went,
  // the disk is full), once; empty while all is well and after the first
  // call that returned it. The file keeps what was written.
  virtual std::string TakeFailure() = 0;
  // Stops and completes the file. Raises when it cannot be completed; a
  // failure already told by TakeFailure is not raised again.
  virtual void Stop() = 0;
};

// Writes the sound of capturedWav that goes with the pictures to alignedWav:
// its first sample is the one taken when the first picture was
// (pictureTimes, CLOCK_MONOTONIC ns; silence where the sound had not begun),
// and each picture gets frameTime ms of sound. The sound follows the
// pictures' capture times: where a tick came late, or the sound card's clock
// runs apart from the system's, it is cut or repeated once the two are more
// than a quarter of a frame apart, so they never drift.
void AlignSound(const std::string& capturedWav, const std::vector<TSoundClock>& clock,
                const std::vector<int64_t>& pictureTimes, int32_t frameTime, const std::string& alignedWav);
