#include "share/gif_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/exception.h"

namespace {

constexpr uint8_t kUnchanged = 255;
constexpr int32_t kShortestTransparentRun = 16;

// The pixels of a row of a 32-bit picture as 0x..RRGGBB words.
const uint32_t* Row(const TBitmap& picture, int32_t y) {
  return reinterpret_cast<const uint32_t*>(picture.ScanLine(y));
}

void PutLE16(std::vector<uint8_t>& out, int32_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

// The rectangle of a picture whose pixels differ from the one before:
// left, top, right, bottom (exclusive); empty when none differ.
struct TChange {
  int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
  bool Empty() const { return Right <= Left || Bottom <= Top; }
};

TChange ChangedRect(const TBitmap& picture, const TBitmap* previous) {
  const int32_t width = picture.Width(), height = picture.Height();
  if (!previous) return TChange{0, 0, width, height};
  TChange c{width, height, 0, 0};
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t *a = Row(picture, y), *b = Row(*previous, y);
    if (std::memcmp(a, b, static_cast<size_t>(width) * 4) == 0) continue;
    int32_t left = 0, right = width;
    while (((a[left] ^ b[left]) & 0xFFFFFF) == 0) ++left;
    while (((a[right - 1] ^ b[right - 1]) & 0xFFFFFF) == 0) --right;
    if (left >= right) continue;  // only the unused fourth bytes differ
    c.Left = std::min(c.Left, left);
    c.Right = std::max(c.Right, right);
    c.Top = std::min(c.Top, y);
    c.Bottom = y + 1;
  }
  return c;
}

// GIF's LZW: variable-length codes from 9 to 12 bits for 8-bit indices,
// the bytes in sub-blocks of 255. A full table is used as it is for as
// long as it serves, and cleared once it no longer does.
class TLzw {
 public:
  explicit TLzw(std::vector<uint8_t>& out) : FOut(out) { FKeys.resize(kSlots); }

  void Encode(const uint8_t* indices, size_t count) {
    FOut.push_back(8);  // LZW minimum code size
    Reset();
    Emit(kClear);
    uint32_t prefix = indices[0];
    for (size_t i = 1; i < count; ++i) {
      const uint32_t key = prefix << 8 | indices[i];
      uint32_t slot = Hash(key);
      while (FKeys[slot] != -1 && static_cast<uint32_t>(FKeys[slot]) != key) slot = (slot + 1) & (kSlots - 1);
      if (FKeys[slot] != -1) {
        prefix = FCodes[slot];
        continue;
      }
      Emit(prefix);
      if (FNext < 4096) {
        FKeys[slot] = static_cast<int32_t>(key);
        FCodes[slot] = static_cast<uint16_t>(FNext++);
        // The reader widens its codes once its table (one entry behind
        // ours) has filled the present width.
        if (FNext > (1u << FBits) && FBits < 12) ++FBits;
      } else if (Worn(i)) {
        Emit(kClear);
        Reset();
      }
      prefix = indices[i];
    }
    Emit(prefix);
    // The reader adds an entry for that last code before it reads the end.
    if (FNext == (1u << FBits) && FBits < 12) ++FBits;
    Emit(kEnd);
    if (FCount > 0) FBlock[FBlockSize++] = static_cast<uint8_t>(FAcc & 0xFF);
    FlushBlock();
    FOut.push_back(0);  // block terminator
  }

 private:
  static constexpr uint32_t kClear = 256, kEnd = 257, kSlots = 16384;

  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> (32 - 14); }

  void Reset() {
    std::fill(FKeys.begin(), FKeys.end(), -1);
    FNext = kEnd + 1;
    FBits = 9;
    FFullCodes = 0;
    FBestWindow = 0;
  }

  // Whether the full table has worn out, as a code is sent at pixel i. A
  // clear at once when the table fills throws away the strings the picture
  // still repeats, and the first codes after it stand for single pixels;
  // so the table stays until a window of codes covers clearly fewer pixels
  // than the best window since it filled (on scrolling text, GIFs 6%
  // smaller than with a clear at once).
  bool Worn(size_t i) {
    constexpr uint32_t kWindow = 256;
    if (FFullCodes++ == 0) FWindowStart = i;
    if (FFullCodes % kWindow != 0) return false;
    const size_t covered = i - FWindowStart;
    FWindowStart = i;
    FBestWindow = std::max(FBestWindow, covered);
    return covered * 5 < FBestWindow * 3;
  }

