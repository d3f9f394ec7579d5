#include "test_compressor.h"

#include <cstring>

#include "image/picture_files.h"

namespace {

class TTestJpegCompressor final : public TCompressor {
 public:
  TTestJpegCompressor(int32_t width, int32_t height, int bits)
      : FWidth(width), FHeight(height), FBits(bits) {}

  std::vector<uint8_t> OutputFormat() override {
    std::vector<uint8_t> h(40, 0);
    PutLE32(&h[0], 40);
    PutLE32(&h[4], static_cast<uint32_t>(FWidth));
    PutLE32(&h[8], static_cast<uint32_t>(FHeight));
    PutLE16(&h[12], 1);
    PutLE16(&h[14], 24);
    PutLE32(&h[16], MakeFourCC('M', 'J', 'P', 'G'));
    PutLE32(&h[20], static_cast<uint32_t>(FWidth * FHeight * 3));
    return h;
  }

  bool Compress(const uint8_t* bits, size_t size, bool, std::vector<TCompressedChunk>& out) override {
    TBitmap picture(FWidth, FHeight, FBits == 32 ? pf32bit : pf24bit);
    if (size < picture.ImageSize()) return false;
    std::memcpy(picture.Bits(), bits, picture.ImageSize());
    out.push_back(TCompressedChunk{EncodeJpeg(picture), true});
    return true;
  }

  bool Flush(std::vector<TCompressedChunk>&) override { return true; }

 private:
  int32_t FWidth, FHeight;
  int FBits;
};

class TTestJpegDriver final : public TCompressorDriver {
 public:
  FOURCC Handler() const override { return MakeFourCC('M', 'J', 'P', 'G'); }
  std::string Name() const override { return "TestJPEG"; }
  std::string Description() const override { return "JPEG pictures, for tests"; }
  bool Accepts(const uint8_t* format, size_t size) const override {
    if (size < 40) return false;
    const int32_t width = static_cast<int32_t>(GetLE32(format + 4)),
                  height = static_cast<int32_t>(GetLE32(format + 8));
    const unsigned bits = GetLE16(format + 14);
    return GetLE32(format + 16) == BI_RGB && (bits == 24 || bits == 32) && width > 0 && height > 0;
  }
  std::unique_ptr<TCompressor> Open(const uint8_t* format, size_t, const TCompressorSettings&) override {
    return std::make_unique<TTestJpegCompressor>(static_cast<int32_t>(GetLE32(format + 4)),
                                                 static_cast<int32_t>(GetLE32(format + 8)),
                                                 GetLE16(format + 14));
  }
};

}  // namespace

std::shared_ptr<TCompressorDriver> MakeTestJpegDriver() {
  return std::make_shared<TTestJpegDriver>();
}
