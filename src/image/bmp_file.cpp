#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "base/exception.h"
#include "base/file.h"
#include "image/channel_mask.h"
#include "image/picture_files.h"
#include "image/picture_source.h"

namespace {

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kLargestInfoHeader = 124;  // BITMAPV5HEADER

[[noreturn]] void Fail(const std::string& name, const std::string& reason) {
  throw Exception("Cannot read the bitmap " + (name.empty() ? std::string() : name + " ") + "because " +
                  reason);
}

// Run-length encoded pixels (BI_RLE8, BI_RLE4) into a bottom-up indexed
// picture. Pixels that the runs skip stay index 0; runs past the right
// edge are cut; data that ends before its end-of-bitmap mark is refused.
void DecodeRle(const std::vector<uint8_t>& data, int bitCount, TBitmap& picture, const std::string& name) {
  const int32_t width = picture.Width(), height = picture.Height();
  auto put = [&](int32_t x, int32_t rowFromBottom, unsigned index) {
    if (x < 0 || x >= width || rowFromBottom < 0 || rowFromBottom >= height) return;
    uint8_t* row = picture.ScanLine(height - 1 - rowFromBottom);
    if (bitCount == 8) {
      row[x] = static_cast<uint8_t>(index);
    } else {
      unsigned shift = (x % 2) ? 0 : 4;
      row[x / 2] = static_cast<uint8_t>((row[x / 2] & ~(0x0Fu << shift)) | ((index & 0x0F) << shift));
    }
  };
  size_t at = 0;
  int64_t x = 0, y = 0;
  auto need = [&](size_t count) {
    if (data.size() - at < count) Fail(name, "its compressed pixels end before the end-of-picture mark");
  };
  while (true) {
    need(2);
    const unsigned count = data[at], value = data[at + 1];
    at += 2;
    if (count > 0) {  // a run of one index (RLE4: two alternating ones)
      for (unsigned i = 0; i < count; ++i, ++x) {
        unsigned index = bitCount == 8 ? value : (i % 2 == 0 ? value >> 4 : value & 0x0F);
        if (x < width) put(static_cast<int32_t>(x), static_cast<int32_t>(y), index);
      }
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of picture
      return;
    } else if (value == 2) {  // move right and up
      need(2);
      x += data[at];
      y += data[at + 1];
      at += 2;
    } else {  // that many literal indices, padded to a 16-bit boundary
      const size_t bytes = bitCount == 8 ? value : (value + 1) / 2;
      need(bytes + (bytes % 2));
      for (unsigned i = 0; i < value; ++i, ++x) {
        unsigned index =
            bitCount == 8 ? data[at + i] : (i % 2 == 0 ? data[at + i / 2] >> 4 : data[at + i / 2] & 0x0F);
        if (x < width) put(static_cast<int32_t>(x), static_cast<int32_t>(y), index);
      }
      at += bytes + (bytes % 2);
    }
    if (y > height) Fail(name, "its compressed pixels run past the top of the picture");
  }
}

TBitmap DecodeBmpFrom(TPictureSource& source, const std::string& name) {
  const uint64_t size = source.Size();
  if (size < kFileHeaderSize + kCoreHeaderSize) Fail(name, "it is too short to be a Windows bitmap file");
  uint8_t fileHeader[kFileHeaderSize];
  source.ReadAt(0, fileHeader, kFileHeaderSize);
  if (fileHeader[0] != 'B' || fileHeader[1] != 'M') Fail(name, "it is not a Windows bitmap file");
  const uint32_t offBits = GetLE32(fileHeader + 10);  // bfOffBits

  uint8_t info[kLargestInfoHeader] = {};
  source.ReadAt(kFileHeaderSize, info, 4);
  const uint32_t headerSize = GetLE32(info);  // biSize
  if (headerSize != kCoreHeaderSize && (headerSize < 40 || headerSize > kLargestInfoHeader))
    Fail(name, "its header of " + std::to_string(headerSize) + " bytes is of no known kind");
  if (size < kFileHeaderSize + headerSize) Fail(name, "the file ends inside its header");
  source.ReadAt(kFileHeaderSize, info, headerSize);

  const bool core = headerSize == kCoreHeaderSize;
  int64_t width, height;
  unsigned planes, bitCount;
  uint32_t compression = BI_RGB, colorsUsed = 0;
  if (core) {
    width = GetLE16(info + 4);      // bcWidth
    height = GetLE16(info + 6);     // bcHeight
    planes = GetLE16(info + 8);     // bcPlanes
    bitCount = GetLE16(info + 10);  // bcBitCount
  } else {
    width = static_cast<int32_t>(GetLE32(info + 4));   // biWidth
    height = static_cast<int32_t>(GetLE32(info + 8));  // biHeight
    planes = GetLE16(info + 12);                       // biPlanes
    bitCount = GetLE16(info + 14);                     // biBitCount
    compression = GetLE32(info + 16);                  // biCompression
    colorsUsed = GetLE32(info + 32);                   // biClrUsed
  }
  const bool topDown = height < 0;
  height = std::abs(height);
  if (width <= 0 || height == 0) Fail(name, "it holds no pixels");
  if (width > kMaxPictureSide || height > kMaxPictureSide)
    Fail(name, "its size of " + std::to_string(width) + " x " + std::to_string(height) +
                   " pixels is over the limit of 32768 x 32768");
  if (planes != 1) Fail(name, "it has " + std::to_string(planes) + " colour planes");
  if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
    Fail(name, "a depth of " + std::to_string(bitCount) + " bits per pixel is not supported");
  const bool bitFields = compression == BI_BITFIELDS;
  const bool rle = (compression == BI_RLE8 && bitCount == 8) || (compression == BI_RLE4 && bitCount == 4);
  if (compression != BI_RGB && !rle && !(bitFields && (bitCount == 16 || bitCount == 32)))
    Fail(name, "its kind of compression (" + std::to_string(compression) + ") is not supported");
  if (rle && topDown) Fail(name, "compressed pictures cannot be stored top-down");

  // Colour masks: inside a header of 52 bytes or more, else right after it.
  uint64_t tableStart = kFileHeaderSize + headerSize;
  uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};  // 16-bit BI_RGB is 5-5-5
  if (bitCount == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (bitFields) {
    uint8_t maskBytes[12];
    if (headerSize >= 52) {
      std::memcpy(maskBytes, info + 40, 12);
    } else {
      if (tableStart + 12 > size) Fail(name, "the file ends inside its colour masks");
      source.ReadAt(tableStart, maskBytes, 12);
      tableStart += 12;
    }
    for (int i = 0; i < 3; ++i) masks[i] = GetLE32(maskBytes + 4 * i);
  }

  std::vector<RGBQUAD> palette;
  if (bitCount <= 8) {
    const uint32_t full = 1u << bitCount;
    const uint32_t entries = colorsUsed == 0 ? full : std::min(colorsUsed, full);
    const unsigned entrySize = core ? 3 : 4;
    if (tableStart + uint64_t{entries} * entrySize > size)
      Fail(name, "the file ends inside its colour table");
    std::vector<uint8_t> table(size_t{entries} * entrySize);
    source.ReadAt(tableStart, table.data(), table.size());
    for (uint32_t i = 0; i < entries; ++i) {
      const uint8_t* e = table.data() + size_t{i} * entrySize;
      palette.push_back(RGBQUAD{e[0], e[1], e[2], 0});
    }
  }

  const uint64_t headersEnd = kFileHeaderSize + headerSize;
  const uint64_t pixelStart = offBits == 0 ? tableStart : offBits;
  if (pixelStart < headersEnd) Fail(name, "its pixels would start inside its header");
  const auto w = static_cast<int32_t>(width), h = static_cast<int32_t>(height);
  if (rle) {
    if (pixelStart > size) Fail(name, "its pixels would start after the end of the file");
    const uint32_t sizeImage = GetLE32(info + 20);  // biSizeImage
    uint64_t available = size - pixelStart;
    if (sizeImage != 0) available = std::min<uint64_t>(available, sizeImage);
    std::vector<uint8_t> data(static_cast<size_t>(available));
    source.ReadAt(pixelStart, data.data(), data.size());
    TBitmap picture(w, h, bitCount == 8 ? pf8bit : pf4bit);
    picture.SetPalette(std::move(palette));
    DecodeRle(data, static_cast<int>(bitCount), picture, name);
    return picture;
  }
  const size_t fileStride = DibStride(w, static_cast<int>(bitCount));
  const uint64_t pixelBytes = uint64_t{fileStride} * static_cast<uint64_t>(h);
  if (pixelStart > size || size - pixelStart < pixelBytes)
    Fail(name, "the file ends before all its pixels (" + std::to_string(pixelBytes) + " bytes from offset " +
                   std::to_string(pixelStart) + ", the file has " + std::to_string(size) + ")");

  const bool plain32 = bitCount == 32 && masks[0] == 0xFF0000 && masks[1] == 0xFF00 && masks[2] == 0xFF;
  const bool direct = bitCount != 16 && (bitCount != 32 || plain32);
  TPixelFormat format = bitCount == 1    ? pf1bit
                        : bitCount == 4  ? pf4bit
                        : bitCount == 8  ? pf8bit
                        : bitCount == 32 ? pf32bit
                                         : pf24bit;
  TBitmap picture(w, h, format);
  if (bitCount <= 8) picture.SetPalette(std::move(palette));

  if (direct) {
    // The file's pixel array has our layout: bottom-up files are read in one go.
    if (!topDown) {
      source.ReadAt(pixelStart, picture.Bits(), static_cast<size_t>(pixelBytes));
    } else {
      for (int32_t y = 0; y < h; ++y)
        source.ReadAt(pixelStart + uint64_t{fileStride} * static_cast<uint64_t>(y), picture.ScanLine(y),
                      fileStride);
    }
    return picture;
  }

  const TChannelMask red(masks[0]), green(masks[1]), blue(masks[2]);
  std::vector<uint8_t> fileRow(fileStride);
  std::vector<uint32_t> line(static_cast<size_t>(w));
  for (int32_t fileY = 0; fileY < h; ++fileY) {
    source.ReadAt(pixelStart + uint64_t{fileStride} * static_cast<uint64_t>(fileY), fileRow.data(),
                  fileStride);
    for (int32_t x = 0; x < w; ++x) {
      uint32_t pixel = bitCount == 16 ? GetLE16(fileRow.data() + 2 * static_cast<size_t>(x))
                                      : GetLE32(fileRow.data() + 4 * static_cast<size_t>(x));
      line[static_cast<size_t>(x)] = blue.Value(pixel) | (green.Value(pixel) << 8) | (red.Value(pixel) << 16);
    }
    picture.WriteRow(topDown ? fileY : h - 1 - fileY, 0, w, line.data());
  }
  return picture;
}

std::vector<uint8_t> BmpHeaders(const TBitmap& picture) {
  if (picture.Empty()) throw Exception("An empty picture cannot be stored as a bitmap file");
  std::vector<uint8_t> dib = picture.DibHeader();
  const uint64_t offBits = kFileHeaderSize + dib.size();
  const uint64_t fileSize = offBits + picture.ImageSize();
  if (fileSize > std::numeric_limits<uint32_t>::max())
    throw Exception("The picture is too large for a Windows bitmap file");
  std::vector<uint8_t> headers(kFileHeaderSize + dib.size());
  headers[0] = 'B';  // bfType
  headers[1] = 'M';
  PutLE32(headers.data() + 2, static_cast<uint32_t>(fileSize));  // bfSize
  PutLE16(headers.data() + 6, 0);                                // bfReserved1
  PutLE16(headers.data() + 8, 0);                                // bfReserved2
  PutLE32(headers.data() + 10, static_cast<uint32_t>(offBits));  // bfOffBits
  std::memcpy(headers.data() + kFileHeaderSize, dib.data(), dib.size());
  return headers;
}

}  // namespace

TBitmap DecodeBmp(const uint8_t* data, size_t size) {
  TMemorySource source(data, size);
  return DecodeBmpFrom(source, std::string());
}

TBitmap LoadBmpFile(const std::string& path) {
  TFile file(path, TFile::TMode::Read);
  TFileSource source(file);
  return DecodeBmpFrom(source, path);
}

std::vector<uint8_t> EncodeBmp(const TBitmap& picture) {
  std::vector<uint8_t> bytes = BmpHeaders(picture);
  bytes.insert(bytes.end(), picture.Bits(), picture.Bits() + picture.ImageSize());
  return bytes;
}

void SaveBmpFile(const TBitmap& picture, const std::string& path) {
  std::vector<uint8_t> headers = BmpHeaders(picture);
  TFile file(path, TFile::TMode::Create);
  try {
    file.Write(headers.data(), headers.size());
    file.Write(picture.Bits(), picture.ImageSize());
    file.Close();
  } catch (...) {
    DeleteFileQuietly(path);  // no half-written picture is left behind
    throw;
  }
}