  void Emit(uint32_t code) {
    FAcc |= code << FCount;
    FCount += FBits;
    while (FCount >= 8) {
      FBlock[FBlockSize++] = static_cast<uint8_t>(FAcc & 0xFF);
      FAcc >>= 8;
      FCount -= 8;
      if (FBlockSize == 255) FlushBlock();
    }
  }

  void FlushBlock() {
    if (FBlockSize == 0) return;
    FOut.push_back(static_cast<uint8_t>(FBlockSize));
    FOut.insert(FOut.end(), FBlock, FBlock + FBlockSize);
    FBlockSize = 0;
  }

  std::vector<uint8_t>& FOut;
  std::vector<int32_t> FKeys;
  uint16_t FCodes[kSlots] = {};
  uint32_t FNext = 0, FBits = 9;
  uint32_t FFullCodes = 0;  // codes sent since the table filled
  size_t FWindowStart = 0, FBestWindow = 0;
  uint32_t FAcc = 0, FCount = 0;
  uint8_t FBlock[255] = {};
  size_t FBlockSize = 0;
};

// A box of colour cells in the median cut.
struct TBox {
  size_t Begin, End;
  double Error;  // squared distance of its pixels from their mean
};

}  // namespace

TGifSettings GifSettingsFor(TVideoQuality quality) {
  switch (quality) {
    case TVideoQuality::SmallFile:
      return TGifSettings{64, false, 12};
    case TVideoQuality::Sharp:
      return TGifSettings{255, true, 0};
    default:
      return TGifSettings{255, false, 0};
  }
}

TGifColours::TGifColours() : FCounts(size_t{1} << 24) {}

void TGifColours::Count(const TBitmap& picture) {
  // Every pixel of every picture: a colour that stays on the screen is
  // seen in every frame, and counts that often.
  const int32_t width = picture.Width(), height = picture.Height();
  for (int32_t y = 0; y < height; ++y) {
    const uint32_t* row = Row(picture, y);
    for (int32_t x = 0; x < width; ++x) {
      uint32_t& count = FCounts[row[x] & 0xFFFFFF];
      if (count < UINT32_MAX) ++count;
    }
  }
}

