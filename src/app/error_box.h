#pragma once

#include <exception>
#include <string>
#include <utility>

#include "base/exception.h"

class QWidget;

// What a message box belongs to, so that it opens over it and never behind
// the always-on-top main window: the dialog open now, else the main
// window while it shows; null without either.
QWidget* BoxOwner();

// The application's standard error box: error icon, OK, the title
// "Pelimar", and the message with a full stop where ErrorBoxText adds one.
void ShowErrorBox(const std::string& message);

// Runs an event handler's body so that no exception reaches Qt: an error
// ends the handler and is shown in the standard error box.
template <typename TBody>
void Guarded(TBody&& body) {
  try {
    std::forward<TBody>(body)();
  } catch (const Exception& e) {
    ShowErrorBox(e.Message());
  } catch (const std::exception& e) {
    ShowErrorBox(e.what());
  }
}
