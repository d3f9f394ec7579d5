// The compressors over libavcodec, checked with ffmpeg decoding what they
// wrote.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>

#include "image/bitmap.h"
#include "sample_pictures.h"
#include "test_support.h"
#include "vfw/compressor.h"
#include "vfw/vfw.h"

namespace {

constexpr int32_t kWidth = 160, kHeight = 120;
constexpr int kFrames = 60;

const std::set<std::string> kLossless = {"FFV1", "ZMBV", "HFYU", "FFVH", "MPNG"};
// libavcodec's Video 1 encoder has a fixed quality of its own, which on
// text-heavy screens gives 19.8 to 22.4 dB whatever is asked; for it the
// bound only catches wrong colours or misplaced blocks. The others: 30 dB.
double LeastPsnr(const std::string& code) {
  return code == "MSVC" ? 18.0 : 30.0;
}

std::string Text(FOURCC code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return text;
}

// Screen-like frames that move: the desktop slides by two pixels a frame.
TBitmap Frame(int index, TPixelFormat format) {
  static const TBitmap desktop = ScreenLikePicture(kWidth * 2, kHeight, pf24bit);
  TBitmap frame(kWidth, kHeight, pf24bit);
  frame.Draw(-2 * index, 0, desktop);
  frame.SetPixelFormat(format);
  return frame;
}

std::vector<uint8_t> Rgb(const TBitmap& frame) {
  std::vector<uint8_t> rgb;
  for (int32_t y = 0; y < frame.Height(); ++y)
    for (int32_t x = 0; x < frame.Width(); ++x) {
      RGBQUAD c = frame.Pixel(x, y);
      rgb.insert(rgb.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
    }
  return rgb;
}

BITMAPINFOHEADER Query(int32_t width, int32_t height, uint16_t bits) {
  BITMAPINFOHEADER h{};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = bits;
  return h;
}

std::vector<std::shared_ptr<TCompressorDriver>> Drivers() {
  std::vector<std::shared_ptr<TCompressorDriver>> drivers;
  for (const auto& d : CompressorDrivers())
    if (d->Available()) drivers.push_back(d);
  return drivers;
}

}  // namespace

TEST(Codecs, TheExpectedCodecsAreOfferedAndEnumerated) {
  std::set<std::string> offered;
  ICINFO info{};
  info.dwSize = sizeof info;
  int count = 0;
  for (DWORD i = 0; i <= 200; ++i) {
    if (!ICInfo(ICTYPE_VIDEO, i, &info)) continue;
    ++count;
    EXPECT_EQ(info.dwSize, 568u);
    EXPECT_EQ(info.fccType, ICTYPE_VIDEO);
    offered.insert(Text(info.fccHandler));
    HIC handle = ICOpen(ICTYPE_VIDEO, info.fccHandler, ICMODE_QUERY);
    ASSERT_NE(handle, nullptr);
    ICINFO own{};
    EXPECT_EQ(ICGetInfo(handle, &own, sizeof own), 568);
    EXPECT_EQ(own.fccHandler, info.fccHandler);
    EXPECT_NE(own.szName[0], u'\0');
    // No dialogs: the configure query says so, and a configure does nothing.
    EXPECT_NE(ICSendMessage(handle, ICM_CONFIGURE, static_cast<uintptr_t>(-1), ICMF_CONFIGURE_QUERY),
              ICERR_OK);
    ICSendMessage(handle, ICM_CONFIGURE, 0, 0);
    ICClose(handle);
  }
  EXPECT_EQ(count, static_cast<int>(Drivers().size()));
  for (const char* code :
       {"MJPG", "H264", "FFV1", "ZMBV", "HFYU", "FFVH", "FMP4", "XVID", "MSVC", "cvid", "MPNG"})
    EXPECT_TRUE(offered.count(code)) << code;
  EXPECT_EQ(mmioStringToFOURCCA("abc", 0), MakeFourCC('a', 'b', 'c', ' '));
  EXPECT_EQ(mmioStringToFOURCCA("cvid", 0), MakeFourCC('c', 'v', 'i', 'd'));
  EXPECT_EQ(mmioStringToFOURCCA("", 0), MakeFourCC(' ', ' ', ' ', ' '));
  EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioStringToFOURCCA("none", 0), ICMODE_QUERY), nullptr);
}

