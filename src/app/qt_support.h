#pragma once

#include <QImage>
#include <QPointF>
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

// Qt may scale its windows (a HiDPI screen, QT_SCALE_FACTOR); the screen
// below counts real pixels. Each screen keeps its top-left corner in both
// counts and is devicePixelRatio real pixels per Qt pixel from there on.
// The real pixel under a point in Qt's global coordinates:
TPoint ToScreenPixels(const QPointF& global);
// The rectangle of Qt's global coordinates that covers real pixels r.
QRect FromScreenPixels(const TRect& r);
// Real pixels per Qt pixel on the screen whose top-left corner real pixel
// r's top-left lies on.
qreal ScreenPixelRatio(const TRect& r);

// Qt's screen that shows real pixel r's top-left corner, else the primary.
class QScreen;
QScreen* ScreenOfPixels(const TRect& r);
// Whether Qt draws its windows through a Wayland compositor.
bool QtOnWayland();

// The picture as a Qt image (RGB32, rows from the top).
QImage ToQImage(const TBitmap& picture);

// Counts a wait for the desktop while it lasts, however it ends.
struct TWaiting {
  explicit TWaiting(int& count) : Count(count) { ++Count; }
  ~TWaiting() { --Count; }
  TWaiting(const TWaiting&) = delete;
  TWaiting& operator=(const TWaiting&) = delete;
  int& Count;
};