std::vector<uint32_t> TGifColours::Palette(int32_t colours) const {
  // Every colour met, with how often; each box of the cut a run of them.
  struct TColour {
    uint8_t Channel[3];
    uint32_t Count;
  };
  std::vector<TColour> met;
  for (uint32_t rgb = 0; rgb < FCounts.size(); ++rgb)
    if (FCounts[rgb] > 0)
      met.push_back(TColour{
          {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb)},
          FCounts[rgb]});
  if (met.empty()) return {0};
  // The squared distance of a box's pixels from their mean, and the channel
  // along which they spread most.
  const auto errorOf = [&](size_t begin, size_t end, int& axis) {
    double sum[3] = {}, square[3] = {}, n = 0;
    for (size_t i = begin; i < end; ++i) {
      const double w = met[i].Count;
      n += w;
      for (int k = 0; k < 3; ++k) {
        sum[k] += w * met[i].Channel[k];
        square[k] += w * met[i].Channel[k] * met[i].Channel[k];
      }
    }
    double total = 0, widest = -1;
    for (int k = 0; k < 3; ++k) {
      const double spread = square[k] - sum[k] * sum[k] / n;
      total += spread;
      if (spread > widest) {
        widest = spread;
        axis = k;
      }
    }
    return end - begin > 1 ? total : 0.0;
  };
  int axis = 0;
  std::vector<TBox> boxes{{0, met.size(), errorOf(0, met.size(), axis)}};
  while (static_cast<int32_t>(boxes.size()) < colours) {
    // The box whose pixels are farthest from their colour is cut in two at
    // the median of its widest channel.
    auto worst = std::max_element(boxes.begin(), boxes.end(),
                                  [](const TBox& a, const TBox& b) { return a.Error < b.Error; });
    if (worst->Error <= 0) break;
    const TBox box = *worst;
    errorOf(box.Begin, box.End, axis);
    std::sort(met.begin() + static_cast<ptrdiff_t>(box.Begin), met.begin() + static_cast<ptrdiff_t>(box.End),
              [axis](const TColour& a, const TColour& b) { return a.Channel[axis] < b.Channel[axis]; });
    uint64_t all = 0, half = 0;
    for (size_t i = box.Begin; i < box.End; ++i) all += met[i].Count;
    size_t cut = box.Begin;
    while (cut < box.End - 1 && (half + met[cut].Count) * 2 <= all) half += met[cut++].Count;
    if (cut == box.Begin) cut = box.Begin + 1;
    int unused = 0;
    *worst = TBox{box.Begin, cut, errorOf(box.Begin, cut, unused)};
    boxes.push_back(TBox{cut, box.End, errorOf(cut, box.End, unused)});
  }
  std::vector<uint32_t> palette;
  for (const TBox& box : boxes) {
    uint64_t n = 0, sum[3] = {};
    for (size_t i = box.Begin; i < box.End; ++i) {
      n += met[i].Count;
      for (int k = 0; k < 3; ++k) sum[k] += uint64_t{met[i].Count} * met[i].Channel[k];
    }
    uint32_t rgb = 0;
    for (int k = 0; k < 3; ++k) rgb = rgb << 8 | static_cast<uint32_t>((sum[k] + n / 2) / n);
    palette.push_back(rgb);
  }
  return palette;
}

TGifEncoder::TGifEncoder(TSink sink, int32_t width, int32_t height, const std::vector<uint32_t>& palette,
                         const TGifSettings& settings)
    : FSink(std::move(sink)),
      FWidth(width),
      FHeight(height),
      FPalette(palette),
      FSettings(settings),
      FCache(size_t{1} << 24),
      FKnown((size_t{1} << 24) / 64) {
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
    throw Exception("A GIF animation cannot be " + std::to_string(width) + " x " + std::to_string(height) +
                    " pixels");
  if (FPalette.empty()) FPalette.push_back(0);
  if (FPalette.size() > kUnchanged) FPalette.resize(kUnchanged);
  const char header[] = "GIF89a";
  Put(header, 6);
  PutLE16(FOut, width);
  PutLE16(FOut, height);
  FOut.push_back(0xF7);  // a global colour table of 256 entries, 8 bits a channel
  FOut.push_back(0);     // background colour index
  FOut.push_back(0);     // pixel aspect ratio: not given
  for (int i = 0; i < 256; ++i) {
    const uint32_t rgb = i < static_cast<int>(FPalette.size()) ? FPalette[static_cast<size_t>(i)] : 0;
    FOut.push_back(static_cast<uint8_t>(rgb >> 16));
    FOut.push_back(static_cast<uint8_t>(rgb >> 8));
    FOut.push_back(static_cast<uint8_t>(rgb));
  }
  // Played again and again: the NETSCAPE2.0 extension with 0 repeats.
  const uint8_t loop[] = {0x21, 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A', 'P',
                          'E',  '2',  '.', '0', 3,   1,   0,   0,   0};
  Put(loop, sizeof loop);
  FError.resize(2 * 3 * (static_cast<size_t>(width) + 2));
  FCanvas.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
}

TGifEncoder::~TGifEncoder() = default;

int32_t TGifEncoder::Delay(int32_t index, int32_t frameTime) {
  const auto upTo = [frameTime](int64_t n) { return (n * frameTime + 5) / 10; };
  return static_cast<int32_t>(upTo(int64_t{index} + 1) - upTo(index));
}

