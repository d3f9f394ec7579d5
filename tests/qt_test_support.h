#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <string>

#include "test_support.h"
#include "x_server.h"

// Saves a main window's recording as path through its Save button, with
// the file dialog answered, and lets the window run until the export ends.
template <typename TForm>
void SaveRecording(TForm& form, const std::string& path) {
  QTimer::singleShot(0, [&form, path] {
    QTRY_VERIFY(form.SaveDialog1->isVisible());
    form.SaveDialog1->selectFile(QString::fromStdString(path));
    static_cast<QDialog*>(form.SaveDialog1)->accept();
  });
  form.SaveBtn->click();
  form.WaitForExport();
}

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

// Runs a Qt Test suite as the program starts: on an X server of its own,
// with temporary files, settings and the C locale in a folder of its own.
template <typename TSuite>
int RunQtSuite(int argc, char** argv, int width, int height) {
  TXServer server(width, height);
  TTempFolder temp;
  setenv("DISPLAY", server.Name().c_str(), 1);
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Path().c_str(), 1);
  setenv("LC_ALL", "C", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  TSuite suite(server, temp);
  return QTest::qExec(&suite, argc, argv);
}
