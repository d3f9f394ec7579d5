#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

class TBitmap;

// The planes of a YCbCr 4:2:0 picture: luma at full size, the two chroma
// planes at half size rounded up, each with its own row length in bytes.
struct TYuvPlanes {
  uint8_t* Data[3] = {nullptr, nullptr, nullptr};
  ptrdiff_t Stride[3] = {0, 0, 0};
};

// BT.601 YCbCr 4:2:0 from bottom-up rows of 24 or 32 bits (BGR first), as
// a bitmap holds them: full range as JPEG has it, else the studio range.
// Chroma is the mean of each 2 x 2 block; an odd last row or column pairs
// with itself.
void BgrToYuv420(const uint8_t* bits, size_t stride, int bytesPerPixel, int32_t width, int32_t height,
                 bool fullRange, const TYuvPlanes& planes);

// A picture as JPEG stores it: full-range BT.601 YCbCr, the chroma at half
// the width and height rounded up. The planes may be larger than the
// picture (JPEG decodes whole blocks); Stride is each plane's row length.
struct TYuv420Picture {
  TYuv420Picture() = default;
  // What a picture is moved from is left empty, without memory.
  TYuv420Picture(TYuv420Picture&& other) noexcept { *this = std::move(other); }
  TYuv420Picture& operator=(TYuv420Picture&& other) noexcept;

  int32_t Width = 0, Height = 0;
  // Memory is not cleared when taken, so a header that lies about the size
  // costs only address space until the decoder writes.
  std::unique_ptr<uint8_t[]> Plane[3];
  size_t Capacity[3] = {0, 0, 0};
  ptrdiff_t Stride[3] = {0, 0, 0};
  bool Empty() const { return Width <= 0 || Height <= 0; }
  const uint8_t* Row(int plane, int32_t y) const { return Plane[plane].get() + y * Stride[plane]; }
  // Planes of at least these sizes in bytes; what they held is gone.
  void Reserve(const size_t sizes[3]);
};

// Its planes in the studio range that video codecs take, into planes of
// the picture's size.
void JpegYuvToVideo(const TYuv420Picture& picture, const TYuvPlanes& planes);
// One pixel of it as 0x00RRGGBB, and the whole of it as a 32-bit picture;
// the chroma of each 2 x 2 block is shared by its four pixels.
uint32_t JpegYuvPixel(const TYuv420Picture& picture, int32_t x, int32_t y);
TBitmap JpegYuvToBitmap(const TYuv420Picture& picture);