TEST(Codecs, TheQueryRefusesExactlyWhatCannotBeCompressed) {
  for (const auto& driver : Drivers()) {
    const std::string code = Text(driver->Handler());
    // Every depth of an even size divisible by 4 is taken by every codec.
    for (uint16_t bits : {1, 4, 8, 24, 32}) {
      BITMAPINFOHEADER h = Query(kWidth, kHeight, bits);
      HIC located = ICLocate(ICTYPE_VIDEO, driver->Handler(), &h, nullptr, ICMODE_COMPRESS);
      EXPECT_NE(located, nullptr) << code << " " << bits;
      ICClose(located);
    }
    // Formats no codec takes: 16 bits, top-down rows, compressed input, no pixels.
    BITMAPINFOHEADER refused[] = {Query(kWidth, kHeight, 16), Query(kWidth, -kHeight, 24),
                                  Query(kWidth, kHeight, 24), Query(0, kHeight, 24)};
    refused[2].biCompression = MakeFourCC('M', 'J', 'P', 'G');
    for (const BITMAPINFOHEADER& h : refused) {
      EXPECT_EQ(ICLocate(ICTYPE_VIDEO, driver->Handler(), &h, nullptr, ICMODE_COMPRESS), nullptr) << code;
      HIC handle = ICOpen(ICTYPE_VIDEO, driver->Handler(), ICMODE_QUERY);
      EXPECT_EQ(ICSendMessage(handle, ICM_COMPRESS_QUERY, reinterpret_cast<uintptr_t>(&h), 0),
                ICERR_BADFORMAT);
      ICClose(handle);
    }
    // Odd sizes: the query and ICLocate agree with what the encoder can open.
    BITMAPINFOHEADER odd = Query(161, 121, 24);
    HIC handle = ICOpen(ICTYPE_VIDEO, driver->Handler(), ICMODE_QUERY);
    const bool takes =
        ICSendMessage(handle, ICM_COMPRESS_QUERY, reinterpret_cast<uintptr_t>(&odd), 0) == ICERR_OK;
    ICClose(handle);
    HIC located = ICLocate(ICTYPE_VIDEO, driver->Handler(), &odd, nullptr, ICMODE_COMPRESS);
    EXPECT_EQ(located != nullptr, takes) << code;
    ICClose(located);
    const bool needsEven = code == "H264" || code == "XVID" || code == "MSVC" || code == "cvid";
    EXPECT_EQ(takes, !needsEven) << code;
  }
}

TEST(Codecs, EveryCodecAndDepthDecodesInFfmpeg) {
  TTempFolder folder;
  AVIFileInit();
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit}) {
    // The source: an uncompressed file of the frames, as the writer makes it.
    const std::string source = folder.File("source" + std::to_string(format) + ".avi");
    std::vector<std::vector<uint8_t>> expected;
    {
      PAVIFILE file = nullptr;
      ASSERT_EQ(AVIFileOpenA(&file, source.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
      AVISTREAMINFOA info{};
      info.fccType = streamtypeVIDEO;
      info.dwScale = 125;
      info.dwRate = 1000;
      PAVISTREAM stream = nullptr;
      ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
      for (int i = 0; i < kFrames; ++i) {
        TBitmap frame = Frame(i, format);
        if (i == 0) {
          std::vector<uint8_t> dib = frame.DibHeader();
          AVIStreamSetFormat(stream, 0, dib.data(), static_cast<LONG>(dib.size()));
        }
        AVIStreamWrite(stream, i, 1, frame.Bits(), static_cast<LONG>(frame.ImageSize()), AVIIF_KEYFRAME,
                       nullptr, nullptr);
        expected.push_back(Rgb(frame));
      }
      AVIStreamRelease(stream);
      AVIFileRelease(file);
    }
    PAVIFILE file = nullptr;
    ASSERT_EQ(AVIFileOpenA(&file, source.c_str(), OF_READ, nullptr), AVIERR_OK);
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeVIDEO, 0), AVIERR_OK);

    for (const auto& driver : Drivers()) {
      const std::string code = Text(driver->Handler());
      AVICOMPRESSOPTIONS options{};
      options.fccType = streamtypeVIDEO;
      options.fccHandler = driver->Handler();
      options.dwKeyFrameEvery = 8;
      options.dwQuality = 5000;
      options.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
      LPAVICOMPRESSOPTIONS list[1] = {&options};
      const std::string output = folder.File(code + std::to_string(format) + ".avi");
      ASSERT_EQ(AVISaveV(output.c_str(), nullptr, nullptr, 1, &stream, list), AVIERR_OK)
          << code << " " << format;
      const std::string raw = output + ".rgb";
      RunCommand("ffmpeg -v error -i '" + output + "' -f rawvideo -pix_fmt rgb24 -y '" + raw + "'");
      std::ifstream in(raw, std::ios::binary);
      std::vector<uint8_t> decoded(std::istreambuf_iterator<char>(in), {});
      const size_t frameBytes = static_cast<size_t>(kWidth) * kHeight * 3;
      ASSERT_EQ(decoded.size(), frameBytes * kFrames)
          << code << " " << format << ": not 60 frames of 160 x 120";
      double squares = 0;
      for (int i = 0; i < kFrames; ++i)
        for (size_t b = 0; b < frameBytes; ++b)
          squares += std::pow(
              decoded[static_cast<size_t>(i) * frameBytes + b] - expected[static_cast<size_t>(i)][b], 2);
      if (kLossless.count(code)) {
        EXPECT_EQ(squares, 0) << code << " " << format << " is not lossless";
      } else {
        const double psnr = 10 * std::log10(255.0 * 255.0 * frameBytes * kFrames / std::max(squares, 1.0));
        EXPECT_GE(psnr, LeastPsnr(code)) << code << " " << format;
      }
      std::remove(raw.c_str());
      std::remove(output.c_str());
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
  }
  AVIFileExit();
}
