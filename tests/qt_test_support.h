#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>

#include "test_support.h"
#include "x_server.h"

class TMainForm;

// The main window as the program starts it: shown, and exposed before the
// case goes on. With freshSettings the settings start from the defaults.
void StartWindow(std::unique_ptr<TMainForm>& form, bool freshSettings = true);
// Closes it as the user does, and lets it go.
void CloseWindow(std::unique_ptr<TMainForm>& form);

// A suite whose cases each start with the main window as the program
// starts it, from the default settings, and end with it closed and no
// recording left behind.
class TWindowSuite : public QObject {
  Q_OBJECT

 public:
  TWindowSuite(const TXServer& server, const TTempFolder& temp);
  ~TWindowSuite() override;

 protected:
  const TXServer* Server;
  const TTempFolder* Temp;
  std::unique_ptr<TMainForm> Form;

 private slots:
  void init();
  void cleanup();
};

// The overlay shown and closed through "Set recording area".
void ShowOverlay(TMainForm& form);
void CloseOverlay(TMainForm& form);
// A drag on the shown overlay from screen point from to overlay point to.
void DragOnOverlay(QPoint from, QPoint to);
// A free area (the size preset "Ange själv") marked from screen point from
// to overlay point to: the overlay shown, dragged on and closed.
void MarkArea(TMainForm& form, QPoint from, QPoint to);

// Saves the window's recording as path through its Save button, with the
// file dialog answered, and lets the window run until the export ends.
void SaveRecording(TMainForm& form, const std::string& path);

// While it lives, every message box that opens is answered with the
// button Answer (OK and Yes accept), its text and the window it belongs to kept.
class TMessageBoxes {
 public:
  explicit TMessageBoxes(QMessageBox::StandardButton answer = QMessageBox::Ok);
  QStringList Texts;
  QList<QWidget*> Owners;

 private:
  QTimer FPoll;
};

// Runs a Qt Test suite as the program starts: on an X server of its own,
// with temporary files, settings and the C locale in a folder of its own.
template <typename TSuite>
int RunQtSuite(int argc, char** argv, int width, int height) {
  Q_INIT_RESOURCE(pelimar);
  TXServer server(width, height);
  TTempFolder temp;
  setenv("DISPLAY", server.Name().c_str(), 1);
  setenv("TMPDIR", temp.Path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", temp.Path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Path().c_str(), 1);
  setenv("LC_ALL", "C", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setWindowIcon(QIcon(":/pelimar.svg"));  // as the program starts
  QApplication::setQuitOnLastWindowClosed(false);
  TSuite suite(server, temp);
  return QTest::qExec(&suite, argc, argv);
}
