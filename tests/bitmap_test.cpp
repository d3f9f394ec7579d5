#include <gtest/gtest.h>

#include <random>

#include "base/exception.h"
#include "image/bitmap.h"
#include "image/palette.h"

namespace {

RGBQUAD Rgb(int r, int g, int b) {
  return RGBQUAD{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r), 0};
}

bool SameColor(RGBQUAD a, RGBQUAD b) {
  return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

// Every pixel a different colour, so a misplaced pixel cannot go unseen.
TBitmap Numbered(int32_t width, int32_t height, TPixelFormat format) {
  TBitmap picture(width, height, format);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) picture.SetPixel(x, y, Rgb(x + 1, y + 1, (x * 7 + y * 13) & 255));
  return picture;
}

int Distance2(RGBQUAD a, RGBQUAD b) {
  int dr = a.rgbRed - b.rgbRed, dg = a.rgbGreen - b.rgbGreen, db = a.rgbBlue - b.rgbBlue;
  return dr * dr + dg * dg + db * db;
}

}  // namespace

TEST(Bitmap, CopyOntoBlackAtAnOffsetLandsExactlyAtAllFourEdges) {
  for (TPixelFormat sourceFormat : {pf24bit, pfDevice}) {
    for (TPixelFormat destFormat : {pf24bit, pf32bit}) {
      const TBitmap source = Numbered(97, 103, sourceFormat);
      TBitmap frame(100, 100, destFormat);
      frame.FillRect(TRect(0, 0, 100, 100), Rgb(0, 0, 0));
      frame.Draw(1, -1, source);
      for (int32_t y = 0; y < 100; ++y) {
        for (int32_t x = 0; x < 100; ++x) {
          int32_t sx = x - 1, sy = y + 1;
          RGBQUAD expected = (sx >= 0 && sx < 97 && sy < 103) ? source.Pixel(sx, sy) : Rgb(0, 0, 0);
          ASSERT_TRUE(SameColor(frame.Pixel(x, y), expected)) << "at " << x << "," << y;
        }
      }
      // One black column on the left, two on the right; the top row is source row 1.
      EXPECT_TRUE(SameColor(frame.Pixel(0, 50), Rgb(0, 0, 0)));
      EXPECT_TRUE(SameColor(frame.Pixel(98, 50), Rgb(0, 0, 0)));
      EXPECT_TRUE(SameColor(frame.Pixel(97, 50), source.Pixel(96, 51)));
      EXPECT_TRUE(SameColor(frame.Pixel(1, 0), source.Pixel(0, 1)));
      EXPECT_TRUE(SameColor(frame.Pixel(1, 99), source.Pixel(0, 100)));
    }
  }
}

TEST(Bitmap, StretchRepeatsOrDropsWholePixels) {
  const TBitmap source = Numbered(5, 3, pf24bit);
  TBitmap doubled(10, 6, pf32bit);
  doubled.StretchDraw(TRect(0, 0, 10, 6), source);
  for (int32_t y = 0; y < 6; ++y)
    for (int32_t x = 0; x < 10; ++x) ASSERT_TRUE(SameColor(doubled.Pixel(x, y), source.Pixel(x / 2, y / 2)));

  TBitmap halved(5, 3, pf24bit);
  halved.StretchDraw(TRect(0, 0, 5, 3), doubled);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 5; ++x) ASSERT_TRUE(SameColor(halved.Pixel(x, y), source.Pixel(x, y)));

  // A target rectangle reaching out of the picture keeps its scale inside it.
  TBitmap clipped(6, 4, pf24bit);
  clipped.StretchDraw(TRect(-4, -2, 6, 4), source);
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 6; ++x)
      ASSERT_TRUE(SameColor(clipped.Pixel(x, y), source.Pixel((x + 4) / 2, (y + 2) / 2)));
}

