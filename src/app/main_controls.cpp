// The main window's controls: where they stand and how they follow the
// window's size, what their labels say, and which handler each one runs.
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QMenu>
#include <QUrl>

#include "Main_F.h"
#include "countdown_f.h"
#include "error_box.h"
#include "export_progress.h"
#include "hotkeys.h"
#include "image_box.h"
#include "settings_f.h"
#include "tray_icon.h"

namespace {

enum TAnchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

QToolButton* SpeedButton(QWidget* parent, const char* name, const QString& caption, const char* glyph) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setText(caption);
  button->setIcon(QIcon(QString(":/") + glyph + ".svg"));
  button->setIconSize(QSize(16, 16));
  button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  button->setAutoRaise(true);  // flat until the pointer is over it
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

QFrame* Bevel(QWidget* parent, const char* name, QFrame::Shape shape) {
  auto* bevel = new QFrame(parent);
  bevel->setObjectName(name);
  bevel->setFrameShape(shape);
  bevel->setFrameShadow(QFrame::Sunken);
  return bevel;
}

QLabel* Label(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setAttribute(Qt::WA_TranslucentBackground);
  return label;
}

// The locale's separator between hours, minutes and seconds.
QChar TimeSeparator() {
  const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
  for (QChar c : format)
    if (!c.isLetter() && !c.isSpace()) return c;
  return ':';
}

QProgressBar* Bar(QWidget* parent, const char* name) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(name);
  bar->setTextVisible(false);
  bar->setRange(0, 100);
  bar->setValue(0);
  return bar;
}

}  // namespace

QString PicturesText(int count) {
  return QString("Pictures: %1 st.").arg(count);
}

QString SizeLabelText(int64_t bytes) {
  int64_t value = bytes;
  QString unit = " bytes";
  if (bytes > 1024) {
    value = bytes / 1024;
    unit = "kb";
    if (value > 1024) {
      value /= 1024;
      unit = "MB";
    }
  }
  return QString("Disk space: %1 %2 (temp)").arg(value).arg(unit);
}

QString ElapsedText(int64_t milliseconds) {
  if (milliseconds < 0) milliseconds = 0;
  const QChar sep = TimeSeparator();
  return QString("%1%2%3%4%5.%6")
      .arg((milliseconds / 3600000) % 24, 2, 10, QChar('0'))
      .arg(sep)
      .arg((milliseconds / 60000) % 60, 2, 10, QChar('0'))
      .arg(sep)
      .arg((milliseconds / 1000) % 60, 2, 10, QChar('0'))
      .arg(milliseconds % 1000, 3, 10, QChar('0'));
}

void TMainForm::CreateControls() {
  ButtonPanel = new QWidget(this);
  ButtonPanel->setObjectName("ButtonPanel");
  ButtonPanel->setMinimumHeight(252);
  ButtonPanel->setGeometry(0, 0, kDesignWidth, kDesignHeight);
  SetAreaBtn = SpeedButton(ButtonPanel, "SetAreaBtn", "Set recording area", "area");
  SetAreaBtn->setCheckable(true);
  SetAreaBtn->setToolTip(
      QString::fromUtf8("Om denna knapp är nedtryckt ritar du ut en rektangel där du vill att "
                        "videoinspelningen skall äga rum"));
  RecordBtn = SpeedButton(ButtonPanel, "RecordBtn", "&Start recording...", "record");
  RecordBtn->setToolTip(QString::fromUtf8("Startar inspelning av videoklipp i vald region"));
  StopRecordingBtn = SpeedButton(ButtonPanel, "StopRecordingBtn", "S&top recording", "stop");
  StopRecordingBtn->setToolTip(QString::fromUtf8("Stoppar pågående inspelning"));
  SaveBtn = SpeedButton(ButtonPanel, "SaveBtn", "S&ave recording to disk...", "save");
  SettingsBtn = SpeedButton(ButtonPanel, "SettingsBtn", "Setti&ngs...", "settings");
  SettingsBtn->setToolTip(QString::fromUtf8("Visa videoklippsinställningar"));
  Bevel2 = Bevel(ButtonPanel, "Bevel2", QFrame::HLine);
  SpeedButton4 = SpeedButton(ButtonPanel, "SpeedButton4", "&About Pelimar...", "about");
  SpeedButton5 = SpeedButton(ButtonPanel, "SpeedButton5", "&Quorvane", "web");
  Bevel3 = Bevel(ButtonPanel, "Bevel3", QFrame::HLine);
  Bevel1 = Bevel(ButtonPanel, "Bevel1", QFrame::Box);
  StatusImg = new TImageBox(ButtonPanel);
  StatusImg->setObjectName("StatusImg");
  ProgressLabel = Label(ButtonPanel, "ProgressLabel");
  ProgressBar1 = Bar(ButtonPanel, "ProgressBar1");
  Bevel4 = Bevel(ButtonPanel, "Bevel4", QFrame::HLine);
  SizeLabel = Label(ButtonPanel, "SizeLabel");
  rectlabel = Label(ButtonPanel, "rectlabel");
  rectlabel->setWordWrap(true);
  rectlabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  timelabel = Label(ButtonPanel, "timelabel");
  frameslabel = Label(ButtonPanel, "frameslabel");
  SoundLevel = Bar(ButtonPanel, "SoundLevel");
  SoundLevel->hide();
  SavedLabel = Label(ButtonPanel, "SavedLabel");
  SavedLabel->setWordWrap(true);
  SavedLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  SavedLabel->setTextFormat(Qt::RichText);
  SavedLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(SavedLabel, &QLabel::linkActivated, this,
          [](const QString& folder) { QDesktopServices::openUrl(QUrl(folder)); });
}

