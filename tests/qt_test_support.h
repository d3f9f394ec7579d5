#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// While it lives, every message box that opens is answered with the
// button Answer (OK and Yes accept), its text kept.
class TMessageBoxes {
 public:
  explicit TMessageBoxes(QMessageBox::StandardButton answer = QMessageBox::Ok) {
    QObject::connect(&FPoll, &QTimer::timeout, [this, answer] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        Texts << box->text();
        if (QAbstractButton* button = box->button(answer))
          button->click();
        else
          box->accept();
      }
    });
    FPoll.start(5);
  }
  QStringList Texts;

 private:
  QTimer FPoll;
};
