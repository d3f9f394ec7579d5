#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <string>

#include "base/types.h"
#include "image/bitmap.h"

inline QString QStr(const std::string& text) {
  return QString::fromStdString(text);
}
inline QRect ToQRect(const TRect& r) {
  return QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
}

// The picture as a Qt image (RGB32, rows from the top).
QImage ToQImage(const TBitmap& picture);
