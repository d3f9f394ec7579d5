#include "image/bitmap.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/exception.h"
#include "image/palette.h"

namespace {

bool IsIndexed(int bitCount) {
  return bitCount <= 8;
}

uint32_t Word(const RGBQUAD& c) {
  return static_cast<uint32_t>(c.rgbBlue) | (static_cast<uint32_t>(c.rgbGreen) << 8) |
         (static_cast<uint32_t>(c.rgbRed) << 16);
}

std::array<uint32_t, 256> PaletteWords(const std::vector<RGBQUAD>& palette) {
  std::array<uint32_t, 256> words{};
  for (size_t i = 0; i < palette.size() && i < 256; ++i) words[i] = Word(palette[i]);
  return words;
}

// The span [first, last) of destination positions whose source position
// lies inside the source, with the source position of each. The mapping
// from destination to source only grows, so the span is contiguous.
struct TAxisMap {
  int32_t First = 0;
  std::vector<int32_t> Source;
};

TAxisMap MapAxis(int64_t destStart, int64_t destLength, int64_t destLimit, int64_t srcStart,
                 int64_t srcLength, int64_t srcLimit) {
  TAxisMap map;
  int64_t from = std::max<int64_t>(destStart, 0);
  int64_t to = std::min<int64_t>(destStart + destLength, destLimit);
  for (int64_t d = from; d < to; ++d) {
    int64_t s = srcStart + (d - destStart) * srcLength / destLength;
    if (s < 0 || s >= srcLimit) continue;
    if (map.Source.empty()) map.First = static_cast<int32_t>(d);
    map.Source.push_back(static_cast<int32_t>(s));
  }
  return map;
}

}  // namespace

void TBitmap::TFreeDeleter::operator()(uint8_t* p) const noexcept {
  std::free(p);
}

int BitmapBitCount(TPixelFormat format) {
  switch (format) {
    case pfDevice:
      return 32;
    case pf1bit:
      return 1;
    case pf4bit:
      return 4;
    case pf8bit:
      return 8;
    case pf24bit:
      return 24;
    case pf32bit:
      return 32;
    default:
      throw Exception("Pixel format " + std::to_string(static_cast<int>(format)) +
                      " is not supported by bitmaps");
  }
}

size_t DibStride(int32_t width, int bitCount) {
  return ((static_cast<size_t>(width) * static_cast<size_t>(bitCount) + 31) / 32) * 4;
}

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int32_t width, int32_t height, TPixelFormat format) {
  SetPixelFormat(format);
  SetSize(width, height);
}

TBitmap::TBitmap(const TBitmap& other)
    : FWidth(other.FWidth),
      FHeight(other.FHeight),
      FFormat(other.FFormat),
      FBitCount(other.FBitCount),
      FStride(other.FStride),
      FPalette(other.FPalette),
      FLookup(other.FLookup) {
  if (other.FBits) {
    FBits.reset(static_cast<uint8_t*>(std::malloc(other.ImageSize())));
    if (!FBits)
      throw Exception("Out of memory for a picture of " + std::to_string(FWidth) + " x " +
                      std::to_string(FHeight));
    std::memcpy(FBits.get(), other.FBits.get(), other.ImageSize());
  }
}