uint8_t TGifEncoder::Nearest(uint32_t rgb) {
  rgb &= 0xFFFFFF;
  if (FKnown[rgb >> 6] >> (rgb & 63) & 1) return FCache[rgb];
  const int r = static_cast<int>(rgb >> 16), g = static_cast<int>((rgb >> 8) & 0xFF),
            b = static_cast<int>(rgb & 0xFF);
  int best = 0, bestDistance = 1 << 30;
  for (size_t i = 0; i < FPalette.size(); ++i) {
    const uint32_t p = FPalette[i];
    const int dr = r - static_cast<int>(p >> 16), dg = g - static_cast<int>((p >> 8) & 0xFF),
              db = b - static_cast<int>(p & 0xFF);
    const int distance = dr * dr + dg * dg + db * db;
    if (distance < bestDistance) {
      bestDistance = distance;
      best = static_cast<int>(i);
    }
  }
  FKnown[rgb >> 6] |= uint64_t{1} << (rgb & 63);
  FCache[rgb] = static_cast<uint8_t>(best);
  return static_cast<uint8_t>(best);
}

void TGifEncoder::Add(const TBitmap& picture, const TBitmap* previous, int32_t delay) {
  TChange c = ChangedRect(picture, previous);
  const bool same = c.Empty();
  if (same) c = TChange{0, 0, 1, 1};  // a frame of one unchanged pixel keeps the timing
  const int32_t w = c.Right - c.Left, h = c.Bottom - c.Top;
  FIndices.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  bool transparent = same;
  const size_t errorRow = 3 * (static_cast<size_t>(w) + 2);
  std::fill(FError.begin(), FError.end(), 0);
  for (int32_t y = 0; y < h; ++y) {
    const uint32_t* row = Row(picture, c.Top + y) + c.Left;
    const uint32_t* before = previous ? Row(*previous, c.Top + y) + c.Left : nullptr;
    const uint32_t* above = c.Top + y > 0 ? Row(picture, c.Top + y - 1) + c.Left : nullptr;
    uint8_t* out = FIndices.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
    int32_t* error = FError.data() + (y % 2) * errorRow + 3;  // this row's, one pixel of margin each side
    int32_t* below = FError.data() + ((y + 1) % 2) * errorRow + 3;
    std::fill(below - 3, below - 3 + errorRow, 0);
    for (int32_t x = 0; x < w; ++x) {
      const uint32_t p = row[x] & 0xFFFFFF;
      if (same || (before && p == (before[x] & 0xFFFFFF))) {
        out[x] = kUnchanged;
        continue;
      }
      if (!FSettings.Dither) {
        out[x] = Nearest(p);
        continue;
      }
      // Smooth where the pixel is close to its neighbours left and above:
      // there the error goes on to the next pixels; at an edge it is dropped.
      const auto close = [p](uint32_t q) {
        const int dr = static_cast<int>(p >> 16) - static_cast<int>((q >> 16) & 0xFF);
        const int dg = static_cast<int>((p >> 8) & 0xFF) - static_cast<int>((q >> 8) & 0xFF);
        const int db = static_cast<int>(p & 0xFF) - static_cast<int>(q & 0xFF);
        return std::max({std::abs(dr), std::abs(dg), std::abs(db)}) <= 12;
      };
      const bool smooth = (c.Left + x == 0 || close(row[x - 1])) && (!above || close(above[x]));
      int value[3] = {static_cast<int>(p >> 16), static_cast<int>((p >> 8) & 0xFF),
                      static_cast<int>(p & 0xFF)};
      if (smooth)
        for (int k = 0; k < 3; ++k) value[k] = std::clamp(value[k] + error[3 * x + k] / 16, 0, 255);
      const uint32_t wanted = static_cast<uint32_t>(value[0] << 16 | value[1] << 8 | value[2]);
      const uint8_t index = Nearest(wanted);
      out[x] = index;
      if (!smooth) continue;
      const uint32_t got = FPalette[index];
      const int e[3] = {value[0] - static_cast<int>(got >> 16),
                        value[1] - static_cast<int>((got >> 8) & 0xFF),
                        value[2] - static_cast<int>(got & 0xFF)};
      // Floyd and Steinberg's weights, in sixteenths.
      for (int k = 0; k < 3; ++k) {
        error[3 * (x + 1) + k] += e[k] * 7;
        below[3 * (x - 1) + k] += e[k] * 3;
        below[3 * x + k] += e[k] * 5;
        below[3 * (x + 1) + k] += e[k];
      }
    }
  }
  // A pixel whose colour maps to what the screen shows there already is
  // left transparent too (JPEG's noise changes many a pixel by a step no
  // palette tells apart); then the frame shrinks to what it changes.
  int32_t left = w, top = h, right = 0, bottom = 0;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* out = FIndices.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
    uint8_t* shown = FCanvas.data() + static_cast<size_t>(c.Top + y) * static_cast<size_t>(FWidth) + c.Left;
    for (int32_t x = 0; x < w; ++x) {
      if (out[x] == kUnchanged) continue;
      if (previous && (out[x] == shown[x] || Close(out[x], shown[x]))) {
        out[x] = kUnchanged;
        continue;
      }
      shown[x] = out[x];
      left = std::min(left, x);
      right = std::max(right, x + 1);
      top = std::min(top, y);
      bottom = y + 1;
    }
    // A short run of unchanged pixels between changed ones is sent as the
    // colours shown there, which looks the same: scattered transparent
    // pixels break the strings LZW finds in the picture, long runs of them
    // make strings of their own.
    if (!previous) continue;
    for (int32_t x = 0; x < w;) {
      int32_t end = x;
      while (end < w && out[end] == kUnchanged) ++end;
      if (end - x >= kShortestTransparentRun) {
        transparent = true;
      } else {
        for (int32_t k = x; k < end; ++k) out[k] = shown[k];
      }
      x = std::max(end, x + 1);
    }
  }
  if (right <= left) {
    left = top = 0;  // nothing changes: one transparent pixel keeps the timing
    right = bottom = 1;
    FIndices[0] = kUnchanged;
    transparent = true;
  }
  if (left > 0 || top > 0 || right < w || bottom < h) {
    for (int32_t y = top; y < bottom; ++y)
      std::memmove(FIndices.data() + static_cast<size_t>(y - top) * static_cast<size_t>(right - left),
                   FIndices.data() + static_cast<size_t>(y) * static_cast<size_t>(w) + left,
                   static_cast<size_t>(right - left));
    FIndices.resize(static_cast<size_t>(right - left) * static_cast<size_t>(bottom - top));
    c = TChange{c.Left + left, c.Top + top, c.Left + right, c.Top + bottom};
  }
  // Graphic control: left in place for the next frame to draw over, the
  // delay, and the index of the unchanged pixels where there are any.
  const uint8_t control[] = {0x21, 0xF9, 4, static_cast<uint8_t>(1 << 2 | (transparent ? 1 : 0))};
  Put(control, sizeof control);
  PutLE16(FOut, std::clamp(delay, 0, 65535));
  FOut.push_back(kUnchanged);
  FOut.push_back(0);
  // The image: its rectangle, no colour table of its own, not interlaced.
  FOut.push_back(0x2C);
  PutLE16(FOut, c.Left);
  PutLE16(FOut, c.Top);
  PutLE16(FOut, c.Right - c.Left);
  PutLE16(FOut, c.Bottom - c.Top);
  FOut.push_back(0);
  TLzw(FOut).Encode(FIndices.data(), FIndices.size());
  if (FOut.size() >= (size_t{1} << 20)) Flush();
}

bool TGifEncoder::Close(uint8_t a, uint8_t b) const {
  if (FSettings.Tolerance <= 0) return false;
  const uint32_t p = FPalette[a], q = FPalette[b];
  const int dr = static_cast<int>(p >> 16) - static_cast<int>(q >> 16);
  const int dg = static_cast<int>((p >> 8) & 0xFF) - static_cast<int>((q >> 8) & 0xFF);
  const int db = static_cast<int>(p & 0xFF) - static_cast<int>(q & 0xFF);
  return dr * dr + dg * dg + db * db <= FSettings.Tolerance;
}

void TGifEncoder::Finish() {
  FOut.push_back(0x3B);  // trailer
  Flush();
}

void TGifEncoder::Put(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  FOut.insert(FOut.end(), bytes, bytes + size);
}

void TGifEncoder::Flush() {
  if (FOut.empty()) return;
  FSink(FOut.data(), FOut.size());
  FOut.clear();
}
