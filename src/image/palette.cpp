#include "image/palette.h"

#include <algorithm>
#include <limits>
#include <mutex>

namespace {

constexpr RGBQUAD Rgb(uint8_t red, uint8_t green, uint8_t blue) {
  return RGBQUAD{blue, green, red, 0};
}

const std::vector<RGBQUAD>& Palette2() {
  static const std::vector<RGBQUAD> table = {Rgb(0, 0, 0), Rgb(255, 255, 255)};
  return table;
}

const std::vector<RGBQUAD>& Palette16() {
  static const std::vector<RGBQUAD> table = {
      Rgb(0, 0, 0),       Rgb(128, 0, 0),   Rgb(0, 128, 0),   Rgb(128, 128, 0),
      Rgb(0, 0, 128),     Rgb(128, 0, 128), Rgb(0, 128, 128), Rgb(192, 192, 192),
      Rgb(128, 128, 128), Rgb(255, 0, 0),   Rgb(0, 255, 0),   Rgb(255, 255, 0),
      Rgb(0, 0, 255),     Rgb(255, 0, 255), Rgb(0, 255, 255), Rgb(255, 255, 255)};
  return table;
}

const std::vector<RGBQUAD>& Palette256() {
  static const std::vector<RGBQUAD> table = [] {
    std::vector<RGBQUAD> colors = Palette16();
    for (int red = 0; red < 6; ++red)
      for (int green = 0; green < 6; ++green)
        for (int blue = 0; blue < 6; ++blue)
          colors.push_back(Rgb(static_cast<uint8_t>(red * 51), static_cast<uint8_t>(green * 51),
                               static_cast<uint8_t>(blue * 51)));
    // 24 greys, one in each lookup cell on the grey axis that neither the
    // cube nor the standard colours use, so every table colour maps to itself.
    for (int cell = 1; cell < 31; ++cell) {
      if (cell == 6 || cell == 12 || cell == 16 || cell == 19 || cell == 24 || cell == 25) continue;
      auto level = static_cast<uint8_t>(cell * 8 + 4);
      colors.push_back(Rgb(level, level, level));
    }
    return colors;
  }();
  return table;
}

int CellIndex(int red, int green, int blue) {
  return ((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3);
}

}  // namespace

const std::vector<RGBQUAD>& StandardPalette(int bitCount) {
  switch (bitCount) {
    case 1:
      return Palette2();
    case 4:
      return Palette16();
    default:
      return Palette256();
  }
}

TColorLookup::TColorLookup(const std::vector<RGBQUAD>& palette) : FTable(32768, 0) {
  if (palette.empty()) return;
  for (int cell = 0; cell < 32768; ++cell) {
    // The centre of the cell stands for all its colours.
    int red = ((cell >> 10) << 3) + 4, green = (((cell >> 5) & 31) << 3) + 4, blue = ((cell & 31) << 3) + 4;
    int best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (size_t i = 0; i < palette.size() && i < 256; ++i) {
      int dr = red - palette[i].rgbRed, dg = green - palette[i].rgbGreen, db = blue - palette[i].rgbBlue;
      int distance = dr * dr + dg * dg + db * db;
      if (distance < bestDistance) {
        bestDistance = distance;
        best = static_cast<int>(i);
      }
    }
    FTable[static_cast<size_t>(cell)] = static_cast<uint8_t>(best);
  }
  // The table's own colours come back as themselves; the first of equal colours wins.
  for (size_t i = std::min<size_t>(palette.size(), 256); i-- > 0;)
    FTable[static_cast<size_t>(CellIndex(palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue))] =
        static_cast<uint8_t>(i);
}

std::shared_ptr<const TColorLookup> ColorLookupFor(const std::vector<RGBQUAD>& palette) {
  for (int bits : {1, 4, 8}) {
    if (palette == StandardPalette(bits)) {
      static std::shared_ptr<const TColorLookup> shared[3];
      static std::once_flag once[3];
      int slot = bits == 1 ? 0 : bits == 4 ? 1 : 2;
      std::call_once(once[slot],
                     [&] { shared[slot] = std::make_shared<TColorLookup>(StandardPalette(bits)); });
      return shared[slot];
    }
  }
  return std::make_shared<TColorLookup>(palette);
}
