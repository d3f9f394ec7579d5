#include <string>
#include <utility>

#include "base/exception.h"
#include "base/file.h"
#include "image/picture_files.h"

TBitmap LoadPictureFile(const std::string& path, TPixelFormat jpegFormat, TBitmap spare) {
  uint8_t magic[2] = {0, 0};
  {
    TFile file(path, TFile::TMode::Read);
    if (file.Size() >= 2) file.ReadAt(0, magic, 2);
  }
  if (magic[0] == 0xFF && magic[1] == 0xD8) return LoadJpegFile(path, jpegFormat, std::move(spare));
  if (magic[0] == 'B' && magic[1] == 'M') return LoadBmpFile(path);
  throw Exception("The file " + path + " is neither a JPEG nor a Windows bitmap picture");
}
