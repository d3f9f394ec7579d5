#include "desktop_access.h"

#include <QScreen>
#include <QWidget>

#include "base/exception.h"
#include "qt_support.h"

TDesktopAccess::TDesktopAccess() : FKind(QtOnWayland() ? TScreenKind::Wayland : SessionScreenKind()) {}

TScreen& TDesktopAccess::Screen() {
  // Qt on Wayland sees only its own windows' coordinates: the screen then
  // comes from the desktop's cast, whatever else the session has.
  if (!FScreen) FScreen = Wayland() ? OpenWaylandScreen() : OpenX11Screen();
  return *FScreen;
}

std::unique_ptr<TGlobalKeys> TDesktopAccess::OpenKeys() const {
  return Wayland() ? OpenPortalGlobalKeys() : OpenX11GlobalKeys();
}

TMonitor TDesktopAccess::MonitorOf(const QWidget& window) {
  // A Wayland window does not know where it is, only on which output.
  if (QtOnWayland() && window.screen())
    return Screen().MonitorFromPoint(ToScreenPixels(QPointF(window.screen()->geometry().topLeft())));
  return Screen().MonitorFromPoint(ToScreenPixels(QPointF(window.mapToGlobal(QPoint(0, 0)))));
}

bool TDesktopAccess::RequestScreen(bool pointer, TStoredSettings& stored, const TSettingsValues& values,
                                   const std::function<void()>& idle) {
  TAccessRequest request;
  request.Pointer = pointer;
  request.Idle = idle;
  request.RestoreToken = stored.RestoreToken();
  const std::string before = request.RestoreToken;
  if (!Screen().RequestAccess(request)) return false;
  if (request.RestoreToken != before) {
    try {
      stored.SaveToken(request.RestoreToken, values);
    } catch (const Exception&) {
      // Without it the desktop asks once more next time; not worth a message.
    }
  }
  return true;
}