TEST(Bitmap, CopyRectTakesPartOfTheSource) {
  const TBitmap source = Numbered(20, 20, pf24bit);
  TBitmap target(8, 8, pf24bit);
  target.CopyRect(TRect(2, 2, 6, 6), source, TRect(10, 12, 14, 16));
  EXPECT_TRUE(SameColor(target.Pixel(2, 2), source.Pixel(10, 12)));
  EXPECT_TRUE(SameColor(target.Pixel(5, 5), source.Pixel(13, 15)));
  EXPECT_TRUE(SameColor(target.Pixel(1, 1), Rgb(0, 0, 0)));
  EXPECT_TRUE(SameColor(target.Pixel(6, 6), Rgb(0, 0, 0)));
  // A source rectangle partly outside the source copies only what exists.
  TBitmap partial(4, 4, pf24bit);
  partial.CopyRect(TRect(0, 0, 4, 4), source, TRect(18, 18, 22, 22));
  EXPECT_TRUE(SameColor(partial.Pixel(1, 1), source.Pixel(19, 19)));
  EXPECT_TRUE(SameColor(partial.Pixel(2, 2), Rgb(0, 0, 0)));
}

TEST(Bitmap, ReducingToIndexedDepthsTakesTheNearestTableColour) {
  // Table colours come back exactly.
  const std::vector<RGBQUAD>& halftone = StandardPalette(8);
  ASSERT_EQ(halftone.size(), 256u);
  TBitmap all(256, 1, pf24bit);
  for (int32_t i = 0; i < 256; ++i) all.SetPixel(i, 0, halftone[static_cast<size_t>(i)]);
  all.SetPixelFormat(pf8bit);
  for (int32_t i = 0; i < 256; ++i) ASSERT_TRUE(SameColor(all.Pixel(i, 0), halftone[static_cast<size_t>(i)]));

  TBitmap grey(2, 1, pf24bit);
  grey.SetPixel(0, 0, Rgb(200, 200, 200));
  grey.SetPixel(1, 0, Rgb(50, 60, 40));
  grey.SetPixelFormat(pf1bit);
  EXPECT_TRUE(SameColor(grey.Pixel(0, 0), Rgb(255, 255, 255)));
  EXPECT_TRUE(SameColor(grey.Pixel(1, 0), Rgb(0, 0, 0)));

  TBitmap dark(1, 1, pf24bit);
  dark.SetPixel(0, 0, Rgb(120, 5, 0));
  dark.SetPixelFormat(pf4bit);
  EXPECT_TRUE(SameColor(dark.Pixel(0, 0), Rgb(128, 0, 0)));

  // Any colour lands within the lookup's cell error of the true nearest.
  std::mt19937 random(7);
  for (int bits : {1, 4, 8}) {
    const std::vector<RGBQUAD>& table = StandardPalette(bits);
    TColorLookup lookup(table);
    for (int n = 0; n < 3000; ++n) {
      RGBQUAD c = Rgb(static_cast<int>(random() & 255), static_cast<int>(random() & 255),
                      static_cast<int>(random() & 255));
      int best = INT32_MAX;
      for (const RGBQUAD& t : table) best = std::min(best, Distance2(c, t));
      RGBQUAD chosen = table[lookup.Index(c.rgbRed, c.rgbGreen, c.rgbBlue)];
      double slack = std::sqrt(static_cast<double>(best)) + 14.0;
      ASSERT_LE(Distance2(c, chosen), slack * slack) << bits << " bits";
    }
  }
}

TEST(Bitmap, SubBytePixelsCopyAtAnyOffset) {
  for (TPixelFormat format : {pf1bit, pf4bit}) {
    TBitmap source(13, 3, format);
    std::mt19937 random(3);
    const std::vector<RGBQUAD>& table = source.Palette();
    for (int32_t y = 0; y < 3; ++y)
      for (int32_t x = 0; x < 13; ++x) source.SetPixel(x, y, table[random() % table.size()]);
    TBitmap target(20, 5, format);
    target.Draw(3, 1, source);
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t x = 0; x < 20; ++x) {
        bool inside = x >= 3 && x < 16 && y >= 1 && y < 4;
        RGBQUAD expected = inside ? source.Pixel(x - 3, y - 1) : Rgb(0, 0, 0);
        ASSERT_TRUE(SameColor(target.Pixel(x, y), expected)) << format << " at " << x << "," << y;
      }
  }
}

