#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>

#include "base/exception.h"
#include "base/file.h"
#include "image/picture_files.h"
#include "sample_pictures.h"
#include "test_support.h"

namespace {

TBitmap ScreenLike(int32_t width, int32_t height, TPixelFormat format) {
  return ScreenLikePicture(width, height, format);
}

// What ImageMagick decodes: top-down RGB bytes.
std::vector<uint8_t> MagickRgb(const std::string& path) {
  std::string bytes = RunCommand("convert '" + path + "' -depth 8 rgb:-");
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> OurRgb(const TBitmap& picture) {
  std::vector<uint8_t> rgb;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      RGBQUAD c = picture.Pixel(x, y);
      rgb.insert(rgb.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
    }
  return rgb;
}

void WritePpm(const std::string& path, const std::vector<uint8_t>& rgb, int width, int height) {
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << width << " " << height << "\n255\n";
  out.write(reinterpret_cast<const char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(JpegFile, IsBaselineQuality90AndReadsBackWithinJpegError) {
  TTempFolder folder;
  const TBitmap picture = ScreenLike(320, 240, pfDevice);
  const std::string path = folder.File("picture.jpg");
  SaveJpegFile(picture, path);
  EXPECT_EQ(RunCommand("identify -format '%Q %[interlace] %[colorspace] %wx%h' '" + path + "'"),
            "90 None sRGB 320x240");

  for (TPixelFormat format : {pf24bit, pf32bit}) {
    TBitmap back = LoadJpegFile(path, format);
    ASSERT_EQ(back.Width(), 320);
    ASSERT_EQ(back.Height(), 240);
    EXPECT_EQ(back.PixelFormat(), format);
    std::vector<uint8_t> ours = OurRgb(back), source = OurRgb(picture);
    double squares = 0;
    for (size_t i = 0; i < ours.size(); ++i) squares += std::pow(ours[i] - source[i], 2);
    double psnr = 10 * std::log10(255.0 * 255.0 / (squares / static_cast<double>(ours.size())));
    EXPECT_GT(psnr, 30.0);
    // The decode matches another reader's, so rows and channels are in place.
    std::vector<uint8_t> magick = MagickRgb(path);
    ASSERT_EQ(magick.size(), ours.size());
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - magick[i]));
    EXPECT_LE(worst, 2);
  }
}

TEST(JpegFile, EncodesEveryDepthAndRefusesEmptyPictures) {
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
    TBitmap picture = ScreenLike(33, 17, pf24bit);
    picture.SetPixelFormat(format);
    std::vector<uint8_t> jpeg = EncodeJpeg(picture);
    TBitmap back = DecodeJpeg(jpeg.data(), jpeg.size());
    EXPECT_EQ(back.Width(), 33);
    EXPECT_EQ(back.Height(), 17);
  }
  EXPECT_THROW(EncodeJpeg(TBitmap()), Exception);
}

// A JPEG file of ours is read as the planes it stores, in place as
// ffmpeg reads them, into the memory of the picture read before; other
// JPEG files (4:4:4, grey) and bitmaps are left to be read as pixels.
TEST(JpegFile, PlanesAreReadAsStoredFromYCbCr420FilesOnly) {
  TTempFolder folder;
  TYuv420Picture planes;
  for (const auto& [width, height] : {std::pair{33, 17}, std::pair{64, 48}}) {
    const std::string path = folder.File("picture" + std::to_string(width) + ".jpg");
    SaveJpegFile(ScreenLike(width, height, pf32bit), path);
    ASSERT_TRUE(LoadJpegYuv420File(path, planes));
    ASSERT_EQ(planes.Width, width);
    ASSERT_EQ(planes.Height, height);
    const std::string stored =
        RunCommand("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt yuvj420p -");
    const int32_t cw = (width + 1) / 2, ch = (height + 1) / 2;
    ASSERT_EQ(stored.size(), static_cast<size_t>(width * height + 2 * cw * ch));
    int worst = 0;
    size_t at = 0;
    for (int k = 0; k < 3; ++k)
      for (int32_t y = 0; y < (k ? ch : height); ++y)
        for (int32_t x = 0; x < (k ? cw : width); ++x)
          worst = std::max(worst, std::abs(planes.Row(k, y)[x] - static_cast<uint8_t>(stored[at++])));
    EXPECT_LE(worst, 2);  // the readers' inverse DCTs round apart
    // As pixels, they are what libjpeg makes of them when each chroma
    // sample covers its 2 x 2 pixels.
    const std::string pixels = RunCommand("djpeg -nosmooth -dct int '" + path + "' | tail -c " +
                                          std::to_string(3 * width * height));
    const std::vector<uint8_t> converted = OurRgb(JpegYuvToBitmap(planes));
    ASSERT_EQ(pixels.size(), converted.size());
    worst = 0;
    for (size_t i = 0; i < converted.size(); ++i)
      worst = std::max(worst, std::abs(converted[i] - static_cast<uint8_t>(pixels[i])));
    EXPECT_LE(worst, 1);
  }
  const std::string ours = folder.File("picture64.jpg");
  for (const char* options : {"-sampling-factor 1x1", "-colorspace Gray"}) {
    const std::string other = folder.File("other.jpg");
    RunCommand(std::string("convert '") + ours + "' " + options + " '" + other + "'");
    EXPECT_FALSE(LoadJpegYuv420File(other, planes)) << options;
  }
  const std::string bmp = folder.File("picture.bmp");
  SaveBmpFile(ScreenLike(8, 8, pf24bit), bmp);
  EXPECT_FALSE(LoadJpegYuv420File(bmp, planes));
  std::vector<uint8_t> bytes = ReadAll(ours);
  bytes.resize(bytes.size() / 2);
  const std::string cut = folder.File("cut.jpg");
  std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
  EXPECT_THROW(LoadJpegYuv420File(cut, planes), Exception);
  EXPECT_TRUE(planes.Empty());
}

TEST(BmpFile, EveryDepthOpensInImageMagickWithItsSizeAndColours) {
  TTempFolder folder;
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit, pfDevice}) {
    TBitmap picture = ScreenLike(37, 11, pf24bit);
    picture.SetPixelFormat(format);
    const std::string path = folder.File("depth" + std::to_string(format) + ".bmp");
    SaveBmpFile(picture, path);
    EXPECT_EQ(RunCommand("identify -format '%wx%h' '" + path + "'"), "37x11");
    EXPECT_EQ(MagickRgb(path), OurRgb(picture)) << "format " << format;
    TBitmap back = LoadBmpFile(path);
    EXPECT_EQ(back.BitCount(), picture.BitCount());
    EXPECT_EQ(OurRgb(back), OurRgb(picture));
  }
}

