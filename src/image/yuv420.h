#pragma once

#include <cstddef>
#include <cstdint>

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