void TMainForm::CreateComponents() {
  AviWriter = std::make_unique<TAviFileWriter>(this);
  AviWriter->SetHeight(102);
  AviWriter->SetWidth(128);
  AviWriter->SetFrameTime(100);
  AviWriter->SetStretch(true);
  AviWriter->SetPixelFormat(pf32bit);
  AviWriter->OnProgress = [this](TAviFileWriter& sender, int32_t frameCount, bool& abort) {
    AviWriterProgress(sender, frameCount, abort);
  };
  SaveDialog1 = new TSaveDialog(this);
  RecordTimer = new QTimer(this);
  RecordTimer->setObjectName("RecordTimer");
  RecordTimer->setTimerType(Qt::PreciseTimer);
  RecordTimer->setInterval(100);
  Countdown = new TCountdownForm();
  Tray = new TTrayIcon(this, PauseAction);
  Hotkeys = new THotkeys(this, FDesktop);
  Export = new TExportProgress(this, ProgressBar1, StatusImg);
}

void TMainForm::PlaceControls() {
  Place(SetAreaBtn, 4, 4, 235, 40, akLeft | akTop | akRight);
  Place(RecordBtn, 4, 43, 236, 40, akLeft | akTop | akRight);
  Place(StopRecordingBtn, 4, 82, 236, 40, akLeft | akTop | akRight);
  Place(SaveBtn, 4, 121, 236, 40, akLeft | akTop | akRight);
  Place(SettingsBtn, 4, 160, 236, 40, akLeft | akTop | akRight);
  Place(Bevel2, 4, 204, 235, 9, akLeft | akTop | akRight);
  Place(SpeedButton4, 4, 211, 236, 40, akLeft | akTop | akRight);
  Place(SpeedButton5, 4, 250, 236, 40, akLeft | akTop | akRight);
  Place(Bevel3, 4, 292, 235, 9, akLeft | akTop | akRight);
  Place(Bevel1, 5, 299, 72, 71, akLeft | akBottom);
  Place(StatusImg, 8, 302, 64, 64, akLeft | akBottom);
  Place(ProgressLabel, 4, 373, 236, 13, akLeft | akRight | akBottom);
  Place(ProgressBar1, 4, 390, 236, 17, akLeft | akRight | akBottom);
  Place(Bevel4, 4, 409, 236, 9, akLeft | akRight | akBottom);
  Place(SizeLabel, 1, 417, 0, 13, akLeft | akRight | akBottom);
  Place(rectlabel, 1, 432, 242, 32, akLeft | akRight | akBottom);
  Place(timelabel, 1, 460, 242, 13, akLeft | akRight | akBottom);
  Place(frameslabel, 1, 477, 242, 13, akLeft | akRight | akBottom);
  Place(SoundLevel, 4, 494, 236, 6, akLeft | akRight | akBottom);
  // Below the rest, in the room the window always had there.
  Place(SavedLabel, 1, 502, 242, 30, akLeft | akRight | akBottom);
}

void TMainForm::CreateActions() {
  // Pausing is offered where the recording is driven, without moving any
  // of the buttons: a right click on the panel or on the Stop button.
  PauseAction = new QAction("Pause recording", this);
  PauseAction->setObjectName("PauseAction");
  PauseAction->setEnabled(false);
  ButtonPanel->setContextMenuPolicy(Qt::ActionsContextMenu);
  ButtonPanel->addAction(PauseAction);
  // A tool button would show the actions given to it as its own drop-down
  // menu; the Stop button keeps its press as it is and only gains a menu.
  StopRecordingBtn->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(StopRecordingBtn, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu::exec({PauseAction}, StopRecordingBtn->mapToGlobal(at), nullptr, StopRecordingBtn);
  });
}

