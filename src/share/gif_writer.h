#pragma once

// GIF animations of recordings: one palette chosen for the whole
// recording, and in each frame only the rectangle that changed, with the
// pixels that did not change left transparent so the frame before shows
// through.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "image/bitmap.h"
#include "share/video_formats.h"

struct TGifSettings {
  int32_t Colours = 255;  // at most 255: one index stands for "unchanged"
  // Error diffusion where the picture is smooth (gradients, photos); edges
  // such as text are left undithered, so they stay sharp.
  bool Dither = false;
  // A pixel whose new colour is within this squared distance of the one
  // shown is left as it is: changes too small to see cost no bytes.
  int32_t Tolerance = 0;
};
TGifSettings GifSettingsFor(TVideoQuality quality);

// The colours of a recording: counted over all its pictures, then a
// palette chosen by median cut.
class TGifColours {
 public:
  TGifColours();
  // A 32-bit picture.
  void Count(const TBitmap& picture);
  // At most colours colours as 0xRRGGBB, each the mean of the pixels it
  // stands for.
  std::vector<uint32_t> Palette(int32_t colours) const;

 private:
  std::vector<uint32_t> FCounts;  // of each 24-bit colour
};

// Writes a GIF animation picture by picture to a sink of bytes.
class TGifEncoder {
 public:
  using TSink = std::function<void(const uint8_t* data, size_t size)>;

  TGifEncoder(TSink sink, int32_t width, int32_t height, const std::vector<uint32_t>& palette,
              const TGifSettings& settings);
  ~TGifEncoder();
  TGifEncoder(const TGifEncoder&) = delete;
  TGifEncoder& operator=(const TGifEncoder&) = delete;

  // A 32-bit picture of the animation's size and the one added before it
  // (null for the first), shown for delay hundredths of a second.
  void Add(const TBitmap& picture, const TBitmap* previous, int32_t delay);
  void Finish();

  // How long picture index shows, in hundredths of a second, when each
  // lasts frameTime ms: rounded so that the sum of the first n is always
  // n * frameTime rounded, never drifting from the recording's length.
  static int32_t Delay(int32_t index, int32_t frameTime);

 private:
  uint8_t Nearest(uint32_t rgb);
  bool Close(uint8_t a, uint8_t b) const;
  void Put(const void* data, size_t size);
  void Flush();

  TSink FSink;
  int32_t FWidth, FHeight;
  std::vector<uint32_t> FPalette;
  TGifSettings FSettings;
  std::vector<uint8_t> FOut;
  std::vector<uint8_t> FCache;   // the palette index of each 24-bit colour met so far
  std::vector<uint64_t> FKnown;  // which of them are there
  std::vector<uint8_t> FIndices;
  std::vector<int32_t> FError;   // diffused error of two rows, three channels each
  std::vector<uint8_t> FCanvas;  // the palette index each pixel shows so far
};
