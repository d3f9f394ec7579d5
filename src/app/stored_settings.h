#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The user's settings as the per-user registry keeps them, under
// "software\quorvane\Sorvek", each with its value when nothing is stored.
struct TSettingsValues {
  // The first seven, read in this order.
  bool IncludeCursor = true;
  bool UseJpegFormat = true;
  int32_t FPS = 8;
  int32_t VideoSize = 1;
  int32_t PixelFormat = 6;
  int32_t Compression = 0;
  bool ShowArea = true;
  // Those that came later, each read on its own.
  int32_t Sound = 0;
  int32_t RecordingDelay = 0;
  bool HideWhileRecording = false;
  std::string HotkeyStartStop = "Ctrl+Shift+F9";
  std::string HotkeyPauseResume = "Ctrl+Shift+F10";
  int32_t ShareQuality = 1;  // of MP4, WebM and GIF videos: a TVideoQuality
};

// Reads and writes the settings. The first seven are read in order until
// one fails, which stops them there with the failure's message; ShowArea
// is the one of them whose failure is not worth a word. Each later value
// is read on its own, whatever became of the others: one that is there but
// cannot be read keeps its default, is not written over unless the user
// changed it, and nobody is told.
class TStoredSettings {
 public:
  // Reads the key; a missing key leaves the defaults and no failure.
  void Load();
  // What was read, defaults where nothing could be.
  const TSettingsValues& Values() const { return FValues; }
  // How many of the first six were read (6: all), and why the next could not be.
  int InOrderRead() const { return FInOrderRead; }
  bool ShowAreaRead() const { return FShowAreaRead; }
  const std::string& Failure() const { return FFailure; }

  // Writes every value in one go: the key never holds only some of them.
  // Raises when the key cannot be written.
  void Save(const TSettingsValues& values);
  // The desktop's token for the user's consent to share the screen; empty
  // when none is kept or it cannot be read.
  std::string RestoreToken() const;
  // Keeps a new token, with the settings as they stand where the key does
  // not hold them all yet.
  void SaveToken(const std::string& token, const TSettingsValues& values);

 private:
  std::vector<std::string> FUnreadable;  // later values there but not readable
  TSettingsValues FValues;
  int FInOrderRead = 0;
  bool FShowAreaRead = false;
  std::string FFailure;
};