TEST(BmpFile, FilesWrittenByImageMagickReadBackExactly) {
  TTempFolder folder;
  const int width = 29, height = 13;
  std::vector<uint8_t> rgb;
  std::mt19937 random(11);
  const TBitmap screen = ScreenLike(width, height, pf24bit);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      RGBQUAD c = screen.Pixel(x, y);
      rgb.insert(rgb.end(), {c.rgbRed, static_cast<uint8_t>(c.rgbGreen ^ (random() & 0x3F)), c.rgbBlue});
    }
  const std::string ppm = folder.File("source.ppm");
  WritePpm(ppm, rgb, width, height);

  struct TCase {
    const char* options;
    int bits;
  } cases[] = {
      {"", 24},
      {"BMP3:", 24},
      {"-type truecolormatte BMP:", 32},
      {"-define bmp:subtype=RGB565 BMP:", 16},
      {"-define bmp:subtype=RGB555 BMP:", 16},
      {"-colors 200 -type palette BMP3:", 8},
      {"-colors 12 -type palette BMP3:", 4},
      {"-monochrome BMP3:", 1},
      {"-colors 200 -type palette -compress none BMP3:", 8},
      {"-colors 12 -type palette -compress none BMP3:", 4},
      {"-colors 200 -type palette BMP2:", 8},
  };
  int index = 0;
  for (const TCase& c : cases) {
    const std::string name = folder.File("magick" + std::to_string(index++) + ".bmp");
    std::string options = c.options;
    std::string prefix, target = name;
    if (!options.empty() && options.back() == ':') {
      size_t space = options.rfind(' ');
      prefix = options.substr(space == std::string::npos ? 0 : space + 1);
      options = space == std::string::npos ? "" : options.substr(0, space);
    }
    RunCommand("convert '" + ppm + "' " + options + " '" + prefix + name + "'");
    std::vector<uint8_t> file = ReadAll(name);
    ASSERT_GT(file.size(), 30u);
    const bool core = GetLE32(file.data() + 14) == 12;  // an OS/2 header keeps the depth earlier
    EXPECT_EQ(GetLE16(file.data() + (core ? 24 : 28)), c.bits) << c.options;
    TBitmap picture = LoadBmpFile(name);
    EXPECT_EQ(picture.Width(), width);
    EXPECT_EQ(picture.Height(), height);
    EXPECT_EQ(OurRgb(picture), MagickRgb(name)) << c.options;
  }
}