void TMainForm::Place(QWidget* control, int left, int top, int width, int height, int anchors) {
  control->setGeometry(left, top, width, height);
  FAnchored.push_back(TAnchored{control, QRect(left, top, width, height), anchors});
}

void TMainForm::resizeEvent(QResizeEvent*) {
  ButtonPanel->setGeometry(0, 0, width(), std::max(height(), ButtonPanel->minimumHeight()));
  const int dw = ButtonPanel->width() - kDesignWidth, dh = ButtonPanel->height() - kDesignHeight;
  for (const TAnchored& a : FAnchored) {
    QRect g = a.Design;
    if ((a.Anchors & akLeft) && (a.Anchors & akRight))
      g.setWidth(g.width() + dw);
    else if (a.Anchors & akRight)
      g.translate(dw, 0);
    if ((a.Anchors & akTop) && (a.Anchors & akBottom))
      g.setHeight(g.height() + dh);
    else if (a.Anchors & akBottom)
      g.translate(0, dh);
    if (a.Control == SizeLabel) g.setWidth(SizeLabel->sizeHint().width());  // sized to its text
    a.Control->setGeometry(g);
  }
}

void TMainForm::ConnectHandlers() {
  // Each press runs its handler inside the guard that shows its error.
  const auto guarded = [this](void (TMainForm::*handler)()) {
    return [this, handler] { Guarded([this, handler] { (this->*handler)(); }); };
  };
  connect(SetAreaBtn, &QToolButton::clicked, this, guarded(&TMainForm::SetAreaBtnClick));
  connect(RecordBtn, &QToolButton::clicked, this, guarded(&TMainForm::RecordBtnClick));
  connect(StopRecordingBtn, &QToolButton::clicked, this, guarded(&TMainForm::StopRecordingBtnClick));
  connect(SaveBtn, &QToolButton::clicked, this, guarded(&TMainForm::SaveBtnClick));
  connect(SettingsBtn, &QToolButton::clicked, this, guarded(&TMainForm::SpeedButton3Click));
  connect(SpeedButton4, &QToolButton::clicked, this, guarded(&TMainForm::SpeedButton4Click));
  connect(SpeedButton5, &QToolButton::clicked, this, guarded(&TMainForm::SpeedButton5Click));
  connect(RecordTimer, &QTimer::timeout, this, [this] { RecordTimerTimer(); });
  connect(PauseAction, &QAction::triggered, this, [this, guarded] {
    if (Reachable()) guarded (&TMainForm::PauseRecordingClick)();
  });
  Countdown->OnFinished = [this] { BeginRecording(); };
  Tray->OnStartStop = guarded(&TMainForm::ToggleRecording);
  Tray->OnShowWindow = [this] { ShowWindow(); };
  Tray->OnQuit = [this] {
    if (Reachable()) close();
  };
  Tray->OnMenuShown = [this] { ShowState(); };
  Hotkeys->OnPressed = [this](const std::string& name) { HotkeyPressed(name); };
  Hotkeys->OnLost = [this] {
    if (SettingsForm) SettingsForm->HotkeysNote->setText(Hotkeys->Problem());
  };
  Export->OnNote = [this](const QString& text) {
    FProgressNote = text;
    ProgressLabel->setText(text);
  };
  Export->OnEnded = [this](const TExportJob& job) { ExportEnded(job); };
}

void TMainForm::UpdateSizeLabel(int64_t bytes) {
  FDiskUse = bytes;
  SizeLabel->setText(SizeLabelText(bytes));
  SizeLabel->resize(SizeLabel->sizeHint().width(), SizeLabel->height());
  SizeLabel->repaint();
}

void TMainForm::CleanLabels() {
  FProgressNote.clear();
  ProgressBar1->setValue(0);
  StatusImg->SetPicture(QImage());
  SavedLabel->clear();
  frameslabel->clear();
  timelabel->clear();
}

void TMainForm::ShowSaved(const QString& file) {
  const QFileInfo info(file);
  const QString folder = QUrl::fromLocalFile(info.absolutePath()).toString();
  const QString name = SavedLabel->fontMetrics().elidedText(info.fileName(), Qt::ElideMiddle, 180);
  SavedLabel->setText(QString("Saved as <b>%1</b><br><a href=\"%2\">Open its folder</a>")
                          .arg(name.toHtmlEscaped(), folder.toHtmlEscaped()));
  SavedLabel->setToolTip(QDir::toNativeSeparators(info.absoluteFilePath()));
}
