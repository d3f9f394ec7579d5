#include "image_box.h"

#include <QPainter>

void TImageBox::SetPicture(const QImage& picture) {
  FPicture = picture;
  update();
}

void TImageBox::paintEvent(QPaintEvent*) {
  if (FPicture.isNull()) return;
  QPainter painter(this);
  QSize size = FPicture.size().scaled(this->size(), Qt::KeepAspectRatio);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(QRect(QPoint(0, 0), size), FPicture);
}
