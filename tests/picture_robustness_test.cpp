#include <gtest/gtest.h>
#include <sys/resource.h>

#include <random>

#include "base/exception.h"
#include "image/picture_files.h"

// Picture files come from the disk, where anything can happen to them: no
// input may crash the reader or make it allocate what the file cannot fill.

namespace {

TBitmap Sample(TPixelFormat format) {
  TBitmap picture(23, 9, pf24bit);
  for (int32_t y = 0; y < 9; ++y)
    for (int32_t x = 0; x < 23; ++x)
      picture.SetPixel(x, y, RGBQUAD{static_cast<uint8_t>(x * 11), static_cast<uint8_t>(y * 27), 200, 0});
  picture.SetPixelFormat(format);
  return picture;
}

using TDecoder = TBitmap (*)(const uint8_t*, size_t);
TBitmap DecodeJpegDefault(const uint8_t* data, size_t size) {
  return DecodeJpeg(data, size);
}
// JPEG's planes, as a picture to look at; a file without them is refused.
TBitmap DecodeJpegPlanes(const uint8_t* data, size_t size) {
  TYuv420Picture planes;
  if (!DecodeJpegYuv420(data, size, planes)) throw Exception("no YCbCr 4:2:0 planes");
  return JpegYuvToBitmap(planes);
}

// Decodes and reports whether an Exception came; anything else fails the test.
bool Refused(TDecoder decode, const std::vector<uint8_t>& bytes) {
  try {
    TBitmap picture = decode(bytes.data(), bytes.size());
    EXPECT_GT(picture.Width(), 0);
    EXPECT_GT(picture.Height(), 0);
    return false;
  } catch (const Exception& e) {
    EXPECT_FALSE(e.Message().empty());
    return true;
  }
}

long PeakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

TEST(PictureRobustness, EveryTruncatedFileIsRefused) {
  std::vector<std::vector<uint8_t>> bmps, jpegs;
  for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit, pf32bit})
    bmps.push_back(EncodeBmp(Sample(format)));
  jpegs.push_back(EncodeJpeg(Sample(pf24bit)));
  for (const auto& file : bmps) {
    ASSERT_FALSE(Refused(DecodeBmp, file));
    for (size_t length = 0; length < file.size(); ++length)
      ASSERT_TRUE(
          Refused(DecodeBmp, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(length))))
          << "BMP prefix of " << length << " bytes";
  }
  for (const auto& file : jpegs)
    for (TDecoder decode : {DecodeJpegDefault, DecodeJpegPlanes}) {
      ASSERT_FALSE(Refused(decode, file));
      for (size_t length = 0; length < file.size(); ++length)
        ASSERT_TRUE(
            Refused(decode, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(length))))
            << "JPEG prefix of " << length << " bytes";
    }
}

TEST(PictureRobustness, RandomAndDamagedBytesNeverCrash) {
  std::mt19937 random(2024);
  for (int n = 0; n < 1500; ++n) {
    std::vector<uint8_t> bytes(random() % 3000);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    EXPECT_TRUE(Refused(DecodeBmp, bytes));
    EXPECT_TRUE(Refused(DecodeJpegDefault, bytes));
    EXPECT_TRUE(Refused(DecodeJpegPlanes, bytes));
  }
  // Damage inside real files reaches the deeper checks; it may or may not
  // still be a picture, but it must never crash.
  std::vector<uint8_t> bmp = EncodeBmp(Sample(pf8bit)), jpeg = EncodeJpeg(Sample(pf24bit));
  for (int n = 0; n < 3000; ++n) {
    for (auto [file, decode] : {std::pair{&bmp, TDecoder(DecodeBmp)}, std::pair{&jpeg, TDecoder(DecodeJpegDefault)},
                                std::pair{&jpeg, TDecoder(DecodeJpegPlanes)}}) {
      std::vector<uint8_t> damaged = *file;
      int hits = 1 + static_cast<int>(random() % 4);
      for (int h = 0; h < hits; ++h) {
        // Headers hold most of the decisions: aim there more often.
        size_t limit = (random() % 2) ? std::min<size_t>(damaged.size(), 64) : damaged.size();
        damaged[random() % limit] = static_cast<uint8_t>(random());
      }
      Refused(decode, damaged);
    }
  }
}

TEST(PictureRobustness, LyingHeadersAllocateNothingLarge) {
  const long before = PeakMemoryKiB();
  // A 24-bit BMP header claiming 30000 x 30000 pixels with none behind it.
  std::vector<uint8_t> bmp = EncodeBmp(Sample(pf24bit));
  PutLE32(bmp.data() + 18, 30000);
  PutLE32(bmp.data() + 22, 30000);
  EXPECT_TRUE(Refused(DecodeBmp, bmp));
  PutLE32(bmp.data() + 18, 40000);
  EXPECT_TRUE(Refused(DecodeBmp, bmp));
  PutLE32(bmp.data() + 18, 0x80000000u);  // a negative width
  EXPECT_TRUE(Refused(DecodeBmp, bmp));
  PutLE32(bmp.data() + 18, 23);
  PutLE32(bmp.data() + 22, 0x80000000u);  // the most negative height
  EXPECT_TRUE(Refused(DecodeBmp, bmp));

  // A JPEG whose frame header claims 30000 x 30000 (and one over the limit).
  std::vector<uint8_t> jpeg = EncodeJpeg(Sample(pf24bit));
  size_t sof = 2;
  while (sof + 9 < jpeg.size() && !(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) ++sof;
  ASSERT_LT(sof + 9, jpeg.size());
  for (uint16_t side : {uint16_t{30000}, uint16_t{40000}}) {
    jpeg[sof + 5] = static_cast<uint8_t>(side >> 8);
    jpeg[sof + 6] = static_cast<uint8_t>(side);
    jpeg[sof + 7] = static_cast<uint8_t>(side >> 8);
    jpeg[sof + 8] = static_cast<uint8_t>(side);
    EXPECT_TRUE(Refused(DecodeJpegDefault, jpeg));
    EXPECT_TRUE(Refused(DecodeJpegPlanes, jpeg));
  }
  // Under the sanitizers the shadow memory counts too; the bound is loose.
  EXPECT_LT(PeakMemoryKiB() - before, 600 * 1024);
}
