#pragma once

#include <QImage>
#include <QWidget>

// Shows a picture scaled up or down to fit, its proportions kept, drawn
// from the top-left corner.
class TImageBox : public QWidget {
  Q_OBJECT

 public:
  explicit TImageBox(QWidget* parent = nullptr) : QWidget(parent) {}
  void SetPicture(const QImage& picture);
  const QImage& Picture() const { return FPicture; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage FPicture;
};
