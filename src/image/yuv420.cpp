#include "image/yuv420.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "image/bitmap.h"

namespace {

// BT.601 YCbCr 4:2:0 from bottom-up rows of 24 or 32 bits (BGR first),
// full range as JPEG has it, else the studio range. Written out here
// because libswscale's general path costs three times as much at full HD.
// Chroma is the mean of each 2 x 2 block, as JPEG encoders take it.
// The rows of 32-bit pixels, the commonest frames, in loops over whole
// pixels that the compiler turns into vector code; the same arithmetic as
// below, so the same result.
struct TYuvCoefficients {
  int yr, yg, yb, yOffset, ur, ug, ub, vr, vg, vb, cOffset;
};

__attribute__((target_clones("avx2", "default"))) void LumaRow32(const uint32_t* row, uint8_t* out,
                                                                 int32_t width, const TYuvCoefficients& k) {
  const int yr = k.yr, yg = k.yg, yb = k.yb, yOffset = k.yOffset;
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t p = row[x];
    const int b = static_cast<int>(p & 0xFF), g = static_cast<int>((p >> 8) & 0xFF),
              r = static_cast<int>((p >> 16) & 0xFF);
    out[x] = static_cast<uint8_t>((yr * r + yg * g + yb * b + yOffset) >> 16);
  }
}

__attribute__((target_clones("avx2", "default"))) void ChromaRow32(const uint32_t* row0, const uint32_t* row1,
                                                                   uint8_t* u, uint8_t* v, int32_t pairs,
                                                                   const TYuvCoefficients& k) {
  const int ur = k.ur, ug = k.ug, ub = k.ub, vr = k.vr, vg = k.vg, vb = k.vb, cOffset = k.cOffset;
  for (int32_t i = 0; i < pairs; ++i) {
    const uint32_t a = row0[2 * i], c = row0[2 * i + 1], d = row1[2 * i], e = row1[2 * i + 1];
    const int b = static_cast<int>((a & 0xFF) + (c & 0xFF) + (d & 0xFF) + (e & 0xFF));
    const int g =
        static_cast<int>(((a >> 8) & 0xFF) + ((c >> 8) & 0xFF) + ((d >> 8) & 0xFF) + ((e >> 8) & 0xFF));
    const int r =
        static_cast<int>(((a >> 16) & 0xFF) + ((c >> 16) & 0xFF) + ((d >> 16) & 0xFF) + ((e >> 16) & 0xFF));
    u[i] = static_cast<uint8_t>((ur * r + ug * g + ub * b + cOffset) >> 18);
    v[i] = static_cast<uint8_t>((vr * r + vg * g + vb * b + cOffset) >> 18);
  }
}

}  // namespace

void BgrToYuv420(const uint8_t* bits, size_t stride, int bytesPerPixel, int32_t width, int32_t height,
                 bool fullRange, const TYuvPlanes& frame) {
  // Coefficients in 16-bit fixed point; chroma works on sums of four pixels.
  const int yr = fullRange ? 19595 : 16829, yg = fullRange ? 38470 : 33039, yb = fullRange ? 7471 : 6416;
  const int yOffset = fullRange ? 32768 : (16 << 16) + 32768;
  const int ur = fullRange ? -11059 : -9714, ug = fullRange ? -21709 : -19070, ub = fullRange ? 32768 : 28784;
  const int vr = ub, vg = fullRange ? -27439 : -24103, vb = fullRange ? -5329 : -4681;
  const int cOffset = (128 << 18) + (1 << 17);
  auto lumaRow = [&](const uint8_t* row, uint8_t* out) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * static_cast<size_t>(bytesPerPixel);
      out[x] = static_cast<uint8_t>((yr * p[2] + yg * p[1] + yb * p[0] + yOffset) >> 16);
    }
  };
  const TYuvCoefficients k{yr, yg, yb, yOffset, ur, ug, ub, vr, vg, vb, cOffset};
  for (int32_t y = 0; y < height; y += 2) {
    const uint8_t* row0 = bits + stride * static_cast<size_t>(height - 1 - y);
    const uint8_t* row1 = y + 1 < height ? row0 - stride : row0;
    if (bytesPerPixel == 4) {
      // Rows of 32-bit frames are whole words apart and word-aligned.
      const auto* words0 = reinterpret_cast<const uint32_t*>(row0);
      const auto* words1 = reinterpret_cast<const uint32_t*>(row1);
      LumaRow32(words0, frame.Data[0] + static_cast<ptrdiff_t>(y) * frame.Stride[0], width, k);
      if (y + 1 < height)
        LumaRow32(words1, frame.Data[0] + static_cast<ptrdiff_t>(y + 1) * frame.Stride[0], width, k);
      uint8_t* u = frame.Data[1] + static_cast<ptrdiff_t>(y / 2) * frame.Stride[1];
      uint8_t* v = frame.Data[2] + static_cast<ptrdiff_t>(y / 2) * frame.Stride[2];
      ChromaRow32(words0, words1, u, v, width / 2, k);
      if (width % 2 == 0) continue;
      // An odd last column pairs with itself.
      const int32_t x = width - 1;
      const uint32_t a = words0[x], d = words1[x];
      const int b = 2 * static_cast<int>((a & 0xFF) + (d & 0xFF));
      const int g = 2 * static_cast<int>(((a >> 8) & 0xFF) + ((d >> 8) & 0xFF));
      const int r = 2 * static_cast<int>(((a >> 16) & 0xFF) + ((d >> 16) & 0xFF));
      u[x / 2] = static_cast<uint8_t>((ur * r + ug * g + ub * b + cOffset) >> 18);
      v[x / 2] = static_cast<uint8_t>((vr * r + vg * g + vb * b + cOffset) >> 18);
      continue;
    }
    lumaRow(row0, frame.Data[0] + static_cast<ptrdiff_t>(y) * frame.Stride[0]);
    if (y + 1 < height) lumaRow(row1, frame.Data[0] + static_cast<ptrdiff_t>(y + 1) * frame.Stride[0]);
    uint8_t* u = frame.Data[1] + static_cast<ptrdiff_t>(y / 2) * frame.Stride[1];
    uint8_t* v = frame.Data[2] + static_cast<ptrdiff_t>(y / 2) * frame.Stride[2];
    for (int32_t x = 0; x < width; x += 2) {
      const size_t left = static_cast<size_t>(x) * static_cast<size_t>(bytesPerPixel);
      const size_t right = x + 1 < width ? left + static_cast<size_t>(bytesPerPixel) : left;
      const int b = row0[left] + row0[right] + row1[left] + row1[right];
      const int g = row0[left + 1] + row0[right + 1] + row1[left + 1] + row1[right + 1];
      const int r = row0[left + 2] + row0[right + 2] + row1[left + 2] + row1[right + 2];
      u[x / 2] = static_cast<uint8_t>((ur * r + ug * g + ub * b + cOffset) >> 18);
      v[x / 2] = static_cast<uint8_t>((vr * r + vg * g + vb * b + cOffset) >> 18);
    }
  }
}

