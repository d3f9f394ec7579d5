#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Api_Funcs.h"
#include "Main_F.h"
#include "error_box.h"
#include "platform/screen.h"

namespace {

// Qt's own options, which its application object takes out of the
// arguments; those that take a value are followed by it.
bool IsQtOption(const std::string& option, bool& takesValue) {
  static const char* const kWithValue[] = {"-platform", "-platformpluginpath", "-platformtheme", "-plugin",
                                           "-display",  "-style",              "-stylesheet",    "-session",
                                           "-qwindowgeometry", "-qwindowtitle", "-qwindowicon",  "-geometry",
                                           "-name",     "-title",              "-visual"};
  static const char* const kAlone[] = {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"};
  auto named = [&option](const char* known) { return option == known || option == std::string("-") + known; };
  for (const char* known : kWithValue)
    if (named(known)) {
      takesValue = true;
      return true;
    }
  takesValue = false;
  for (const char* known : kAlone)
    if (named(known)) return true;
  return false;
}

const char* const kHelp =
    "Usage: pelimar [options]\n"
    "Records a rectangle of the screen, 1 to 20 pictures a second, as an AVI video.\n"
    "\n"
    "  -h, --help     show this help and end\n"
    "      --version  show the version and end\n"
    "\n"
    "Qt's own options (-platform, -display, -style and the others) are passed on to Qt.\n";

}  // namespace

int main(int argc, char* argv[]) {
  // The command line is read before anything needs a screen.
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    bool takesValue = false;
    if (argument == "--help" || argument == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("Pelimar %s\n", GetFileVersionText(ExecutablePath()).c_str());
      return 0;
    }
    if (IsQtOption(argument, takesValue)) {
      if (takesValue) ++i;
      continue;
    }
    std::fprintf(stderr, "pelimar: %s '%s'\nTry 'pelimar --help' for the options.\n",
                 argument.rfind('-', 0) == 0 ? "unknown option" : "unexpected argument", argument.c_str());
    return 2;
  }
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
  // The menu entry that the desktop matches the window with.
  QGuiApplication::setDesktopFileName("se.quorvane.Pelimar");
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