TEST(BmpFile, TopDownFilesReadTheRightWayUp) {
  for (TPixelFormat format : {pf4bit, pf8bit, pf24bit}) {
    TBitmap picture = ScreenLike(19, 7, pf24bit);
    picture.SetPixelFormat(format);
    std::vector<uint8_t> file = EncodeBmp(picture);
    // Turn the file into a top-down one: rows reversed, height negative.
    const uint32_t offBits = GetLE32(file.data() + 10);
    const size_t stride = picture.Stride();
    std::vector<uint8_t> flipped(file.begin(), file.begin() + offBits);
    for (int32_t row = picture.Height() - 1; row >= 0; --row)
      flipped.insert(flipped.end(), file.begin() + offBits + static_cast<long>(stride) * row,
                     file.begin() + offBits + static_cast<long>(stride) * (row + 1));
    PutLE32(flipped.data() + 22, static_cast<uint32_t>(-picture.Height()));
    TBitmap back = DecodeBmp(flipped.data(), flipped.size());
    EXPECT_EQ(OurRgb(back), OurRgb(picture));
  }
}

TEST(PictureFiles, AFailedWriteLeavesNoFileAndSaysWhy) {
  TTempFolder folder;
  const TBitmap picture = ScreenLike(64, 64, pfDevice);
  try {
    SaveJpegFile(picture, folder.File("missing/picture.jpg"));
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("missing/picture.jpg"), std::string::npos) << e.Message();
  }
  // A full disk: a file size limit makes writes fail part way, as ENOSPC would.
  const std::string jpeg = folder.File("full.jpg"), bmp = folder.File("full.bmp");
  {
    TFileSizeLimit full(4000);
    EXPECT_THROW(SaveJpegFile(ScreenLike(640, 480, pfDevice), jpeg), Exception);
    EXPECT_THROW(SaveBmpFile(picture, bmp), Exception);
  }
  {
    EXPECT_FALSE(FileExists(jpeg));
    EXPECT_FALSE(FileExists(bmp));
  }
  EXPECT_THROW(LoadBmpFile(folder.File("none.bmp")), Exception);
  EXPECT_THROW(LoadJpegFile(folder.File("none.jpg")), Exception);
}

namespace {

// A bottom-up indexed BMP whose pixels are the given run-length data.
std::vector<uint8_t> RleFile(int bits, int32_t width, int32_t height, const std::vector<uint8_t>& runs) {
  TBitmap picture(width, height, bits == 8 ? pf8bit : pf4bit);
  std::vector<uint8_t> file = EncodeBmp(picture);
  const uint32_t offBits = GetLE32(file.data() + 10);
  file.resize(offBits);
  file.insert(file.end(), runs.begin(), runs.end());
  PutLE32(file.data() + 14 + 16, bits == 8 ? BI_RLE8 : BI_RLE4);
  PutLE32(file.data() + 14 + 20, static_cast<uint32_t>(runs.size()));
  PutLE32(file.data() + 2, static_cast<uint32_t>(file.size()));
  return file;
}

std::vector<int> Indices(const TBitmap& picture) {
  std::vector<int> indices;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      RGBQUAD c = picture.Pixel(x, y);
      const auto& table = picture.Palette();
      indices.push_back(static_cast<int>(
          std::find(table.begin(), table.end(), RGBQUAD{c.rgbBlue, c.rgbGreen, c.rgbRed, 0}) -
          table.begin()));
    }
  return indices;
}

}  // namespace

TEST(BmpFile, RunLengthEncodedFilesDecode) {
  // Bottom row: a run of 3 x index 9, then 2 literal indices 4, 5 (padded).
  // End of line; a move of 1 right and 1 up, onto the top row; a run of
  // 1 x index 12; end of picture. The skipped pixels stay index 0.
  std::vector<uint8_t> rle8 = {3, 9, 0, 3, 4, 5, 6, 0, 0, 0, 0, 2, 1, 1, 1, 12, 0, 1};
  TBitmap eight = DecodeBmp(RleFile(8, 7, 3, rle8).data(), RleFile(8, 7, 3, rle8).size());
  EXPECT_EQ(Indices(eight), (std::vector<int>{0, 12, 0, 0, 0, 0, 0,  //
                                              0, 0,  0, 0, 0, 0, 0,  //
                                              9, 9,  9, 4, 5, 6, 0}));
  // RLE4 runs alternate two indices; literal nibbles, padded to 16 bits.
  std::vector<uint8_t> rle4 = {5, 0x12, 0, 3, 0xAB, 0xC0, 0, 0, 2, 0x77, 0, 1};
  TBitmap four = DecodeBmp(RleFile(4, 9, 2, rle4).data(), RleFile(4, 9, 2, rle4).size());
  EXPECT_EQ(Indices(four), (std::vector<int>{7, 7, 0, 0, 0, 0, 0, 0, 0,  //
                                             1, 2, 1, 2, 1, 10, 11, 12, 0}));
  // Without its end-of-picture mark the data is refused.
  rle4.resize(rle4.size() - 2);
  EXPECT_THROW(DecodeBmp(RleFile(4, 9, 2, rle4).data(), RleFile(4, 9, 2, rle4).size()), Exception);
}
