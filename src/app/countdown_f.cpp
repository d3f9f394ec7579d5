#include "countdown_f.h"

#include <QScreen>

#include "error_box.h"
#include "qt_support.h"

TCountdownForm::TCountdownForm()
    : QLabel(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus) {
  setObjectName("Countdown");
  setAttribute(Qt::WA_ShowWithoutActivating);
  setAttribute(Qt::WA_QuitOnClose, false);
  setAlignment(Qt::AlignCenter);
  setFixedSize(120, 120);
  setStyleSheet("QLabel { background: #8b1010; color: white; font: bold 72px; }");
  FTimer = new QTimer(this);
  FTimer->setInterval(1000);
  connect(FTimer, &QTimer::timeout, this, [this] { Tick(); });
}

void TCountdownForm::Start(int seconds, const TRect& area, bool desktopPlaces) {
  const QRect inside = FromScreenPixels(area);
  const QScreen* screen = ScreenOfPixels(area);
  const QRect room = screen ? screen->geometry() : inside;
  const QRect around = inside.adjusted(-12, -12, 12, 12);  // the outline too
  const QPoint centre = inside.center();
  const QPoint places[] = {{centre.x() - width() / 2, around.bottom() + 1},
                           {centre.x() - width() / 2, around.top() - height()},
                           {around.right() + 1, centre.y() - height() / 2},
                           {around.left() - width(), centre.y() - height() / 2}};
  FOverArea = true;
  QPoint at = centre - QPoint(width() / 2, height() / 2);
  if (!desktopPlaces)
    for (const QPoint& place : places)
      if (room.contains(QRect(place, size()))) {
        at = place;
        FOverArea = false;
        break;
      }
  FLeft = seconds;
  setText(QString::number(seconds));
  move(at);
  show();
  raise();
  FTimer->start();
}

void TCountdownForm::Stop() {
  FTimer->stop();
  FLeft = 0;
  hide();
}

void TCountdownForm::Tick() {
  if (--FLeft > 0) {
    setText(QString::number(FLeft));
    return;
  }
  const bool wait = FOverArea;
  Stop();
  auto finish = [this] {
    if (OnFinished) Guarded([this] { OnFinished(); });
  };
  if (!wait) {
    finish();
    return;
  }
  // What the countdown covered must be drawn again before the first
  // picture: a quarter second more.
  FLeft = -1;
  QTimer::singleShot(250, this, [this, finish] {
    if (FLeft != -1) return;  // stopped meanwhile
    FLeft = 0;
    finish();
  });
}
