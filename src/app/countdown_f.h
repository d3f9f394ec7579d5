#pragma once

#include <QLabel>
#include <QTimer>
#include <functional>

#include "base/types.h"

// The countdown before the first picture: large white digits on dark red,
// in a window of its own. It goes beside the area where the monitor has
// room, so that it never shows in a picture; else over it, and then it is
// gone a quarter second before the end, so what it covered is drawn again.
class TCountdownForm : public QLabel {
  Q_OBJECT

 public:
  TCountdownForm();

  // Called once the count is over.
  std::function<void()> OnFinished;

  // Counts down from seconds around area (real pixels). Where the desktop
  // places windows itself, it goes over the area, for all we know.
  void Start(int seconds, const TRect& area, bool desktopPlaces);
  // Ends the count without OnFinished.
  void Stop();
  bool Running() const { return FLeft != 0; }

 private:
  void Tick();

  QTimer* FTimer;
  int FLeft = 0;  // seconds; -1 for the quarter second after an end over the area
  bool FOverArea = false;
};