TBitmap& TBitmap::operator=(const TBitmap& other) {
  if (this != &other) {
    TBitmap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TBitmap::TBitmap(TBitmap&& other) noexcept {
  *this = std::move(other);
}

TBitmap& TBitmap::operator=(TBitmap&& other) noexcept {
  if (this != &other) {
    FWidth = std::exchange(other.FWidth, 0);
    FHeight = std::exchange(other.FHeight, 0);
    FFormat = std::exchange(other.FFormat, pfDevice);
    FBitCount = std::exchange(other.FBitCount, 32);
    FStride = std::exchange(other.FStride, 0);
    FBits = std::move(other.FBits);
    FPalette = std::move(other.FPalette);
    other.FPalette.clear();
    FLookup = std::move(other.FLookup);
  }
  return *this;
}

TBitmap::~TBitmap() = default;

TBitmap TBitmap::Uninitialized(int32_t width, int32_t height, TPixelFormat format) {
  TBitmap picture;
  picture.SetPixelFormat(format);
  picture.Resize(width, height, false);
  // Row padding is never drawn, so it is cleared here: files made from the
  // picture do not carry stray bytes.
  const size_t used = (static_cast<size_t>(width) * static_cast<size_t>(picture.FBitCount) + 7) / 8;
  if (used < picture.FStride)
    for (int32_t y = 0; y < height; ++y) std::memset(picture.ScanLine(y) + used, 0, picture.FStride - used);
  return picture;
}

void TBitmap::SetSize(int32_t width, int32_t height) {
  Resize(width, height, true);
}

void TBitmap::Resize(int32_t width, int32_t height, bool clear) {
  if (width < 0 || height < 0 || width > kMaxPictureSide || height > kMaxPictureSide)
    throw Exception("A picture of " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels is outside the supported size of 0 to 32768 pixels a side");
  if (width == FWidth && height == FHeight) return;
  size_t stride = DibStride(width, FBitCount);
  size_t bytes = stride * static_cast<size_t>(height);
  std::unique_ptr<uint8_t, TFreeDeleter> bits;
  if (bytes > 0) {
    // calloc: new pixels are black (index 0 in every standard table), and a
    // large block comes from the system already zeroed, untouched until drawn.
    bits.reset(static_cast<uint8_t*>(clear ? std::calloc(bytes, 1) : std::malloc(bytes)));
    if (!bits)
      throw Exception("Out of memory for a picture of " + std::to_string(width) + " x " +
                      std::to_string(height));
  }
  if (FBits && clear) {
    // Keep the top-left part: row y from the top lands on row y from the top.
    // Only whole kept pixels are copied, so the row padding stays zero.
    int32_t rows = std::min(height, FHeight);
    size_t keptBits = static_cast<size_t>(std::min(width, FWidth)) * static_cast<size_t>(FBitCount);
    for (int32_t y = 0; y < rows; ++y) {
      uint8_t* target = bits.get() + stride * static_cast<size_t>(height - 1 - y);
      std::memcpy(target, ScanLine(y), (keptBits + 7) / 8);
      if (keptBits % 8 != 0) target[keptBits / 8] &= static_cast<uint8_t>(0xFF00 >> (keptBits % 8));
    }
  }
  FBits = std::move(bits);
  FWidth = width;
  FHeight = height;
  FStride = stride;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
  int bitCount = BitmapBitCount(format);
  if (format == FFormat) return;
  if (bitCount == FBitCount && !IsIndexed(bitCount)) {
    FFormat = format;  // pfDevice and pf32bit share one layout
    return;
  }
  TBitmap converted;
  converted.FFormat = format;
  converted.FBitCount = bitCount;
  if (IsIndexed(bitCount)) converted.FPalette = StandardPalette(bitCount);
  converted.SetSize(FWidth, FHeight);
  converted.Draw(0, 0, *this);
  *this = std::move(converted);
}

void TBitmap::SetPalette(std::vector<RGBQUAD> palette) {
  if (!IsIndexed(FBitCount)) throw Exception("Only pictures of 8 bits or less per pixel have a colour table");
  palette.resize(size_t{1} << FBitCount, RGBQUAD{0, 0, 0, 0});
  FPalette = std::move(palette);
  FLookup.reset();
}

const TColorLookup& TBitmap::Lookup() const {
  if (!FLookup) FLookup = ColorLookupFor(FPalette);
  return *FLookup;
}

BITMAPINFOHEADER TBitmap::InfoHeader() const {
  BITMAPINFOHEADER header{};
  header.biSize = 40;
  header.biWidth = FWidth;
  header.biHeight = FHeight;
  header.biPlanes = 1;
  header.biBitCount = static_cast<uint16_t>(FBitCount);
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<uint32_t>(ImageSize());
  return header;
}

std::vector<uint8_t> TBitmap::DibHeader() const {
  BITMAPINFOHEADER h = InfoHeader();
  std::vector<uint8_t> bytes(40 + 4 * FPalette.size());
  uint8_t* p = bytes.data();
  PutLE32(p + 0, h.biSize);
  PutLE32(p + 4, static_cast<uint32_t>(h.biWidth));
  PutLE32(p + 8, static_cast<uint32_t>(h.biHeight));
  PutLE16(p + 12, h.biPlanes);
  PutLE16(p + 14, h.biBitCount);
  PutLE32(p + 16, h.biCompression);
  PutLE32(p + 20, h.biSizeImage);
  PutLE32(p + 24, static_cast<uint32_t>(h.biXPelsPerMeter));
  PutLE32(p + 28, static_cast<uint32_t>(h.biYPelsPerMeter));
  PutLE32(p + 32, h.biClrUsed);
  PutLE32(p + 36, h.biClrImportant);
  for (size_t i = 0; i < FPalette.size(); ++i) {
    uint8_t* entry = p + 40 + 4 * i;
    entry[0] = FPalette[i].rgbBlue;
    entry[1] = FPalette[i].rgbGreen;
    entry[2] = FPalette[i].rgbRed;
    entry[3] = 0;
  }
  return bytes;
}

void TBitmap::ReadRow(int32_t y, int32_t x, int32_t count, uint32_t* bgrx) const {
  const uint8_t* row = ScanLine(y);
  switch (FBitCount) {
    case 32:
      std::memcpy(bgrx, row + static_cast<size_t>(x) * 4, static_cast<size_t>(count) * 4);
      return;
    case 24: {
      const uint8_t* p = row + static_cast<size_t>(x) * 3;
      for (int32_t i = 0; i < count; ++i, p += 3)
        bgrx[i] = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                  (static_cast<uint32_t>(p[2]) << 16);
      return;
    }
    default:
      break;
  }
  std::array<uint32_t, 256> colors = PaletteWords(FPalette);
  for (int32_t i = 0; i < count; ++i) {
    size_t px = static_cast<size_t>(x + i);
    unsigned index;
    if (FBitCount == 8)
      index = row[px];
    else if (FBitCount == 4)
      index = (row[px / 2] >> ((px % 2) ? 0 : 4)) & 0x0F;
    else
      index = (row[px / 8] >> (7 - px % 8)) & 1;
    bgrx[i] = colors[index];
  }
}

void TBitmap::WriteRow(int32_t y, int32_t x, int32_t count, const uint32_t* bgrx) {
  uint8_t* row = ScanLine(y);
  switch (FBitCount) {
    case 32:
      std::memcpy(row + static_cast<size_t>(x) * 4, bgrx, static_cast<size_t>(count) * 4);
      return;
    case 24: {
      uint8_t* p = row + static_cast<size_t>(x) * 3;
      for (int32_t i = 0; i < count; ++i, p += 3) {
        p[0] = static_cast<uint8_t>(bgrx[i]);
        p[1] = static_cast<uint8_t>(bgrx[i] >> 8);
        p[2] = static_cast<uint8_t>(bgrx[i] >> 16);
      }
      return;
    }
    default:
      break;
  }
  const TColorLookup& lookup = Lookup();
  for (int32_t i = 0; i < count; ++i) {
    uint32_t c = bgrx[i];
    unsigned index =
        lookup.Index(static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c));
    size_t px = static_cast<size_t>(x + i);
    if (FBitCount == 8) {
      row[px] = static_cast<uint8_t>(index);
    } else if (FBitCount == 4) {
      unsigned shift = (px % 2) ? 0 : 4;
      row[px / 2] = static_cast<uint8_t>((row[px / 2] & ~(0x0Fu << shift)) | ((index & 0x0F) << shift));
    } else {
      unsigned shift = 7 - px % 8;
      row[px / 8] = static_cast<uint8_t>((row[px / 8] & ~(1u << shift)) | ((index & 1) << shift));
    }
  }
}

RGBQUAD TBitmap::Pixel(int32_t x, int32_t y) const {
  if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) throw Exception("Pixel outside the picture");
  uint32_t c;
  ReadRow(y, x, 1, &c);
  return RGBQUAD{static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
                 static_cast<uint8_t>(c >> 24)};
}

void TBitmap::SetPixel(int32_t x, int32_t y, RGBQUAD color) {
  if (x < 0 || y < 0 || x >= FWidth || y >= FHeight) throw Exception("Pixel outside the picture");
  uint32_t c = Word(color) | (static_cast<uint32_t>(color.rgbReserved) << 24);
  WriteRow(y, x, 1, &c);
}

void TBitmap::FillRect(const TRect& rect, RGBQUAD color) {
  int64_t left = std::max<int64_t>(rect.Left, 0), right = std::min<int64_t>(rect.Right, FWidth);
  int64_t top = std::max<int64_t>(rect.Top, 0), bottom = std::min<int64_t>(rect.Bottom, FHeight);
  if (left >= right || top >= bottom) return;
  std::vector<uint32_t> line(static_cast<size_t>(right - left), Word(color));
  for (int64_t y = top; y < bottom; ++y)
    WriteRow(static_cast<int32_t>(y), static_cast<int32_t>(left), static_cast<int32_t>(right - left),
             line.data());
}

void TBitmap::Draw(int32_t x, int32_t y, const TBitmap& source) {
  Transfer(x, y, source.FWidth, source.FHeight, source, 0, 0, source.FWidth, source.FHeight);
}

void TBitmap::CopyRect(const TRect& dest, const TBitmap& source, const TRect& sourceRect) {
  Transfer(dest.Left, dest.Top, dest.Width(), dest.Height(), source, sourceRect.Left, sourceRect.Top,
           sourceRect.Width(), sourceRect.Height());
}

void TBitmap::StretchDraw(const TRect& dest, const TBitmap& source) {
  Transfer(dest.Left, dest.Top, dest.Width(), dest.Height(), source, 0, 0, source.FWidth, source.FHeight);
}

void TBitmap::Transfer(int64_t destLeft, int64_t destTop, int64_t destWidth, int64_t destHeight,
                       const TBitmap& source, int64_t srcLeft, int64_t srcTop, int64_t srcWidth,
                       int64_t srcHeight) {
  if (destWidth <= 0 || destHeight <= 0 || srcWidth <= 0 || srcHeight <= 0) return;
  if (&source == this) {
    TBitmap copy(source);
    Transfer(destLeft, destTop, destWidth, destHeight, copy, srcLeft, srcTop, srcWidth, srcHeight);
    return;
  }
  TAxisMap columns = MapAxis(destLeft, destWidth, FWidth, srcLeft, srcWidth, source.FWidth);
  TAxisMap rows = MapAxis(destTop, destHeight, FHeight, srcTop, srcHeight, source.FHeight);
  if (columns.Source.empty() || rows.Source.empty()) return;

  const auto count = static_cast<int32_t>(columns.Source.size());
  const int32_t srcFirst = columns.Source.front();
  const int32_t srcSpan = columns.Source.back() - srcFirst + 1;
  const bool straight = srcSpan == count;  // one source pixel per destination pixel
  const bool sameLayout = FBitCount == source.FBitCount && (FBitCount == 24 || FBitCount == 32 ||
                                                            (FBitCount == 8 && FPalette == source.FPalette));
  const size_t bytesPerPixel = static_cast<size_t>(FBitCount / 8);

  std::vector<uint32_t> sourceLine, destLine;
  if (!(straight && sameLayout)) {
    sourceLine.resize(static_cast<size_t>(srcSpan));
    destLine.resize(static_cast<size_t>(count));
  }
  for (size_t r = 0; r < rows.Source.size(); ++r) {
    int32_t destY = rows.First + static_cast<int32_t>(r);
    int32_t srcY = rows.Source[r];
    if (straight && sameLayout) {
      std::memcpy(ScanLine(destY) + static_cast<size_t>(columns.First) * bytesPerPixel,
                  source.ScanLine(srcY) + static_cast<size_t>(srcFirst) * bytesPerPixel,
                  static_cast<size_t>(count) * bytesPerPixel);
      continue;
    }
    source.ReadRow(srcY, srcFirst, srcSpan, sourceLine.data());
    if (straight) {
      WriteRow(destY, columns.First, count, sourceLine.data());
    } else {
      for (int32_t i = 0; i < count; ++i)
        destLine[static_cast<size_t>(i)] =
            sourceLine[static_cast<size_t>(columns.Source[static_cast<size_t>(i)] - srcFirst)];
      WriteRow(destY, columns.First, count, destLine.data());
    }
  }
}

void TBitmap::BlendPremultiplied(int32_t x, int32_t y, int32_t width, int32_t height, const uint32_t* argb) {
  int64_t left = std::max<int64_t>(x, 0), right = std::min<int64_t>(int64_t{x} + width, FWidth);
  int64_t top = std::max<int64_t>(y, 0), bottom = std::min<int64_t>(int64_t{y} + height, FHeight);
  if (left >= right || top >= bottom) return;
  const auto count = static_cast<int32_t>(right - left);
  std::vector<uint32_t> line(static_cast<size_t>(count));
  for (int64_t row = top; row < bottom; ++row) {
    const uint32_t* src =
        argb + static_cast<size_t>(row - y) * static_cast<size_t>(width) + static_cast<size_t>(left - x);
    ReadRow(static_cast<int32_t>(row), static_cast<int32_t>(left), count, line.data());
    for (int32_t i = 0; i < count; ++i) {
      uint32_t s = src[i], d = line[static_cast<size_t>(i)];
      uint32_t alpha = s >> 24;
      if (alpha == 0 && (s & 0xFFFFFF) == 0) continue;
      uint32_t out = d & 0xFF000000u;
      for (int shift = 0; shift <= 16; shift += 8) {
        uint32_t value = ((s >> shift) & 0xFF) + (((d >> shift) & 0xFF) * (255 - alpha) + 127) / 255;
        out |= std::min<uint32_t>(value, 255) << shift;
      }
      line[static_cast<size_t>(i)] = out;
    }
    WriteRow(static_cast<int32_t>(row), static_cast<int32_t>(left), count, line.data());
  }
}
