#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/file.h"
#include "image/jpeg_codec.h"
#include "image/picture_files.h"

namespace {

// JPEG files larger than this are not read into memory.
constexpr uint64_t kLargestJpegFile = uint64_t{1} << 30;

struct TWriteTarget {
  TFile* File = nullptr;
  std::vector<uint8_t>* Bytes = nullptr;
  std::string Error;
};

extern "C" int WriteJpegBytes(void* context, const unsigned char* data, size_t size) {
  auto* target = static_cast<TWriteTarget*>(context);
  try {
    if (target->File)
      target->File->Write(data, size);
    else
      target->Bytes->insert(target->Bytes->end(), data, data + size);
    return 1;
  } catch (const std::exception& e) {
    target->Error = e.what();
    return 0;
  }
}

void Compress(const TBitmap& picture, int quality, TWriteTarget& target) {
  if (picture.Empty()) throw Exception("An empty picture cannot be stored as JPEG");
  const TBitmap* source = &picture;
  TBitmap truecolor;
  if (picture.BitCount() <= 8) {
    truecolor = picture;
    truecolor.SetPixelFormat(pf24bit);
    source = &truecolor;
  }
  // The rows are handed over from the top; our memory holds them bottom-up.
  const int bytesPerPixel = source->BitCount() / 8;
  char message[256];
  if (PelimarJpegCompress(source->ScanLine(0), -static_cast<ptrdiff_t>(source->Stride()), source->Width(),
                          source->Height(), bytesPerPixel, quality, WriteJpegBytes, &target, message,
                          sizeof message) != 0)
    throw Exception(target.Error.empty() ? std::string("JPEG encoding failed: ") + message : target.Error);
}

struct TDecodeTarget {
  TPixelFormat Format = pf24bit;
  TBitmap Picture;
  std::string Error;
};

extern "C" unsigned char* AllocateJpegPicture(void* context, int width, int height, ptrdiff_t* stride) {
  auto* target = static_cast<TDecodeTarget*>(context);
  try {
    if (width > kMaxPictureSide || height > kMaxPictureSide)
      throw Exception("its size of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels is over the limit of 32768 x 32768");
    // The decoder writes every pixel of a row, and a failed decode discards
    // the picture; 24-bit rows keep their padding cleared, a spare's too.
    TBitmap& spare = target->Picture;
    if (spare.Width() != width || spare.Height() != height || spare.PixelFormat() != target->Format)
      spare = target->Format == pf24bit ? TBitmap(width, height, target->Format)
                                        : TBitmap::Uninitialized(width, height, target->Format);
    *stride = -static_cast<ptrdiff_t>(target->Picture.Stride());
    return target->Picture.ScanLine(0);
  } catch (const std::exception& e) {
    target->Error = e.what();
    return nullptr;
  }
}

TBitmap Decompress(const uint8_t* data, size_t size, TPixelFormat format, const std::string& name,
                   TBitmap spare = TBitmap()) {
  if (format != pf24bit && format != pf32bit && format != pfDevice)
    throw Exception("JPEG pictures are read as 24- or 32-bit pictures only");
  TDecodeTarget target;
  target.Format = format;
  target.Picture = std::move(spare);
  char message[256];
  int result = PelimarJpegDecompress(data, size, format == pf24bit ? 3 : 4, AllocateJpegPicture, &target,
                                     message, sizeof message);
  if (result != 0)
    throw Exception("Cannot read the JPEG picture " + (name.empty() ? std::string() : name + " ") +
                    "because " + (result == 2 ? target.Error : std::string(message)));
  return std::move(target.Picture);
}

struct TPlanesTarget {
  TYuv420Picture* Picture = nullptr;
  std::string Error;
};

extern "C" int AllocateJpegPlanes(void* context, int width, int height, const int planeWidth[3],
                                  const int planeHeight[3], unsigned char* planes[3], ptrdiff_t strides[3]) {
  auto* target = static_cast<TPlanesTarget*>(context);
  try {
    if (width > kMaxPictureSide || height > kMaxPictureSide)
      throw Exception("its size of " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels is over the limit of 32768 x 32768");
    TYuv420Picture& picture = *target->Picture;
    size_t sizes[3];
    for (int k = 0; k < 3; ++k) sizes[k] = static_cast<size_t>(planeWidth[k]) * static_cast<size_t>(planeHeight[k]);
    picture.Reserve(sizes);
    picture.Width = width;
    picture.Height = height;
    for (int k = 0; k < 3; ++k) {
      picture.Stride[k] = planeWidth[k];
      planes[k] = picture.Plane[k].get();
      strides[k] = planeWidth[k];
    }
    return 1;
  } catch (const std::exception& e) {
    target->Error = e.what();
    return 0;
  }
}

}  // namespace

bool DecodeJpegYuv420(const uint8_t* data, size_t size, TYuv420Picture& picture, const std::string& name) {
  if (size < 2 || data[0] != 0xFF || data[1] != 0xD8) return false;
  TPlanesTarget target;
  target.Picture = &picture;
  char message[256];
  const int result = PelimarJpegDecompressYuv420(data, size, AllocateJpegPlanes, &target, message, sizeof message);
  if (result == 3) return false;
  if (result != 0) {
    picture.Width = picture.Height = 0;
    throw Exception("Cannot read the JPEG picture " + (name.empty() ? std::string() : name + " ") + "because " +
                    (result == 2 ? target.Error : std::string(message)));
  }
  return true;
}

bool LoadJpegYuv420File(const std::string& path, TYuv420Picture& picture) {
  TFile file(path, TFile::TMode::Read);
  const uint64_t size = file.Size();
  if (size > kLargestJpegFile)
    throw Exception("Cannot read the JPEG picture " + path + " because it is over 1 GiB");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  file.ReadAt(0, bytes.data(), bytes.size());
  return DecodeJpegYuv420(bytes.data(), bytes.size(), picture, path);
}

void EncodeJpeg(const TBitmap& picture, std::vector<uint8_t>& bytes, int quality) {
  bytes.clear();
  TWriteTarget target;
  target.Bytes = &bytes;
  Compress(picture, quality, target);
}

std::vector<uint8_t> EncodeJpeg(const TBitmap& picture, int quality) {
  std::vector<uint8_t> bytes;
  EncodeJpeg(picture, bytes, quality);
  return bytes;
}

void SaveJpegFile(const TBitmap& picture, const std::string& path, int quality) {
  TFile file(path, TFile::TMode::Create);
  try {
    TWriteTarget target;
    target.File = &file;
    Compress(picture, quality, target);
    file.Close();
  } catch (...) {
    DeleteFileQuietly(path);  // no half-written picture is left behind
    throw;
  }
}

TBitmap DecodeJpeg(const uint8_t* data, size_t size, TPixelFormat format) {
  return Decompress(data, size, format, std::string());
}

TBitmap LoadJpegFile(const std::string& path, TPixelFormat format, TBitmap spare) {
  TFile file(path, TFile::TMode::Read);
  uint64_t size = file.Size();
  if (size > kLargestJpegFile)
    throw Exception("Cannot read the JPEG picture " + path + " because it is over 1 GiB");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  file.ReadAt(0, bytes.data(), bytes.size());
  return Decompress(bytes.data(), bytes.size(), format, path, std::move(spare));
}