namespace {

// Full range to the studio range: 0..255 to 16..235 for luma, to 16..240
// around 128 for chroma.
struct TRangeTables {
  std::array<uint8_t, 256> Luma, Chroma;
  TRangeTables() {
    for (int v = 0; v < 256; ++v) {
      Luma[static_cast<size_t>(v)] = static_cast<uint8_t>(std::lround(16 + v * 219.0 / 255));
      Chroma[static_cast<size_t>(v)] = static_cast<uint8_t>(std::lround(128 + (v - 128) * 224.0 / 255));
    }
  }
};

void MapRow(const uint8_t* in, uint8_t* out, int32_t count, const std::array<uint8_t, 256>& table) {
  for (int32_t x = 0; x < count; ++x) out[x] = table[in[x]];
}

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

TYuv420Picture& TYuv420Picture::operator=(TYuv420Picture&& other) noexcept {
  if (this == &other) return *this;
  Width = std::exchange(other.Width, 0);
  Height = std::exchange(other.Height, 0);
  for (int k = 0; k < 3; ++k) {
    Plane[k] = std::move(other.Plane[k]);
    Capacity[k] = std::exchange(other.Capacity[k], 0);
    Stride[k] = std::exchange(other.Stride[k], 0);
  }
  return *this;
}

void TYuv420Picture::Reserve(const size_t sizes[3]) {
  for (int k = 0; k < 3; ++k)
    if (Capacity[k] < sizes[k]) {
      Plane[k].reset();
      Plane[k].reset(new uint8_t[sizes[k]]);
      Capacity[k] = sizes[k];
    }
}

void JpegYuvToVideo(const TYuv420Picture& picture, const TYuvPlanes& planes) {
  static const TRangeTables tables;
  const int32_t cw = (picture.Width + 1) / 2, ch = (picture.Height + 1) / 2;
  for (int32_t y = 0; y < picture.Height; ++y)
    MapRow(picture.Row(0, y), planes.Data[0] + y * planes.Stride[0], picture.Width, tables.Luma);
  for (int k = 1; k < 3; ++k)
    for (int32_t y = 0; y < ch; ++y)
      MapRow(picture.Row(k, y), planes.Data[k] + y * planes.Stride[k], cw, tables.Chroma);
}

uint32_t JpegYuvPixel(const TYuv420Picture& picture, int32_t x, int32_t y) {
  // JFIF's conversion, in 16-bit fixed point.
  const int l = picture.Row(0, y)[x] << 16;
  const int cb = picture.Row(1, y / 2)[x / 2] - 128, cr = picture.Row(2, y / 2)[x / 2] - 128;
  const int r = (l + 91881 * cr + 32768) >> 16;
  const int g = (l - 22554 * cb - 46802 * cr + 32768) >> 16;
  const int b = (l + 116130 * cb + 32768) >> 16;
  return static_cast<uint32_t>(Clamp(r)) << 16 | static_cast<uint32_t>(Clamp(g)) << 8 | Clamp(b);
}

TBitmap JpegYuvToBitmap(const TYuv420Picture& picture) {
  TBitmap bitmap = TBitmap::Uninitialized(picture.Width, picture.Height, pf32bit);
  for (int32_t y = 0; y < picture.Height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(bitmap.ScanLine(y));
    for (int32_t x = 0; x < picture.Width; ++x) row[x] = JpegYuvPixel(picture, x, y);
  }
  return bitmap;
}
