#pragma once

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "recording_session.h"

// The icon in the desktop's tray, where it has one: idle, recording or
// paused at a glance, and a menu that starts and stops, pauses and resumes,
// shows the window and quits. A left click shows the window.
class TTrayIcon : public QObject {
  Q_OBJECT

 public:
  // pauseAction is the window's own, shared with its menus.
  TTrayIcon(QWidget* owner, QAction* pauseAction);

  QSystemTrayIcon* Icon;
  QMenu* Menu;
  QAction* RecordAction;  // "Start recording" / "Stop recording"
  QAction* ShowWindowAction;
  QAction* QuitAction;
  std::function<void()> OnStartStop;
  std::function<void()> OnShowWindow;
  std::function<void()> OnQuit;
  // Called as the menu opens, so it shows the state of that moment.
  std::function<void()> OnMenuShown;

  // Shows what the state offers.
  void Show(const TControlStates& controls);
  // Whether a tray shows the icon, so the window can come back from it.
  bool Reachable() const;
  void Hide() { Icon->hide(); }

 private:
  QString FIcon, FTip;  // what the tray was told last
};
