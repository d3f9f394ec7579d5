#include "areaform_f.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <cmath>

#include "Main_F.h"
#include "error_box.h"
#include "qt_support.h"
#include "settings_f.h"

TAreaForm* AreaForm = nullptr;

QString RectLabelText(const TRect& r) {
  return QString("%1x%2 (%3,%4,%5,%6)")
      .arg(r.Width())
      .arg(r.Height())
      .arg(r.Left)
      .arg(r.Top)
      .arg(r.Right)
      .arg(r.Bottom);
}

TPaintBox::TPaintBox(TAreaForm* form) : QWidget(form), FForm(form) {
  setObjectName("PaintBox1");
  // Moves count while dragging even with no button held.
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPaintBox::paintEvent(QPaintEvent* event) {
  QPainter canvas(this);
  FForm->PaintBox1Paint(canvas, event->rect());
}

void TPaintBox::mousePressEvent(QMouseEvent* event) {
  const QPointF p = event->position() * FForm->Ratio();
  FForm->FPressPoint = TPoint{FForm->Origin().x() + static_cast<int32_t>(std::lround(p.x())),
                              FForm->Origin().y() + static_cast<int32_t>(std::lround(p.y()))};
  Guarded([this] { FForm->DeskTopImageMouseDown(); });
  FForm->FPressPoint.reset();
}

void TPaintBox::mouseReleaseEvent(QMouseEvent*) {
  Guarded([this] { FForm->FormMouseUp(); });
}

void TPaintBox::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = (event->position() * FForm->Ratio()).toPoint();
  Guarded([&] { FForm->PaintBox1MouseMove(p.x(), p.y()); });
}

TAreaForm::TAreaForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
  setObjectName("AreaForm");
  setWindowTitle("Set recording area");
  setCursor(Qt::CrossCursor);
  setAttribute(Qt::WA_QuitOnClose, false);
  resize(585, 540);
  PaintBox1 = new TPaintBox(this);
  PaintBox1->setGeometry(rect());
}

void TAreaForm::PlaceOn(const TRect& bounds) {
  FOrigin = QPoint(bounds.Left, bounds.Top);
  // Wayland places windows itself: there the overlay goes full screen on
  // the monitor's own output.
  if (QScreen* screen = ScreenOfPixels(bounds); screen && QtOnWayland()) setScreen(screen);
  setGeometry(FromScreenPixels(bounds));
}

void TAreaForm::ShowOver() {
  if (QtOnWayland())
    showFullScreen();
  else
    show();
}

qreal TAreaForm::Ratio() const {
  return PaintBox1->devicePixelRatioF();
}

TRect TAreaForm::NormalizedAreaRect() const {
  const TRect& r = FAreaRect;
  return TRect(std::min(r.Left, r.Right), std::min(r.Top, r.Bottom), std::max(r.Left, r.Right),
               std::max(r.Top, r.Bottom));
}

void TAreaForm::resizeEvent(QResizeEvent*) {
  PaintBox1->setGeometry(rect());
}

void TAreaForm::showEvent(QShowEvent*) {
  Guarded([this] { FormShow(); });
}

void TAreaForm::closeEvent(QCloseEvent* event) {
  Guarded([this] { FormClose(); });
  event->accept();  // the default close action: hide
}

void TAreaForm::mouseReleaseEvent(QMouseEvent*) {
  Guarded([this] { FormMouseUp(); });
}

void TAreaForm::FormShow() {
  SetAreaRect(TRect(0, 0, 0, 0));
  FDragging = false;
}

void TAreaForm::PaintBox1Paint(QPainter& canvas, const QRect& dirtyArea) {
  // Painted in real pixels, whatever Qt's scale: each pixel of the picture
  // on its own screen pixel, and the outline exactly around the area.
  const qreal ratio = Ratio();
  canvas.scale(1 / ratio, 1 / ratio);
  const QRect dirty =
      QRectF(QPointF(dirtyArea.topLeft()) * ratio, QSizeF(dirtyArea.size()) * ratio).toAlignedRect();
  if (DeskTopImage.isNull() || !DeskTopImage.rect().contains(dirty)) canvas.fillRect(dirty, Qt::black);
  canvas.drawImage(dirty.topLeft(), DeskTopImage, dirty);
  // The outline of the area: dashed, black, one pixel, nothing filled; from
  // (Left, Top) up to but not including (Right, Bottom).
  const TRect r = NormalizedAreaRect();
  if (r.Width() < 1 || r.Height() < 1) return;
  canvas.setBrush(Qt::NoBrush);
  QPen pen(Qt::black, 1, Qt::DashLine);
  pen.setCosmetic(true);  // one real pixel wide
  canvas.setPen(pen);
  const QPoint origin = Origin();
  canvas.drawRect(QRect(r.Left - origin.x(), r.Top - origin.y(), static_cast<int>(r.Width()) - 1,
                        static_cast<int>(r.Height()) - 1));
}

