#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <cstdlib>

#include "Main_F.h"
#include "error_box.h"
#include "platform/screen.h"

int main(int argc, char* argv[]) {
  Q_INIT_RESOURCE(pelimar);
  // Qt on the session's own kind of screen: in a Wayland session its
  // Wayland platform, not X11 through Xwayland; PELIMAR_SCREEN=x11 keeps X11.
  if (!getenv("QT_QPA_PLATFORM")) {
    if (SessionScreenKind() == TScreenKind::Wayland && getenv("WAYLAND_DISPLAY"))
      setenv("QT_QPA_PLATFORM", "wayland;xcb", 1);
    else if (getenv("DISPLAY"))
      setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
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
