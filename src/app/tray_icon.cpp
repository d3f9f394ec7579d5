#include "tray_icon.h"

#include <QIcon>

#include "qt_support.h"

TTrayIcon::TTrayIcon(QWidget* owner, QAction* pauseAction) : QObject(owner) {
  Icon = new QSystemTrayIcon(QIcon(":/pelimar.svg"), this);
  Icon->setObjectName("TrayIcon");
  Menu = new QMenu(owner);
  Menu->setObjectName("TrayMenu");
  RecordAction = Menu->addAction("Start recording");
  RecordAction->setObjectName("TrayRecordAction");
  connect(RecordAction, &QAction::triggered, this, [this] {
    if (OnStartStop) OnStartStop();
  });
  Menu->addAction(pauseAction);
  Menu->addSeparator();
  ShowWindowAction = Menu->addAction("Show window");
  connect(ShowWindowAction, &QAction::triggered, this, [this] {
    if (OnShowWindow) OnShowWindow();
  });
  QuitAction = Menu->addAction("Quit");
  connect(QuitAction, &QAction::triggered, this, [this] {
    if (OnQuit) OnQuit();
  });
  connect(Menu, &QMenu::aboutToShow, this, [this] {
    if (OnMenuShown) OnMenuShown();
  });
  Icon->setContextMenu(Menu);
  connect(Icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger && OnShowWindow) OnShowWindow();
  });
  // On X11 the icon docks whenever a tray comes; a Wayland desktop's tray
  // (StatusNotifier over D-Bus) is either there from the start or not.
  if (!QtOnWayland() || QSystemTrayIcon::isSystemTrayAvailable()) Icon->show();
}

void TTrayIcon::Show(const TControlStates& controls) {
  using TKey = TControlStates::TKey;
  RecordAction->setText(controls.StartStop == TKey::Stop ? "Stop recording" : "Start recording");
  RecordAction->setEnabled(controls.StartStop != TKey::None);
  // The tray is told only of a change: the window asks at every move of
  // the area's corner.
  const QString icon = QString(":/") + controls.TrayIcon + ".svg";
  if (icon != FIcon) Icon->setIcon(QIcon(icon));
  if (controls.TrayTip != FTip) Icon->setToolTip(controls.TrayTip);
  FIcon = icon;
  FTip = controls.TrayTip;
}

bool TTrayIcon::Reachable() const {
  return Icon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}
