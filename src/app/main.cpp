#include <QApplication>
#include <QIcon>
#include <QTimer>

#include "Main_F.h"
#include "error_box.h"

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
  // Once the window is up: recordings left by a program that did not end
  // normally are offered back.
  QTimer::singleShot(0, &mainForm,
                     [&mainForm] { Guarded([&mainForm] { mainForm.OfferAbandonedRecordings(); }); });
  return app.exec();
}
