#pragma once

#include <QImage>
#include <QWidget>
#include <optional>

#include "base/types.h"

class TAreaForm;

// The surface of the overlay: it paints the frozen picture and the
// outline, and hands every mouse event to the overlay.
class TPaintBox : public QWidget {
  Q_OBJECT

 public:
  explicit TPaintBox(TAreaForm* form);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  TAreaForm* FForm;
};

// The borderless overlay over one monitor, on whose frozen picture the
// user draws the recording area. It owns the area, in screen coordinates.
class TAreaForm : public QWidget {
  Q_OBJECT

 public:
  explicit TAreaForm(QWidget* parent = nullptr);

  TPaintBox* PaintBox1;
  // The frozen monitor picture; the main window sets it before each show.
  QImage DeskTopImage;

  // The area as the user drew it: screen coordinates, not normalised.
  const TRect& AreaRect() const { return FAreaRect; }
  // The same with Left <= Right and Top <= Bottom: what is recorded.
  TRect NormalizedAreaRect() const;
  bool Dragging() const { return FDragging; }

  // Covers the monitor whose real pixels are bounds, whatever Qt's scale.
  void PlaceOn(const TRect& bounds);
  // Shows it over that monitor.
  void ShowOver();

  void FormShow();
  void PaintBox1Paint(QPainter& canvas, const QRect& dirty);
  void DeskTopImageMouseDown();
  void FormMouseUp();
  // X, Y: the pointer in the overlay's real pixels.
  void PaintBox1MouseMove(int X, int Y);
  void FormClose();

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void SetDragging(bool dragging);
  void SetAreaRect(const TRect& rect);
  // The overlay's pixels that an outline of the area covers.
  QRegion OutlineRegion(const TRect& area) const;
  // The monitor's top-left corner in real pixels.
  QPoint Origin() const { return FOrigin; }
  // Real pixels per Qt pixel of the overlay.
  qreal Ratio() const;

  friend class TPaintBox;
  QPoint FOrigin;
  // Where the press that starts a drag was, in real pixels; the pointer's
  // position in Qt's coordinates may have lost the odd pixel.
  std::optional<TPoint> FPressPoint;
  bool FDragging = false;
  TPoint FStartPoint;
  TRect FAreaRect;
};

extern TAreaForm* AreaForm;

// "320x240 (100,50,420,290)": width, height and the corners as drawn.
QString RectLabelText(const TRect& rect);
