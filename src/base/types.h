#pragma once

#include <cstdint>

// A rectangle in pixels: right and bottom are exclusive, and nothing keeps
// Left <= Right or Top <= Bottom.
struct TRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;

  constexpr TRect() = default;
  constexpr TRect(int32_t left, int32_t top, int32_t right, int32_t bottom)
      : Left(left), Top(top), Right(right), Bottom(bottom) {}

  // Computed in 64 bits: a rectangle spanning the whole int32 range does not overflow.
  constexpr int64_t Width() const { return int64_t{Right} - Left; }
  constexpr int64_t Height() const { return int64_t{Bottom} - Top; }
  constexpr bool operator==(const TRect&) const = default;
};

struct TPoint {
  int32_t X = 0;
  int32_t Y = 0;
  constexpr bool operator==(const TPoint&) const = default;
};

// Pixel formats of bitmaps and of the writer's frames. pfDevice is the
// screen's own format (32-bit BGRX on this platform).
enum TPixelFormat : int32_t {
  pfDevice = 0,
  pf1bit = 1,
  pf4bit = 2,
  pf8bit = 3,
  pf15bit = 4,
  pf16bit = 5,
  pf24bit = 6,
  pf32bit = 7,
  pfCustom = 8
};

// Bits per pixel of the formats from pf1bit to pf32bit. pfDevice and
// pfCustom have no entry: asking for them raises an Exception.
int PixelFormatBits(TPixelFormat format);
