#include "hotkeys.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <vector>

#include "base/exception.h"
#include "desktop_access.h"
#include "error_box.h"
#include "qt_support.h"

THotkeys::THotkeys(QWidget* window, TDesktopAccess& desktop)
    : QObject(window), FWindow(window), FDesktop(desktop) {}

THotkeys::~THotkeys() {
  Release();
}

void THotkeys::Open() {
  if (FKeys) return;
  FKeys = FDesktop.OpenKeys();
  FNotifier = new QSocketNotifier(FKeys->Descriptor(), QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { TakePressed(); });
}

void THotkeys::Release() {
  delete FNotifier;
  FNotifier = nullptr;
  FKeys.reset();  // the keys are free for others again
  FBound = false;
}

void THotkeys::Bind(const std::string& startStop, const std::string& pauseResume, int& waiting) {
  FProblem.clear();
  FBound = false;
  std::vector<std::string> failures;
  try {
    Open();
    std::vector<TGlobalKey> keys = {{"start-stop", startStop, "Start or stop recording"},
                                    {"pause-resume", pauseResume, "Pause or resume recording"}};
    if (!startStop.empty() && pauseResume == startStop) {
      failures.push_back(pauseResume + " is already the start/stop hotkey.");
      keys[1].Combination.clear();
    }
    {
      const TWaiting counted(waiting);
      for (const std::string& failure :
           FKeys->Bind(keys, [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20); }))
        failures.push_back(failure);
    }
    // Presses read while binding wait in the connection's queue, where the
    // notifier does not see them.
    QTimer::singleShot(0, this, [this] { TakePressed(); });
    FBound = !startStop.empty();
    for (const std::string& failure : failures) {
      // Only a failure that names the pause key leaves the start/stop key bound.
      if (pauseResume.empty() || failure.rfind(pauseResume + " ", 0) != 0) FBound = false;
      FProblem += (FProblem.isEmpty() ? "" : "\n") + QStr(failure);
    }
  } catch (const Exception& e) {
    // The session has none, or none that works: the dialog says so, and
    // nothing else does.
    FProblem = QStr(e.Message());
    Release();
    return;
  }
  if (failures.empty()) return;
  // Said at once, without holding anything up, over the window.
  auto* box = new QMessageBox(QMessageBox::Warning, QApplication::applicationName(), FProblem,
                              QMessageBox::Ok, FWindow);
  box->setObjectName("HotkeyProblemBox");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void THotkeys::TakePressed() {
  if (!FKeys || !FNotifier->isEnabled()) return;
  std::vector<std::string> pressed;
  try {
    pressed = FKeys->TakePressed();
  } catch (const Exception& e) {
    // The connection is gone for good: the notifier would only spin.
    FNotifier->setEnabled(false);
    FBound = false;
    FProblem = QStr(e.Message());
    if (OnLost) OnLost();
    return;
  }
  for (const std::string& name : pressed)
    Guarded([this, &name] {
      if (OnPressed) OnPressed(name);
    });
}
