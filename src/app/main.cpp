#include <QApplication>
#include <QIcon>

#include "Main_F.h"

int main(int argc, char* argv[]) {
  Q_INIT_RESOURCE(pelimar);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setWindowIcon(QIcon(":/pelimar.svg"));
  // The overlay and the dialogs come and go while the main window is
  // hidden; only closing the main window ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  TMainForm mainForm;
  mainForm.show();
  return app.exec();
}
