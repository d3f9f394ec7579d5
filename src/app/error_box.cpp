#include "error_box.h"

#include <QApplication>
#include <QMessageBox>

void ShowErrorBox(const std::string& message) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                  QString::fromStdString(ErrorBoxText(message)), QMessageBox::Ok);
  box.exec();
}
