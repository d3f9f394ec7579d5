#include "qt_support.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>
#include <cstring>

namespace {

// The screen that holds a point of Qt's global coordinates, else the
// primary one; null only with no screen at all.
QScreen* ScreenAt(const QPoint& global) {
  if (QScreen* screen = QGuiApplication::screenAt(global)) return screen;
  return QGuiApplication::primaryScreen();
}

}  // namespace

// Corners are the same in both counts, so a screen holds the real point
// when the point lies within its corner and its real size.
QScreen* ScreenOfPixels(const TRect& r) {
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect g = screen->geometry();
    const qreal ratio = screen->devicePixelRatio();
    if (r.Left >= g.left() && r.Top >= g.top() && r.Left < g.left() + std::lround(g.width() * ratio) &&
        r.Top < g.top() + std::lround(g.height() * ratio))
      return screen;
  }
  return QGuiApplication::primaryScreen();
}

bool QtOnWayland() {
  return QGuiApplication::platformName().startsWith("wayland");
}

TPoint ToScreenPixels(const QPointF& global) {
  const QScreen* screen = ScreenAt(global.toPoint());
  if (!screen)
    return TPoint{static_cast<int32_t>(std::floor(global.x())), static_cast<int32_t>(std::floor(global.y()))};
  const QPoint corner = screen->geometry().topLeft();
  const qreal ratio = screen->devicePixelRatio();
  // Rounded, not cut: a Qt point at a half pixel names the real pixel it
  // was made from.
  return TPoint{static_cast<int32_t>(corner.x() + std::lround((global.x() - corner.x()) * ratio)),
                static_cast<int32_t>(corner.y() + std::lround((global.y() - corner.y()) * ratio))};
}

qreal ScreenPixelRatio(const TRect& r) {
  const QScreen* screen = ScreenOfPixels(r);
  return screen ? screen->devicePixelRatio() : 1.0;
}

QRect FromScreenPixels(const TRect& r) {
  const QScreen* screen = ScreenOfPixels(r);
  const QPoint corner = screen ? screen->geometry().topLeft() : QPoint();
  const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
  const auto toQt = [ratio](int64_t pixels, int64_t origin, bool up) {
    const qreal v = origin + (pixels - origin) / ratio;
    return static_cast<int>(up ? std::ceil(v) : std::floor(v));
  };
  return QRect(QPoint(toQt(r.Left, corner.x(), false), toQt(r.Top, corner.y(), false)),
               QPoint(toQt(r.Right, corner.x(), true) - 1, toQt(r.Bottom, corner.y(), true) - 1));
}

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
