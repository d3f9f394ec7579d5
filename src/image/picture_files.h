#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/yuv420.h"

// Windows bitmap files. Reading takes uncompressed files (BI_RGB, and
// BI_BITFIELDS for 16 and 32 bits) of 1, 4, 8, 16, 24 and 32 bits, stored
// bottom-up or top-down; 16-bit files come back as 24-bit pictures. Writing
// stores the picture's own depth and colour table. Bad files raise an
// Exception that says what is wrong; nothing is allocated before the file
// is known to hold all the pixels its header claims.
TBitmap LoadBmpFile(const std::string& path);
TBitmap DecodeBmp(const uint8_t* data, size_t size);
void SaveBmpFile(const TBitmap& picture, const std::string& path);
std::vector<uint8_t> EncodeBmp(const TBitmap& picture);

// JPEG files: colour, baseline, quality 90 unless told otherwise. A 32-bit
// picture is encoded straight from its rows. Reading gives the picture at
// full size as pf24bit or pf32bit; corrupt or truncated data raises.
constexpr int kJpegQuality = 90;
void SaveJpegFile(const TBitmap& picture, const std::string& path, int quality = kJpegQuality);
std::vector<uint8_t> EncodeJpeg(const TBitmap& picture, int quality = kJpegQuality);
// The same into a buffer that keeps its memory from one picture to the next.
void EncodeJpeg(const TBitmap& picture, std::vector<uint8_t>& bytes, int quality = kJpegQuality);
// A spare picture of the same size and format lends its memory to the one
// read, which saves a reader of many pictures fresh memory for each.
TBitmap LoadJpegFile(const std::string& path, TPixelFormat format = pf24bit, TBitmap spare = TBitmap());
TBitmap DecodeJpeg(const uint8_t* data, size_t size, TPixelFormat format = pf24bit);

// A JPEG file's picture as it stores it, when that is YCbCr 4:2:0 (as ours
// are): true once read into picture, whose memory is taken again when it
// has some; false, with nothing read, for any other file. Corrupt or
// truncated data raises.
bool LoadJpegYuv420File(const std::string& path, TYuv420Picture& picture);
bool DecodeJpegYuv420(const uint8_t* data, size_t size, TYuv420Picture& picture, const std::string& name = "");

// A picture file of either kind, told apart by its first bytes rather than
// by its name: JPEG pictures come back in jpegFormat (pf24bit or pf32bit).
TBitmap LoadPictureFile(const std::string& path, TPixelFormat jpegFormat = pf24bit, TBitmap spare = TBitmap());
