#include "qt_support.h"

#include <cstring>

QImage ToQImage(const TBitmap& picture) {
  QImage image(picture.Width(), picture.Height(), QImage::Format_RGB32);
  if (image.isNull()) return image;
  for (int32_t y = 0; y < picture.Height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(image.scanLine(y));
    if (picture.BitCount() == 32)
      std::memcpy(row, picture.ScanLine(y), static_cast<size_t>(picture.Width()) * 4);
    else
      picture.ReadRow(y, 0, picture.Width(), row);
    for (int32_t x = 0; x < picture.Width(); ++x) row[x] |= 0xFF000000u;  // RGB32 wants the top byte set
  }
  return image;
}
