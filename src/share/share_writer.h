#pragma once

#include <cstdint>
#include <string>

#include "image/bitmap.h"
#include "image/yuv420.h"
#include "share/video_formats.h"

// What a video for sharing is made of.
struct TShareOptions {
  TVideoFormat Format = TVideoFormat::Mp4;
  TVideoQuality Quality = TVideoQuality::Balanced;
  int32_t Width = 0;  // the video's size: a picture of another size is centred
  int32_t Height = 0;
  int32_t FrameTime = 0;  // how long each picture shows, in ms
  std::string SoundFile;  // a WAV file lined up with the pictures; empty for none
};

// The pictures, as the export hands them over. A pass goes from the first
// picture to the last; a second pass (a GIF's, after one that chose its
// colours) begins with Rewind.
class TShareSource {
 public:
  virtual ~TShareSource() = default;
  virtual int32_t Count() const = 0;
  virtual void Rewind() = 0;
  // The picture of frame index, which stays as it is until Picture is
  // called twice more. final: this pass goes into the file.
  virtual const TBitmap& Picture(int32_t index, bool final) = 0;
  // The same, for a pass that takes YCbCr: JPEG's own planes where the
  // source has them (Yuv), else the pixels (Bitmap). Each pass calls
  // either this or Picture.
  struct TFrame {
    const TBitmap* Bitmap = nullptr;
    const TYuv420Picture* Yuv = nullptr;
  };
  virtual TFrame Frame(int32_t index, bool final) { return TFrame{&Picture(index, final), nullptr}; }
  // done of total steps; false stops the save.
  virtual bool Progress(int64_t done, int64_t total) = 0;
};

// Writes the video under a hidden name beside target and puts it in
// target's place only at the end (a file it replaces keeps its
// permissions). Raises an Exception that says what failed, and returns
// false when Progress said stop; either way nothing is left behind and a
// file at target stays as it was.
bool WriteSharedVideo(const std::string& target, const TShareOptions& options, TShareSource& source);

// How many steps the save of count pictures reports in all: a GIF goes
// through them twice.
int64_t ShareSteps(TVideoFormat format, int32_t count);
