#pragma once

#include <functional>
#include <memory>

#include "platform/global_keys.h"
#include "platform/screen.h"
#include "stored_settings.h"

class QWidget;

// The program's way to the desktop: the screen (its pictures, the outline,
// the pointer, the monitors), the session-wide keys, and the user's
// consent where the desktop asks for it. Whether that is X11 or a Wayland
// desktop's portals is decided once, here: Wayland when Qt draws through
// a Wayland compositor, else the session's own kind.
class TDesktopAccess {
 public:
  TDesktopAccess();

  bool Wayland() const { return FKind == TScreenKind::Wayland; }
  // The screen, opened at its first use; raises, saying why, when there is none.
  TScreen& Screen();
  bool ScreenOpen() const { return FScreen != nullptr; }
  // Puts another screen in the open one's place (a test's), or none.
  void SetScreen(std::unique_ptr<TScreen> screen) { FScreen = std::move(screen); }
  std::unique_ptr<TGlobalKeys> OpenKeys() const;
  // The monitor under the window's top-left corner, else the primary one.
  TMonitor MonitorOf(const QWidget& window);
  // Makes the screen ready where the desktop wants the user's consent,
  // with the token kept from the consent before; a new token is kept with
  // the settings. False when the user refused. idle runs meanwhile.
  bool RequestScreen(bool pointer, TStoredSettings& stored, const TSettingsValues& values,
                     const std::function<void()>& idle);

 private:
  TScreenKind FKind;
  std::unique_ptr<TScreen> FScreen;
};
