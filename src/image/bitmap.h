#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/types.h"
#include "base/wintypes.h"

class TColorLookup;

// The largest picture we hold: wider or taller is refused before anything
// is allocated.
constexpr int32_t kMaxPictureSide = 32768;

// A device-independent bitmap: rows stored bottom-up with a 4-byte aligned
// stride, 1, 4, 8, 24 or 32 bits per pixel, and a colour table of 2^bits
// entries for the indexed depths. pfDevice is the screen's format, 32-bit
// BGRX. New pixels are black.
class TBitmap {
 public:
  TBitmap();
  TBitmap(int32_t width, int32_t height, TPixelFormat format = pfDevice);
  // A picture whose pixels are left as the memory had them, for a caller
  // that writes every one at once (a screen capture): no time is spent
  // clearing, and memory freed by the previous picture is taken again.
  static TBitmap Uninitialized(int32_t width, int32_t height, TPixelFormat format = pfDevice);
  TBitmap(const TBitmap& other);
  TBitmap& operator=(const TBitmap& other);
  TBitmap(TBitmap&& other) noexcept;
  TBitmap& operator=(TBitmap&& other) noexcept;
  ~TBitmap();

  int32_t Width() const { return FWidth; }
  int32_t Height() const { return FHeight; }
  TPixelFormat PixelFormat() const { return FFormat; }
  int BitCount() const { return FBitCount; }
  bool Empty() const { return FWidth == 0 || FHeight == 0; }

  // A new format converts the pixels and, for the indexed depths, brings the
  // depth's standard colour table. pf15bit, pf16bit and pfCustom are refused.
  void SetPixelFormat(TPixelFormat format);
  // A new size keeps the top-left part of the picture; new pixels are black.
  void SetWidth(int32_t width) { SetSize(width, FHeight); }
  void SetHeight(int32_t height) { SetSize(FWidth, height); }
  void SetSize(int32_t width, int32_t height);

  const std::vector<RGBQUAD>& Palette() const { return FPalette; }
  // Indexed depths only; a shorter table is filled up with black, a longer one cut.
  void SetPalette(std::vector<RGBQUAD> palette);

  size_t Stride() const { return FStride; }
  size_t ImageSize() const { return FStride * static_cast<size_t>(FHeight); }
  // The pixel array, bottom row first, as a DIB holds it.
  uint8_t* Bits() { return FBits.get(); }
  const uint8_t* Bits() const { return FBits.get(); }
  // Row y counted from the top.
  uint8_t* ScanLine(int32_t y) { return FBits.get() + RowOffset(y); }
  const uint8_t* ScanLine(int32_t y) const { return FBits.get() + RowOffset(y); }

  // The BITMAPINFOHEADER of the pixel array (biSizeImage filled), and the
  // header followed by the colour table as the bytes of a packed DIB header.
  BITMAPINFOHEADER InfoHeader() const;
  std::vector<uint8_t> DibHeader() const;

  RGBQUAD Pixel(int32_t x, int32_t y) const;
  void SetPixel(int32_t x, int32_t y, RGBQUAD color);

  // Drawing. Every operation clips to both bitmaps and converts between
  // formats; reduction to an indexed depth takes the nearest table colour.
  void FillRect(const TRect& rect, RGBQUAD color);
  // Copies the whole source with its top-left corner at (x, y).
  void Draw(int32_t x, int32_t y, const TBitmap& source);
  // Copies sourceRect of source onto dest: pixel for pixel when the sizes
  // match, else stretched without smoothing (pixels dropped or repeated).
  void CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect);
  void StretchDraw(const TRect& dest, const TBitmap& source);
  // Blends an image of premultiplied ARGB words (row by row from the top)
  // with its top-left corner at (x, y); what falls outside is clipped.
  void BlendPremultiplied(int32_t x, int32_t y, int32_t width, int32_t height, const uint32_t* argb);

  // Row conversion, used by the drawing and by the picture files: a span of
  // row y as BGRX words (the X byte 0 unless a 32-bit source carries one),
  // and back.
  void ReadRow(int32_t y, int32_t x, int32_t count, uint32_t* bgrx) const;
  void WriteRow(int32_t y, int32_t x, int32_t count, const uint32_t* bgrx);

 private:
  struct TFreeDeleter {
    void operator()(uint8_t* p) const noexcept;
  };

  void Resize(int32_t width, int32_t height, bool clear);
  size_t RowOffset(int32_t y) const { return FStride * static_cast<size_t>(FHeight - 1 - y); }
  const TColorLookup& Lookup() const;
  void Transfer(int64_t destLeft, int64_t destTop, int64_t destWidth, int64_t destHeight,
                const TBitmap& source, int64_t srcLeft, int64_t srcTop, int64_t srcWidth, int64_t srcHeight);

  int32_t FWidth = 0;
  int32_t FHeight = 0;
  TPixelFormat FFormat = pfDevice;
  int FBitCount = 32;
  size_t FStride = 0;
  std::unique_ptr<uint8_t, TFreeDeleter> FBits;
  std::vector<RGBQUAD> FPalette;
  mutable std::shared_ptr<const TColorLookup> FLookup;
};

// Bits per pixel of a bitmap format: pfDevice is 32 here.
int BitmapBitCount(TPixelFormat format);
size_t DibStride(int32_t width, int bitCount);
