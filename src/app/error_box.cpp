#include "error_box.h"

#include <QApplication>
#include <QMessageBox>

QWidget* BoxOwner() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->objectName() == "MainForm" && window->isVisible()) return window;
  return nullptr;
}

void ShowErrorBox(const std::string& message) {
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                  QString::fromStdString(ErrorBoxText(message)), QMessageBox::Ok, BoxOwner());
  box.exec();
}