TEST(Bitmap, DibHeaderDescribesThePixelArray) {
  TBitmap indexed(10, 3, pf8bit);
  std::vector<uint8_t> dib = indexed.DibHeader();
  ASSERT_EQ(dib.size(), 40u + 1024u);
  EXPECT_EQ(GetLE32(dib.data()), 40u);
  EXPECT_EQ(GetLE32(dib.data() + 4), 10u);
  EXPECT_EQ(GetLE32(dib.data() + 8), 3u);
  EXPECT_EQ(GetLE16(dib.data() + 12), 1);
  EXPECT_EQ(GetLE16(dib.data() + 14), 8);
  EXPECT_EQ(GetLE32(dib.data() + 20), 36u);  // biSizeImage: 12-byte rows
  EXPECT_EQ(dib[40 + 4 * 9 + 2], 255);       // entry 9 is red
  EXPECT_EQ(indexed.ImageSize(), 36u);

  TBitmap mono(33, 2, pf1bit);
  EXPECT_EQ(mono.Stride(), 8u);
  EXPECT_EQ(mono.DibHeader().size(), 48u);
  TBitmap device(3, 2);
  EXPECT_EQ(device.PixelFormat(), pfDevice);
  EXPECT_EQ(device.InfoHeader().biBitCount, 32);
  EXPECT_EQ(device.InfoHeader().biSizeImage, 24u);
  TBitmap rgb(3, 2, pf24bit);
  EXPECT_EQ(rgb.InfoHeader().biSizeImage, 24u);  // 9 bytes padded to 12
}

TEST(Bitmap, ResizingKeepsTheTopLeftAndBlackensTheRest) {
  TBitmap picture = Numbered(6, 4, pf24bit);
  const TBitmap before = picture;
  picture.SetSize(8, 3);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 8; ++x)
      ASSERT_TRUE(SameColor(picture.Pixel(x, y), x < 6 ? before.Pixel(x, y) : Rgb(0, 0, 0)));

  TBitmap mono(9, 2, pf1bit);
  mono.FillRect(TRect(0, 0, 9, 2), Rgb(255, 255, 255));
  mono.SetWidth(3);
  // Bits of the cut pixels do not linger in the row padding.
  EXPECT_EQ(mono.Bits()[0], 0xE0);
  EXPECT_EQ(mono.Bits()[1], 0x00);
}

TEST(Bitmap, BlendingThePointerIsClipped) {
  TBitmap picture(4, 4, pfDevice);
  std::vector<uint32_t> pointer(9, 0x80808080u);  // half-transparent white, premultiplied
  pointer[4] = 0xFF0000FFu;                       // opaque blue centre
  pointer[8] = 0x00000000u;                       // fully transparent corner
  picture.BlendPremultiplied(-1, -1, 3, 3, pointer.data());
  EXPECT_TRUE(SameColor(picture.Pixel(0, 0), Rgb(0, 0, 255)));
  EXPECT_TRUE(SameColor(picture.Pixel(1, 0), Rgb(128, 128, 128)));
  EXPECT_TRUE(SameColor(picture.Pixel(1, 1), Rgb(0, 0, 0)));
  EXPECT_TRUE(SameColor(picture.Pixel(2, 2), Rgb(0, 0, 0)));
  picture.BlendPremultiplied(10, 10, 3, 3, pointer.data());  // wholly outside: nothing
  picture.BlendPremultiplied(3, 3, 3, 3, pointer.data());
  EXPECT_TRUE(SameColor(picture.Pixel(3, 3), Rgb(128, 128, 128)));
}

TEST(Bitmap, RefusesSizesBeyondTheLimitAndFormatsItCannotHold) {
  EXPECT_THROW(TBitmap(32769, 1), Exception);
  EXPECT_THROW(TBitmap(1, -1), Exception);
  EXPECT_THROW(TBitmap(1, 1, pf16bit), Exception);
  EXPECT_THROW(TBitmap(1, 1, pfCustom), Exception);
  TBitmap empty;
  EXPECT_TRUE(empty.Empty());
  empty.Draw(0, 0, TBitmap(3, 3));  // nothing to draw on: no effect
  TBitmap rgb(2, 2, pf24bit);
  EXPECT_THROW(rgb.SetPalette({}), Exception);
}
