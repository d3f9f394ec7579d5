#include "sample_pictures.h"

#include <vector>

TBitmap ScreenLikePicture(int32_t width, int32_t height, TPixelFormat format) {
  TBitmap picture(width, height, pf32bit);
  std::vector<uint32_t> row(static_cast<size_t>(width));
  struct TWindow {
    int32_t Left, Top, Right, Bottom;
    uint32_t Title;
  };
  const TWindow windows[] = {
      {width / 8, height / 6, width * 3 / 4, height * 5 / 6, 0x3050A0},
      {width / 2, height / 3, width * 15 / 16, height * 15 / 16, 0x606060},
  };
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint32_t c = 0x203040u + static_cast<uint32_t>(((y * 160 / (height ? height : 1)) & 0xFF) << 8);
      for (const TWindow& w : windows) {
        if (x < w.Left || x >= w.Right || y < w.Top || y >= w.Bottom) continue;
        if (y < w.Top + 20) {
          c = w.Title;
        } else {
          c = 0xF0F0F0;
          // Text: 11-pixel lines of stroke-like marks, words separated by gaps.
          int32_t line = (y - w.Top - 24) % 16, column = x - w.Left - 6;
          if (line >= 0 && line < 11 && column >= 0 && (column / 40) % 5 != 4) {
            uint32_t hash = static_cast<uint32_t>(column / 6) * 2654435761u ^
                            static_cast<uint32_t>((y - w.Top) / 16) * 40503u;
            if (((hash >> (line + column % 6)) & 3) == 0) c = 0x101010;
          }
        }
      }
      row[static_cast<size_t>(x)] = c;
    }
    picture.WriteRow(y, 0, width, row.data());
  }
  picture.SetPixelFormat(format);
  return picture;
}

TBitmap Numbered(int32_t width, int32_t height, int index) {
  TBitmap picture(width, height, pf32bit);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      picture.SetPixel(x, y,
                       RGBQUAD{static_cast<uint8_t>((index * 5) & 0xFF), static_cast<uint8_t>((x / 8) * 16),
                               static_cast<uint8_t>((y / 8) * 16), 0});
  return picture;
}

