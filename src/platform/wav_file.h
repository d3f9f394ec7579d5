#pragma once

// The recording's sound files: 16-bit PCM WAV at the capture's rate and
// channels, written as the sound comes. Inside the platform only.
#include <cstdint>
#include <string>

#include "platform/sound_capture.h"

constexpr int32_t kBlockAlign = TSoundCapture::kChannels * 2;

// A WAV file made exclusively (mode 0600, never through a link) and
// written from the start: its sizes are put right now and then, so what a
// crash leaves is a valid file up to that point.
class TWavFile {
 public:
  explicit TWavFile(const std::string& path);
  ~TWavFile();
  TWavFile(const TWavFile&) = delete;
  TWavFile& operator=(const TWavFile&) = delete;

  // False, with Error() saying why, when the frames could not all be written.
  bool Append(const int16_t* samples, int64_t frames);
  // The sizes in the header, for all frames written so far.
  bool UpdateSizes();
  bool Close();
  int64_t Frames() const { return FFrames; }
  const std::string& Error() const { return FError; }

 private:
  bool WriteAll(const void* data, size_t size);
  bool Failed();

  std::string FPath;
  int FFd = -1;
  int64_t FFrames = 0;
  std::string FError;
};

// A WAV file of the capture's format, read anywhere: every frame the file
// holds, also those its header has not counted yet.
class TWavReader {
 public:
  explicit TWavReader(const std::string& path);
  ~TWavReader();
  TWavReader(const TWavReader&) = delete;
  TWavReader& operator=(const TWavReader&) = delete;

  int64_t Frames() const { return FFrames; }
  // frames frames from frame first on; silence where the file has none.
  void Read(int64_t first, int64_t frames, int16_t* samples) const;

 private:
  int FFd = -1;
  int64_t FFrames = 0;
};