void TAreaForm::DeskTopImageMouseDown() {
  SetDragging(true);
}

void TAreaForm::FormMouseUp() {
  SetDragging(false);
  // A click raises the full-screen overlay above everything on Wayland;
  // the main window must stay reachable to end it.
  if (MainForm && QtOnWayland()) MainForm->raise();
}

void TAreaForm::SetDragging(bool dragging) {
  FDragging = dragging;
  if (dragging) {
    FStartPoint = FPressPoint ? *FPressPoint : ToScreenPixels(QPointF(QCursor::pos()));
  }
}

void TAreaForm::PaintBox1MouseMove(int X, int Y) {
  if (!FDragging) return;
  // Only the old and the new outline are repainted; the picture between
  // them stays on the screen as it is.
  QRegion dirty = OutlineRegion(FAreaRect);
  // The area is kept in screen coordinates on every monitor.
  const int32_t x = X + Origin().x(), y = Y + Origin().y();
  TRect rect;
  switch (SettingsForm ? SettingsForm->VideoSizeCBX->currentIndex() : -1) {
    case 0:
      rect = TRect(FStartPoint.X, FStartPoint.Y, x, y);
      break;
    case 1:
      rect = TRect(x, y, x + 320, y + 240);
      break;
    case 2:
      rect = TRect(x, y, x + 640, y + 480);
      break;
    case 3:
      rect = TRect(x, y, x + 1024, y + 768);
      break;
    default:
      rect = TRect(0, 0, 0, 0);
      break;
  }
  SetAreaRect(rect);
  if (MainForm) MainForm->rectlabel->setText(RectLabelText(FAreaRect));
  dirty += OutlineRegion(FAreaRect);
  PaintBox1->update(dirty);
}

QRegion TAreaForm::OutlineRegion(const TRect& area) const {
  TRect r = area;
  r = TRect(std::min(r.Left, r.Right), std::min(r.Top, r.Bottom), std::max(r.Left, r.Right),
            std::max(r.Top, r.Bottom));
  const QPoint o = Origin();
  // Two pixels wide around each edge, clipped to the overlay; in real
  // pixels, then in the paint box's own.
  const qreal ratio = Ratio();
  const QRect bounds = QRectF(QPointF(), QSizeF(PaintBox1->size()) * ratio).toAlignedRect();
  auto clip = [&](int64_t left, int64_t top, int64_t right, int64_t bottom) {
    left = std::clamp<int64_t>(left - o.x(), -2, bounds.width() + 2);
    right = std::clamp<int64_t>(right - o.x(), -2, bounds.width() + 2);
    top = std::clamp<int64_t>(top - o.y(), -2, bounds.height() + 2);
    bottom = std::clamp<int64_t>(bottom - o.y(), -2, bounds.height() + 2);
    return QRect(QPoint(static_cast<int>(left), static_cast<int>(top)),
                 QPoint(static_cast<int>(right), static_cast<int>(bottom)))
        .intersected(bounds);
  };
  const auto toBox = [ratio](const QRect& pixels) {
    return QRectF(QPointF(pixels.topLeft()) / ratio, QSizeF(pixels.size()) / ratio).toAlignedRect();
  };
  QRegion region;
  region += toBox(clip(r.Left - 1, r.Top - 1, r.Right, r.Top));
  region += toBox(clip(r.Left - 1, r.Bottom - 2, r.Right, r.Bottom));
  region += toBox(clip(r.Left - 1, r.Top - 1, r.Left, r.Bottom));
  region += toBox(clip(r.Right - 2, r.Top - 1, r.Right, r.Bottom));
  return region;
}

void TAreaForm::SetAreaRect(const TRect& rect) {
  FAreaRect = rect;
  // Start follows the area: enabled for a rectangle of non-zero width and height.
  if (MainForm) MainForm->ShowState();
}

void TAreaForm::FormClose() {
  // The window shows its state with the area as it now stands; a recording
  // that runs keeps its own area and its buttons.
  if (MainForm) MainForm->ShowState();
}
