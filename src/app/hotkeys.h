#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "platform/global_keys.h"

class QWidget;
class TDesktopAccess;

// The start/stop and pause/resume keys, whichever window has the focus:
// bound through the desktop access, and read as they come.
class THotkeys : public QObject {
  Q_OBJECT

 public:
  THotkeys(QWidget* window, TDesktopAccess& desktop);
  ~THotkeys() override;

  // Called with the key's name, "start-stop" or "pause-resume".
  std::function<void(const std::string& name)> OnPressed;
  // Called when the keys stopped working for good; Problem() says why.
  std::function<void()> OnLost;

  // Binds the two combinations ("Ctrl+Shift+F9"; empty for none) in place
  // of those bound before. What could not be bound is kept in Problem();
  // a key another program holds is also said at once, in a box over the
  // window. waiting counts the wait for the desktop while it lasts.
  void Bind(const std::string& startStop, const std::string& pauseResume, int& waiting);
  // Lets the keys go, for other programs.
  void Release();
  // The session has a way to bind keys at all.
  bool Available() const { return FKeys != nullptr; }
  // The start/stop key works.
  bool Bound() const { return FBound; }
  QString Problem() const { return FProblem; }

 private:
  void TakePressed();
  void Open();

  QWidget* FWindow;
  TDesktopAccess& FDesktop;
  std::unique_ptr<TGlobalKeys> FKeys;
  QSocketNotifier* FNotifier = nullptr;
  QString FProblem;
  bool FBound = false;
};
