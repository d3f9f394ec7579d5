#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_support.h"

// A PulseAudio server of the test's own, without a sound card: the output
// "desktop", whose monitor is what desktop audio records, and the input
// "microphone", which hears what is played into "microphone_feed". Both are
// the defaults. While it lives, PULSE_SERVER points to it; it is stopped
// with the object, and dies with the test should that die first.
class TSoundServer {
 public:
  // withDevices false: a server with neither output nor input.
  explicit TSoundServer(bool withDevices = true);
  ~TSoundServer();
  TSoundServer(const TSoundServer&) = delete;
  TSoundServer& operator=(const TSoundServer&) = delete;

  // Plays a sound file to a sink ("desktop" or "microphone_feed") and
  // returns at once.
  void Play(const std::string& file, const std::string& sink);
  // Stops all that Play started.
  void StopPlaying();
  // Takes the microphone away, as when a USB microphone is pulled out.
  void RemoveMicrophone() const;
  void Kill();
  std::string Pactl(const std::string& arguments) const;

 private:
  TTempFolder FFolder;
  pid_t FServer = -1;
  std::vector<pid_t> FPlayers;
};

// A sine tone of hz, seconds long, as a 48 kHz stereo WAV file.
std::string MakeTone(const TTempFolder& folder, int hz, double seconds);
// The strength of a frequency in 16-bit stereo samples (Goertzel), 0 to ~1.
double ToneStrength(const std::vector<int16_t>& samples, int rate, int hz);
