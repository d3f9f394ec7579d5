#include "Main_F.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <chrono>

#include "about_f.h"
#include "areaform_f.h"
#include "base/file.h"
#include "error_box.h"
#include "export_job.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "image_box.h"
#include "platform/registry.h"
#include "qt_support.h"
#include "settings_f.h"

TMainForm* MainForm = nullptr;

namespace {

enum TAnchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
// The client size at which the controls have their design positions.
constexpr int kDesignWidth = 252;
constexpr int kDesignHeight = 533;

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

}  // namespace

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

TMainForm::TMainForm(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint) {
  // The settings dialog and the overlay reach this window while it is created.
  MainForm = this;
  setObjectName("MainForm");
  setWindowTitle("Pelimar 1.0");
  setWindowIcon(QIcon(":/pelimar.svg"));
  setFont(QFont("MS Sans Serif", 8));
  resize(kDesignWidth, kDesignHeight);
  setMinimumHeight(533);
  setMaximumHeight(540);

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
  RecordBtn->setEnabled(false);
  StopRecordingBtn = SpeedButton(ButtonPanel, "StopRecordingBtn", "S&top recording", "stop");
  StopRecordingBtn->setToolTip(QString::fromUtf8("Stoppar pågående inspelning"));
  StopRecordingBtn->setEnabled(false);
  SaveBtn = SpeedButton(ButtonPanel, "SaveBtn", "S&ave recording to disk...", "save");
  SaveBtn->setToolTip(QString::fromUtf8("Sparar det senast inspelade klippet till disk"));
  SaveBtn->setEnabled(false);
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
  ProgressBar1 = new QProgressBar(ButtonPanel);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  Bevel4 = Bevel(ButtonPanel, "Bevel4", QFrame::HLine);
  SizeLabel = Label(ButtonPanel, "SizeLabel");
  rectlabel = Label(ButtonPanel, "rectlabel");
  rectlabel->setWordWrap(true);
  rectlabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  timelabel = Label(ButtonPanel, "timelabel");
  frameslabel = Label(ButtonPanel, "frameslabel");
  SoundLevel = new QProgressBar(ButtonPanel);
  SoundLevel->setObjectName("SoundLevel");
  SoundLevel->setTextVisible(false);
  SoundLevel->setRange(0, 100);
  SoundLevel->setValue(0);

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

  AviWriter = std::make_unique<TAviFileWriter>(this);
  AviWriter->SetHeight(102);
  AviWriter->SetWidth(128);
  AviWriter->SetFrameTime(100);
  AviWriter->SetStretch(true);
  AviWriter->SetPixelFormat(pf32bit);
  AviWriter->OnProgress = [this](TAviFileWriter& sender, int32_t frameCount, bool& abort) {
    AviWriterProgress(sender, frameCount, abort);
  };

  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setObjectName("SaveDialog1");
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setDefaultSuffix("avi");
  SaveDialog1->setNameFilters({"AVI (*.avi)", kAllFilesFilter});
  // Qt's own dialog, the same on every desktop; it asks before replacing a file.
  SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
  // Qt reads "*.*" literally, which would hide the files without an
  // extension, common here; that filter lists every file. Qt has also
  // given the name the filter's extension "*" by then: the name keeps its own.
  connect(SaveDialog1, &QFileDialog::filterSelected, this, [this](const QString& filter) {
    if (filter != kAllFilesFilter) return;
    if (auto* model = SaveDialog1->findChild<QFileSystemModel*>()) model->setNameFilters({"*"});
    if (auto* name = SaveDialog1->findChild<QLineEdit*>("fileNameEdit"); name && name->text().endsWith(".*"))
      name->setText(name->text().chopped(2) + FNameSuffix);
  });
  // What the name ended with before a filter was chosen.
  if (auto* name = SaveDialog1->findChild<QLineEdit*>("fileNameEdit"))
    connect(name, &QLineEdit::textChanged, this, [this](const QString& text) {
      if (text.endsWith(".*")) return;
      const qsizetype dot = text.lastIndexOf('.');
      FNameSuffix = dot > 0 ? text.mid(dot) : QString();
    });

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
  connect(PauseAction, &QAction::triggered, this, [this] {
    if (Reachable()) Guarded([this] { PauseRecordingClick(); });
  });

  // The countdown: large white digits on dark red, a window of its own.
  Countdown = new QLabel(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                      Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus);
  Countdown->setObjectName("Countdown");
  Countdown->setAttribute(Qt::WA_ShowWithoutActivating);
  Countdown->setAlignment(Qt::AlignCenter);
  Countdown->setFixedSize(120, 120);
  Countdown->setStyleSheet("QLabel { background: #8b1010; color: white; font: bold 72px; }");
  FCountdownTimer = new QTimer(this);
  FCountdownTimer->setInterval(1000);
  connect(FCountdownTimer, &QTimer::timeout, this, [this] { Guarded([this] { CountdownTick(); }); });

  TrayIcon = new QSystemTrayIcon(QIcon(":/pelimar.svg"), this);
  TrayIcon->setObjectName("TrayIcon");
  TrayMenu = new QMenu(this);
  TrayMenu->setObjectName("TrayMenu");
  TrayRecordAction = TrayMenu->addAction("Start recording");
  TrayRecordAction->setObjectName("TrayRecordAction");
  connect(TrayRecordAction, &QAction::triggered, this, [this] { Guarded([this] { ToggleRecording(); }); });
  TrayMenu->addAction(PauseAction);
  TrayMenu->addSeparator();
  ShowWindowAction = TrayMenu->addAction("Show window");
  connect(ShowWindowAction, &QAction::triggered, this, [this] { ShowWindow(); });
  QuitAction = TrayMenu->addAction("Quit");
  connect(QuitAction, &QAction::triggered, this, [this] {
    if (Reachable()) close();
  });
  // Whether a recording can start changes in many places; the menu asks when it opens.
  connect(TrayMenu, &QMenu::aboutToShow, this, [this] { UpdateTray(); });
  TrayIcon->setContextMenu(TrayMenu);
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) ShowWindow();
  });
  UpdateTray();
  // On X11 the icon docks whenever a tray comes; a Wayland desktop's tray
  // (StatusNotifier over D-Bus) is either there from the start or not.
  if (!QtOnWayland() || QSystemTrayIcon::isSystemTrayAvailable()) TrayIcon->show();

  RecordTimer = new QTimer(this);
  RecordTimer->setObjectName("RecordTimer");
  RecordTimer->setTimerType(Qt::PreciseTimer);
  RecordTimer->setInterval(100);

  FExportTimer = new QTimer(this);
  FExportTimer->setObjectName("ExportTimer");
  // Ten times a second, as often as the preview changes.
  FExportTimer->setInterval(100);
  connect(FExportTimer, &QTimer::timeout, this, [this] { ExportTick(); });

  connect(SetAreaBtn, &QToolButton::clicked, this, [this] { Guarded([this] { SetAreaBtnClick(); }); });
  connect(RecordBtn, &QToolButton::clicked, this, [this] { Guarded([this] { RecordBtnClick(); }); });
  connect(StopRecordingBtn, &QToolButton::clicked, this,
          [this] { Guarded([this] { StopRecordingBtnClick(); }); });
  connect(SaveBtn, &QToolButton::clicked, this, [this] { Guarded([this] { SaveBtnClick(); }); });
  connect(SpeedButton4, &QToolButton::clicked, this, [this] { Guarded([this] { SpeedButton4Click(); }); });
  connect(SpeedButton5, &QToolButton::clicked, this, [this] { Guarded([this] { SpeedButton5Click(); }); });
  connect(SettingsBtn, &QToolButton::clicked, this, [this] { Guarded([this] { SpeedButton3Click(); }); });
  connect(RecordTimer, &QTimer::timeout, this, [this] { RecordTimerTimer(); });

  Guarded([this] { FormCreate(); });
  Guarded([this] { BindHotkeys(); });
}

TMainForm::~TMainForm() {
  if (!FClosed) FormClose();
  delete Countdown;
  if (MainForm == this) MainForm = nullptr;
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

void TMainForm::FormCreate() {
  SettingsForm = new TSettingsForm();
  AreaForm = new TAreaForm();
  UpdateSizeLabel(0);
  SettingsForm->VideoSizeCBX->setCurrentIndex(0);
  SettingsForm->PixelFormatCBX->setCurrentIndex(2);
  SettingsForm->PixelFormatCBXChange();
  RecordTimer->stop();
  FFrames.clear();
  try {
    // Qt on Wayland sees only its own windows' coordinates: the screen
    // then comes from the desktop's cast, whatever else the session has.
    FScreenCanvas = QtOnWayland() ? OpenWaylandScreen() : OpenScreen();
  } catch (const Exception& e) {
    // The window still comes up; captures say what is missing.
    ShowErrorBox(e.Message());
  }
  if (FScreenCanvas && !FScreenCanvas->DrawsOutline()) {
    // The setting stays as stored, for the sessions where it works.
    SettingsForm->AreaCB->setEnabled(false);
    SettingsForm->AreaCB->setToolTip(
        "A Wayland desktop lets no program draw outside its own windows, so the area cannot be shown while "
        "recording.");
  }
  // Top right of the primary screen.
  if (QScreen* primary = QGuiApplication::primaryScreen()) {
    QRect screen = primary->geometry();
    move(screen.x() + screen.width() - frameGeometry().width(), screen.y());
  }
  RecordTimer->stop();
  // Last, because an unreadable stored value ends it with an error box.
  LoadSettings();
}

namespace {

const char* const kSettingsKey = "software\\quorvane\\Sorvek";
const char* const kDefaultRecordKey = "Ctrl+Shift+F9";
const char* const kDefaultPauseKey = "Ctrl+Shift+F10";
// The recording's sound as it came, and lined up with its pictures.
const char* const kCapturedSound = "sound-captured.wav";
const char* const kAlignedSound = "sound.wav";

int64_t MonotonicNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Counts a wait for the desktop while it lasts, however it ends.
struct TWaiting {
  explicit TWaiting(int& count) : Count(count) { ++Count; }
  ~TWaiting() { --Count; }
  TWaiting(const TWaiting&) = delete;
  TWaiting& operator=(const TWaiting&) = delete;
  int& Count;
};

// The desktop's token for the user's consent to share a screen (Wayland).
const char* const kScreenCastToken = "ScreenCastRestoreToken";

// An index past either end of the list leaves it without a selection.
void SelectLine(QComboBox* list, int32_t index) {
  list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

}  // namespace

void TMainForm::LoadSettings() {
  TSettingsForm& settings = *SettingsForm;
  settings.CursorCB->setChecked(true);
  settings.JpegCB->setChecked(true);
  settings.AreaCB->setChecked(true);
  settings.FPSSpin->setValue(8);
  settings.FPSSpinChange();  // also when the field already showed 8
  settings.VideoSizeCBX->setCurrentIndex(1);
  settings.PixelFormatCBX->setCurrentIndex(6);
  settings.PixelFormatCBXChange();
  settings.CompressionCBX->setCurrentIndex(0);
  settings.SoundCBX->setCurrentIndex(0);
  settings.DelaySpin->setValue(0);
  settings.HideWindowCB->setChecked(false);
  TSettingsForm::SetKeyText(settings.RecordKeyEdit, kDefaultRecordKey);
  TSettingsForm::SetKeyText(settings.PauseKeyEdit, kDefaultPauseKey);

  TRegistry registry;
  if (!registry.OpenKey(kSettingsKey, false)) return;
  // Each value takes effect at once, so a failed read keeps those before it.
  settings.CursorCB->setChecked(registry.ReadInteger("IncludeCursor") != 0);
  settings.JpegCB->setChecked(registry.ReadInteger("UseJpegFormat") != 0);
  settings.FPSSpin->setValue(registry.ReadInteger("FPS"));  // held within 1 to 20
  SelectLine(settings.VideoSizeCBX, registry.ReadInteger("VideoSize"));
  SelectLine(settings.PixelFormatCBX, registry.ReadInteger("PixelFormat"));
  settings.PixelFormatCBXChange();
  SelectLine(settings.CompressionCBX, registry.ReadInteger("Compression"));
  try {
    settings.AreaCB->setChecked(registry.ReadInteger("ShowArea") != 0);
  } catch (const Exception&) {
    // Older keys have no outline setting: it stays on.
  }
  try {
    const int32_t sound = registry.ReadInteger("Sound");
    settings.SoundCBX->setCurrentIndex(sound >= 0 && sound < settings.SoundCBX->count() ? sound : 0);
  } catch (const Exception&) {
    // Nor a sound setting: no sound, as before there was one.
  }
  // Nor these: no delay, the window stays, the default hotkeys.
  try {
    settings.DelaySpin->setValue(registry.ReadInteger("RecordingDelay"));  // held within 0 to 10
  } catch (const Exception&) {
  }
  try {
    settings.HideWindowCB->setChecked(registry.ReadInteger("HideWhileRecording") != 0);
  } catch (const Exception&) {
  }
  try {
    TSettingsForm::SetKeyText(settings.RecordKeyEdit, QStr(registry.ReadString("HotkeyStartStop")));
  } catch (const Exception&) {
  }
  try {
    TSettingsForm::SetKeyText(settings.PauseKeyEdit, QStr(registry.ReadString("HotkeyPauseResume")));
  } catch (const Exception&) {
  }
}

void TMainForm::SaveSettings() {
  const TSettingsForm& settings = *SettingsForm;
  TRegistry registry;
  if (!registry.OpenKey(kSettingsKey, true)) return;
  registry.WriteInteger("IncludeCursor", settings.CursorCB->isChecked() ? 1 : 0);
  registry.WriteInteger("UseJpegFormat", settings.JpegCB->isChecked() ? 1 : 0);
  registry.WriteInteger("FPS", settings.FPSSpin->value());
  registry.WriteInteger("VideoSize", settings.VideoSizeCBX->currentIndex());
  registry.WriteInteger("PixelFormat", settings.PixelFormatCBX->currentIndex());
  registry.WriteInteger("Compression", settings.CompressionCBX->currentIndex());
  registry.WriteInteger("ShowArea", settings.AreaCB->isChecked() ? 1 : 0);
  registry.WriteInteger("Sound", settings.SoundCBX->currentIndex());
  registry.WriteInteger("RecordingDelay", settings.DelaySpin->value());
  registry.WriteInteger("HideWhileRecording", settings.HideWindowCB->isChecked() ? 1 : 0);
  registry.WriteString("HotkeyStartStop", TSettingsForm::KeyText(settings.RecordKeyEdit).toStdString());
  registry.WriteString("HotkeyPauseResume", TSettingsForm::KeyText(settings.PauseKeyEdit).toStdString());
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FWaiting > 0) {
    // The desktop is asking the user something for us: once it has its answer.
    event->ignore();
    return;
  }
  if (FExport) {
    // Closing would end the export with the program: only when the user says so.
    if (QMessageBox::question(this, QApplication::applicationName(),
                              "A video is being saved. Stop saving it and close?",
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    CancelExport();
    WaitForExport();
  }
  FormClose();
  event->accept();
  QApplication::quit();
}

void TMainForm::FormClose() {
  if (FClosed) return;
  FClosed = true;
  RecordTimer->stop();  // no tick may run once the window is gone
  if (FExport) {
    // The writer and the pictures go with the window: the export first.
    FExport->Cancel();
    FExport->Wait();
    FinishExport();
  }
  try {
    SaveSettings();
  } catch (...) {
    // Closing goes on: settings that cannot be kept are not worth a message.
  }
  delete AreaForm;
  AreaForm = nullptr;
  delete SettingsForm;
  SettingsForm = nullptr;
  ClearFrames();
  FScreenCanvas.reset();
  StopCountdown();
  TrayIcon->hide();
  delete FKeysNotifier;
  FKeysNotifier = nullptr;
  FGlobalKeys.reset();  // the keys are free for others again
}

TScreen& TMainForm::Screen() {
  if (!FScreenCanvas) FScreenCanvas = QtOnWayland() ? OpenWaylandScreen() : OpenScreen();
  return *FScreenCanvas;
}

TMonitor TMainForm::WindowMonitor() {
  // A Wayland window does not know where it is, only on which output.
  if (QtOnWayland() && screen())
    return Screen().MonitorFromPoint(ToScreenPixels(QPointF(screen()->geometry().topLeft())));
  return Screen().MonitorFromPoint(ToScreenPixels(QPointF(mapToGlobal(QPoint(0, 0)))));
}

bool TMainForm::RequestScreen() {
  TAccessRequest request;
  request.Pointer = SettingsForm->CursorCB->isChecked();
  request.Idle = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20); };
  TRegistry registry;
  const bool keyOpen = registry.OpenKey(kSettingsKey, false);
  try {
    if (keyOpen && registry.ValueExists(kScreenCastToken))
      request.RestoreToken = registry.ReadString(kScreenCastToken);
  } catch (const Exception&) {
    // No usable token: the desktop asks again.
  }
  const std::string before = request.RestoreToken;
  bool granted = false;
  {
    const TWaiting waiting(FWaiting);
    granted = Screen().RequestAccess(request);
  }
  if (granted && request.RestoreToken != before) {
    try {
      if (registry.OpenKey(kSettingsKey, true)) registry.WriteString(kScreenCastToken, request.RestoreToken);
    } catch (const Exception&) {
      // Without it the desktop asks once more next time; not worth a message.
    }
  }
  return granted;
}

void TMainForm::SetAreaBtnClick() {
  if (SetAreaBtn->isChecked()) {
    // Where the desktop asks the user first, a refusal leaves everything
    // as it was; so does a desktop without the means.
    bool granted = false;
    SetAreaBtn->setEnabled(false);
    try {
      granted = RequestScreen();
    } catch (...) {
      SetAreaBtn->setEnabled(true);
      SetAreaBtn->setChecked(false);
      throw;
    }
    SetAreaBtn->setEnabled(true);
    if (!granted) {
      SetAreaBtn->setChecked(false);
      return;
    }
  }
  hide();
  // The main window is the overlay's dialog only while the overlay shows:
  // a dialog whose owner goes is closed with it.
  if (QtOnWayland() && windowHandle()) windowHandle()->setTransientParent(nullptr);
  try {
    const TMonitor monitor = WindowMonitor();
    AreaForm->PlaceOn(monitor.Bounds);
    TBitmap snapshot;
    if (CaptureMonitor(snapshot)) {
      AreaForm->DeskTopImage = ToQImage(snapshot);
    } else {
      // No copy of the screen: black, never what the memory held.
      AreaForm->DeskTopImage = QImage(monitor.Width(), monitor.Height(), QImage::Format_RGB32);
      AreaForm->DeskTopImage.fill(Qt::black);
    }
    if (SetAreaBtn->isChecked())
      AreaForm->ShowOver();
    else
      AreaForm->close();
  } catch (...) {
    show();  // never leave the user without the window
    throw;
  }
  // On Wayland a program cannot keep its window on top: as the overlay's
  // own dialog the main window stays above the full-screen overlay.
  if (QtOnWayland() && AreaForm->isVisible()) {
    if (!windowHandle()) create();
    windowHandle()->setTransientParent(AreaForm->windowHandle());
    // A tiling desktop may have stretched it over the whole monitor; over
    // the overlay it should hide as little of the picture as it can.
    resize(kDesignWidth, kDesignHeight);
  }
  show();
}

bool TMainForm::CaptureMonitor(TBitmap& picture) {
  try {
    return CaptureRect(WindowMonitor().Bounds, picture);
  } catch (const Exception& e) {
    CaptureFailed(e.Message());
    return false;
  }
}

bool TMainForm::CaptureRect(const TRect& rect, TBitmap& picture) {
  try {
    picture = TBitmap::Uninitialized(static_cast<int32_t>(rect.Width()), static_cast<int32_t>(rect.Height()));
    Screen().CopyRect(rect, picture);
  } catch (const EScreenLost& e) {
    // The desktop took the screen away: the recording ends here, with
    // every picture so far kept for saving.
    picture = TBitmap();
    if (RecordTimer->isActive()) StopRecordingBtnClick();
    CaptureFailed(e.Message());
    return false;
  } catch (const Exception& e) {
    // The picture holds whatever its memory held: it is no picture.
    picture = TBitmap();
    CaptureFailed(e.Message());
    return false;
  }
  try {
    if (SettingsForm->CursorCB->isChecked())
      DrawPointer(picture, Screen().Pointer(), TPoint{rect.Left, rect.Top});
  } catch (const Exception& e) {
    CaptureFailed(e.Message());  // the screen's copy stands without the pointer
  }
  return true;
}

void TMainForm::CaptureFailed(const std::string& message) {
  RecordTimer->stop();  // no further tick while the message is open
  ShowAfterRecording();  // a window hidden for the recording comes back with the message
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QStr("Error: " + message),
                  QMessageBox::Ok);
  box.exec();
}

void TMainForm::UpdateSizeLabel(int64_t bytes) {
  FDiskUse = bytes;
  SizeLabel->setText(SizeLabelText(bytes));
  SizeLabel->resize(SizeLabel->sizeHint().width(), SizeLabel->height());
  SizeLabel->repaint();
}

void TMainForm::ClearFrames() {
  FSound.reset();  // its file goes with the folder
  FPictureTimes.clear();
  FSoundClock.clear();
  FSoundFrameTime = 0;
  SoundLevel->setValue(0);
  for (const std::string& path : FFrames) DeleteFileQuietly(path);
  FFrames.clear();
  // The journal, the lock and anything else the recording kept go with it.
  if (FRecording) FRecording->Remove();
  FRecording.reset();
  FRecordedFrameTime = 0;
  UpdateSizeLabel(0);
  SaveBtn->setEnabled(false);
}

TRecordingFolder& TMainForm::Recording() {
  if (!FRecording)
    FRecording = TRecordingFolder::Create(FStartTime.toMSecsSinceEpoch(), RecordTimer->interval(),
                                          AreaForm->NormalizedAreaRect());
  return *FRecording;
}

void TMainForm::RecordBtnClick() {
  SaveBtn->setEnabled(false);
  RecordBtn->setEnabled(false);
  StopRecordingBtn->setEnabled(true);
  SetAreaBtn->setChecked(false);
  AreaForm->hide();
  HideForRecording();
  const int delay = SettingsForm->DelaySpin->value();
  if (delay > 0)
    StartCountdown(delay);  // the recording so far stays until the countdown is over
  else
    BeginRecording();
  UpdateTray();
}

void TMainForm::BeginRecording() {
  FFrameSize = 0;
  UpdateSizeLabel(0);
  ClearFrames();
  FStartTime = QDateTime::currentDateTime();
  FPaused = false;
  FPausedMs = 0;
  const int sound = SettingsForm->SoundCBX->currentIndex();
  if (sound > 0) {
    try {
      // The sound starts before the first picture; what comes before that
      // is cut when the recording stops.
      FSound = TSoundCapture::Start(static_cast<TSoundSource>(sound), Recording().Path() + kCapturedSound);
    } catch (...) {
      // Without its sound the recording does not start at all.
      ClearFrames();
      RecordBtn->setEnabled(true);
      StopRecordingBtn->setEnabled(false);
      ShowAfterRecording();
      UpdateTray();
      throw;
    }
  }
  RecordTimer->start();
  PauseAction->setEnabled(true);
  UpdateTray();
}

void TMainForm::StartCountdown(int seconds) {
  // Beside the area where the monitor has room, so that it never shows in
  // a picture; else over it, and gone a moment before the first picture.
  const TRect area = AreaForm->NormalizedAreaRect();
  const QRect inside = FromScreenPixels(area);
  const QScreen* screen = ScreenOfPixels(area);
  const QRect room = screen ? screen->geometry() : inside;
  const QRect around = inside.adjusted(-12, -12, 12, 12);  // the outline too
  const QSize size = Countdown->size();
  const QPoint centre = inside.center();
  const QPoint places[] = {{centre.x() - size.width() / 2, around.bottom() + 1},
                           {centre.x() - size.width() / 2, around.top() - size.height()},
                           {around.right() + 1, centre.y() - size.height() / 2},
                           {around.left() - size.width(), centre.y() - size.height() / 2}};
  FCountdownOverArea = true;
  QPoint at = centre - QPoint(size.width() / 2, size.height() / 2);
  // A Wayland window goes where the desktop puts it: over the area, for all we know.
  if (!QtOnWayland())
    for (const QPoint& place : places)
      if (room.contains(QRect(place, size))) {
        at = place;
        FCountdownOverArea = false;
        break;
      }
  FCountdownLeft = seconds;
  Countdown->setText(QString::number(seconds));
  Countdown->move(at);
  Countdown->show();
  Countdown->raise();
  FCountdownTimer->start();
  ProgressLabel->setText("Starting...");
}

void TMainForm::CountdownTick() {
  if (--FCountdownLeft > 0) {
    Countdown->setText(QString::number(FCountdownLeft));
    return;
  }
  StopCountdown();
  if (!FCountdownOverArea) {
    BeginRecording();
    return;
  }
  // What the countdown covered must be drawn again before the first
  // picture: a quarter second more.
  FCountdownLeft = -1;
  QTimer::singleShot(250, this, [this] {
    if (FCountdownLeft != -1) return;  // stopped meanwhile
    FCountdownLeft = 0;
    Guarded([this] { BeginRecording(); });
  });
}

void TMainForm::StopCountdown() {
  FCountdownTimer->stop();
  FCountdownLeft = 0;
  Countdown->hide();
  if (ProgressLabel->text() == "Starting...") ProgressLabel->setText(QString());
}

void TMainForm::HideForRecording() {
  if (!SettingsForm->HideWindowCB->isChecked() || !isVisible()) return;
  if (!(TrayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) && !FHotkeysBound) return;
  FHiddenForRecording = true;
  hide();
}

void TMainForm::ShowAfterRecording() {
  if (!FHiddenForRecording) return;
  FHiddenForRecording = false;
  show();
}

void TMainForm::ShowWindow() {
  FHiddenForRecording = false;
  show();
  raise();
  activateWindow();
}

bool TMainForm::Reachable() {
  // A dialog or a wait for the desktop holds the window: keys and the tray
  // (whose D-Bus menu no dialog blocks) must not start, stop or close
  // anything behind it. The window comes up to show what holds it.
  if (FWaiting == 0 && !QApplication::activeModalWidget()) return true;
  if (!FHiddenForRecording) ShowWindow();
  return false;
}

void TMainForm::ToggleRecording() {
  if (!Reachable()) return;
  if (StopRecordingBtn->isEnabled())
    StopRecordingBtnClick();
  else if (RecordBtn->isEnabled())
    RecordBtnClick();
}

void TMainForm::HotkeyPressed(const std::string& name) {
  if (!Reachable()) return;
  if (name == "start-stop")
    ToggleRecording();
  else if (name == "pause-resume" && PauseAction->isEnabled())
    PauseRecordingClick();
}

void TMainForm::TakeHotkeys() {
  if (!FGlobalKeys || !FKeysNotifier->isEnabled()) return;
  std::vector<std::string> pressed;
  try {
    pressed = FGlobalKeys->TakePressed();
  } catch (const Exception& e) {
    // The connection is gone for good: the notifier would only spin.
    FKeysNotifier->setEnabled(false);
    FHotkeysBound = false;
    FHotkeyProblem = QStr(e.Message());
    SettingsForm->HotkeysNote->setText(FHotkeyProblem);
    return;
  }
  for (const std::string& name : pressed) Guarded([this, &name] { HotkeyPressed(name); });
}

void TMainForm::UpdateTray() {
  const bool recording = StopRecordingBtn->isEnabled();
  TrayRecordAction->setText(recording ? "Stop recording" : "Start recording");
  TrayRecordAction->setEnabled(recording || RecordBtn->isEnabled());
  TrayIcon->setIcon(QIcon(FPaused ? ":/pause.svg" : recording ? ":/record.svg" : ":/pelimar.svg"));
  TrayIcon->setToolTip(FPaused ? "Pelimar: paused" : recording ? "Pelimar: recording" : "Pelimar");
}

void TMainForm::BindHotkeys() {
  FHotkeyProblem.clear();
  FHotkeysBound = false;
  std::vector<std::string> failures;
  const std::vector<TGlobalKey> keys = {
      {"start-stop", TSettingsForm::KeyText(SettingsForm->RecordKeyEdit).toStdString(),
       "Start or stop recording"},
      {"pause-resume", TSettingsForm::KeyText(SettingsForm->PauseKeyEdit).toStdString(),
       "Pause or resume recording"}};
  try {
    if (!FGlobalKeys) {
      FGlobalKeys = QtOnWayland() ? OpenPortalGlobalKeys() : OpenGlobalKeys();
      FKeysNotifier = new QSocketNotifier(FGlobalKeys->Descriptor(), QSocketNotifier::Read, this);
      connect(FKeysNotifier, &QSocketNotifier::activated, this, [this] { TakeHotkeys(); });
    }
    std::vector<TGlobalKey> bound = keys;
    if (!bound[0].Combination.empty() && bound[1].Combination == bound[0].Combination) {
      failures.push_back(bound[1].Combination + " is already the start/stop hotkey.");
      bound[1].Combination.clear();
    }
    {
      const TWaiting waiting(FWaiting);
      for (const std::string& failure : FGlobalKeys->Bind(
               bound, [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20); }))
        failures.push_back(failure);
    }
    // Presses read while binding wait in the connection's queue, where the
    // notifier does not see them.
    QTimer::singleShot(0, this, [this] { TakeHotkeys(); });
    FHotkeysBound = !keys[0].Combination.empty();
    for (const std::string& failure : failures) {
      // Only a failure that names the pause key leaves the start/stop key bound.
      const std::string& pause = keys[1].Combination;
      if (pause.empty() || failure.rfind(pause + " ", 0) != 0) FHotkeysBound = false;
      FHotkeyProblem += (FHotkeyProblem.isEmpty() ? "" : "\n") + QStr(failure);
    }
  } catch (const Exception& e) {
    // The session has none: the dialog says so, and nothing else does.
    FHotkeyProblem = QStr(e.Message());
  }
  SettingsForm->HotkeysNote->setText(FHotkeyProblem);
  SettingsForm->RecordKeyEdit->setEnabled(FGlobalKeys != nullptr);
  SettingsForm->PauseKeyEdit->setEnabled(FGlobalKeys != nullptr);
  if (failures.empty()) return;
  // Said at once, without holding anything up.
  auto* box = new QMessageBox(QMessageBox::Warning, QApplication::applicationName(), FHotkeyProblem,
                              QMessageBox::Ok, this);
  box->setObjectName("HotkeyProblemBox");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void TMainForm::PauseRecordingClick() {
  if (!StopRecordingBtn->isEnabled()) return;  // no recording running
  if (!FPaused) {
    RecordTimer->stop();
    FPaused = true;
    FPausedAt = QDateTime::currentDateTime();
    PauseAction->setText("Resume recording");
    ProgressLabel->setText("Paused...");
    UpdateTray();
  } else {
    FPausedMs += FPausedAt.msecsTo(QDateTime::currentDateTime());
    FPaused = false;
    PauseAction->setText("Pause recording");
    ProgressLabel->setText(QString());
    RecordTimer->start();
    UpdateTray();
  }
}

void TMainForm::StopRecordingBtnClick() {
  if (FCountdownLeft != 0) {
    // Nothing was recorded yet: the recording before stays as it was.
    StopCountdown();
    SaveBtn->setEnabled(!FFrames.empty());
    StopRecordingBtn->setEnabled(false);
    RecordBtn->setEnabled(true);
    ShowAfterRecording();
    UpdateTray();
    return;
  }
  RecordTimer->stop();
  if (FPaused) ProgressLabel->setText(QString());
  FPaused = false;
  PauseAction->setText("Pause recording");
  PauseAction->setEnabled(false);
  FinishSound();
  SaveBtn->setEnabled(!FFrames.empty());
  StopRecordingBtn->setEnabled(false);
  RecordBtn->setEnabled(true);
  ShowAfterRecording();
  UpdateTray();
}

void TMainForm::SpeedButton3Click() {
  SettingsForm->move(frameGeometry().left() - SettingsForm->frameGeometry().width(), frameGeometry().top());
  // With a recording to save, the list offers only the compressors that
  // take its pictures; afterwards it is the list as it was, with the
  // user's choice kept where the recording had hidden it.
  TPoint size{};
  const bool fitted = !FFrames.empty() && FirstPictureSize(size);
  const int32_t width = AviWriter->Width(), height = AviWriter->Height();
  const QString before = SettingsForm->ChosenCompression();
  const int depth = SettingsForm->PixelFormatCBX->currentIndex();
  QString shown;
  if (fitted) {
    AviWriter->SetWidth(size.X);
    AviWriter->SetHeight(size.Y);
    SettingsForm->FitCompressionList(before);
    shown = SettingsForm->ChosenCompression();
  }
  const QString keys = TSettingsForm::KeyText(SettingsForm->RecordKeyEdit) + " " +
                       TSettingsForm::KeyText(SettingsForm->PauseKeyEdit);
  SettingsForm->exec();
  if (FClosed) return;
  if (keys != TSettingsForm::KeyText(SettingsForm->RecordKeyEdit) + " " +
                  TSettingsForm::KeyText(SettingsForm->PauseKeyEdit))
    BindHotkeys();
  if (fitted) {
    AviWriter->SetWidth(width);
    AviWriter->SetHeight(height);
    const QString now = SettingsForm->ChosenCompression();
    const bool untouched = now == shown && depth == SettingsForm->PixelFormatCBX->currentIndex();
    SettingsForm->FitCompressionList(untouched ? before : now);
  }
}

void TMainForm::RecordTimerTimer() {
  try {
    // What is recorded is the area with its corners in order, whichever way it was drawn.
    const TRect area = AreaForm->NormalizedAreaRect();
    if (SettingsForm->AreaCB->isChecked()) Screen().DrawOutline(area);
    std::string path;
    const int64_t taken = MonotonicNow();
    {
      TBitmap picture;
      if (!CaptureRect(area, picture)) return;
      TRecordingFolder& recording = Recording();
      // The journal follows what a recovered export needs: the newest area
      // and rate.
      if (recording.Journal().Area != area) recording.SetArea(area);
      if (recording.Journal().FrameTime != RecordTimer->interval())
        recording.SetFrameTime(RecordTimer->interval());
      path = StorePicture(recording, picture, SettingsForm->JpegCB->isChecked());
    }
    try {
      if (FFrameSize == 0) {
        TFile file(path, TFile::TMode::Read);
        FFrameSize = static_cast<int64_t>(file.Size());
      }
      FRecording->AddPicture(path);
      UpdateSizeLabel(FDiskUse + FFrameSize);
      FFrames.push_back(path);
      FPictureTimes.push_back(taken);
    } catch (...) {
      DeleteFileQuietly(path);  // not in the list, so nothing else would delete it
      throw;
    }
    frameslabel->setText(QString("Pictures: %1 st.").arg(FFrames.size()));
    // Recorded time: the pauses do not count.
    timelabel->setText(ElapsedText(FStartTime.msecsTo(QDateTime::currentDateTime()) - FPausedMs));
    rectlabel->setText(RectLabelText(AreaForm->AreaRect()));
    if (FSound) {
      SoundLevel->setValue(static_cast<int>(FSound->TakeLevel() * 100));
      // The pictures go on whatever became of the sound.
      if (const std::string failure = FSound->TakeFailure(); !failure.empty()) ShowSoundFailure(failure);
    }
  } catch (const Exception& e) {
    CaptureFailed(e.Message());
  } catch (const std::exception& e) {
    CaptureFailed(e.what());
  }
}

bool TMainForm::FirstPictureSize(TPoint& size) {
  for (const std::string& path : FFrames) {
    try {
      const TBitmap picture = LoadPictureFile(path);
      size = TPoint{picture.Width(), picture.Height()};
      return true;
    } catch (const Exception&) {
    }
  }
  return false;
}

void TMainForm::SaveBtnClick() {
  if (FExport) {
    CancelExport();  // the button says "Cancel export" meanwhile
    return;
  }
  if (FFrames.empty()) return;
  if (!FLastSaveName.isEmpty()) SaveDialog1->selectFile(FLastSaveName);
  // A cancelled dialog keeps the recording for another try.
  if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty() || FClosed) return;
  FLastSaveName = SaveDialog1->selectedFiles().first();
  TAviFileWriter& writer = *AviWriter;
  const int32_t pictures = FrameCount();
  // A save refused before it started leaves the writer's size as it was,
  // which the compression list is made for.
  const int32_t width = writer.Width(), height = writer.Height();
  try {
    // Noted before anything is written, so that after a crash the file
    // half-written beside the target can be found and removed.
    Recording().AddTarget(FLastSaveName.toStdString());
    writer.SetCompressOnTheFly(false);
    writer.SetStretch(false);
    writer.SetFrameTime(FRecordedFrameTime > 0 ? FRecordedFrameTime : RecordTimer->interval());
    writer.Setfilename(FLastSaveName.toStdString());
    writer.SetPixelFormat(SettingsForm->SelectedPixelFormat());
    writer.SetTempFolder(Recording().Path());
    // The sound lined up with the pictures, taken from its first sample.
    writer.SetWavFileName(AlignedSound(writer.FrameTime()));
    // The video has the size of the first picture that can be read.
    TPoint size{};
    if (!FirstPictureSize(size))
      throw Exception("None of the " + std::to_string(pictures) + " pictures of the recording could be read");
    writer.SetWidth(size.X);
    writer.SetHeight(size.Y);
    // Checked against the frames as they will be, before anything is written.
    const int compression = SettingsForm->CompressionCBX->currentIndex();
    writer.SetCompression(
        compression < 1 ? std::string() : SettingsForm->CompressionCBX->currentText().left(4).toStdString());
  } catch (...) {
    // The recording stays for another try; the writer lets go of its files.
    writer.Discard();
    writer.SetWavFileName(std::string());
    writer.SetWidth(width);
    writer.SetHeight(height);
    throw;
  }
  ProgressBar1->setMaximum(pictures);
  ProgressBar1->setValue(0);
  ProgressLabel->setText("Compressing...");
  FExport = std::make_unique<TExportJob>(writer, FFrames);
  // The window hears of the end at once, not at its next tick.
  FExport->OnEnded = [this] { QMetaObject::invokeMethod(this, [this] { ExportTick(); }, Qt::QueuedConnection); };
  SetExporting(true);
  FExport->Start();
  FExportTimer->start();
}

void TMainForm::SetExporting(bool exporting) {
  if (exporting) FRecordWasEnabled = RecordBtn->isEnabled();
  SetAreaBtn->setEnabled(!exporting);
  RecordBtn->setEnabled(!exporting && FRecordWasEnabled);
  SettingsBtn->setEnabled(!exporting);
  SaveBtn->setText(exporting ? "Cancel export" : "S&ave recording to disk...");
  SaveBtn->setIcon(QIcon(exporting ? ":/stop.svg" : ":/save.svg"));
  SaveBtn->setToolTip(exporting ? QString("Stops saving the video; the recording is kept")
                                : QString::fromUtf8("Sparar det senast inspelade klippet till disk"));
  SaveBtn->setEnabled(exporting || !FFrames.empty());
}

void TMainForm::CancelExport() {
  if (FExport) FExport->Cancel();
}

void TMainForm::WaitForExport() {
  // Sleeps between events: the export's own timer wakes it up.
  QEventLoop loop;
  while (FExport) loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TMainForm::ExportTick() {
  if (!FExport) return;
  TExportJob& job = *FExport;
  ProgressBar1->setValue(job.FramesDone());
  const QImage preview = job.TakePreview();
  if (!preview.isNull()) StatusImg->SetPicture(preview);
  switch (job.Stage()) {
    case TExportJob::TStage::Compressing:
      break;
    case TExportJob::TStage::Writing:
      ProgressLabel->setText("Writing file...");
      break;
    case TExportJob::TStage::Asking:
      if (!FAsking) {
        // Nothing has reached the target yet: the user may still say no.
        FAsking = true;
        const QString question = QString("%1 of the %2 pictures could not be read. Export the others?")
                                     .arg(job.Unreadable())
                                     .arg(FrameCount());
        const bool others = QMessageBox::question(this, QApplication::applicationName(), question,
                                                  QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
        FAsking = false;
        if (FExport) FExport->Answer(others);
      }
      break;
    default:
      break;
  }
  if (FExport && FExport->Ended() && !FAsking) FinishExport();
}

void TMainForm::FinishExport() {
  FExportTimer->stop();
  std::unique_ptr<TExportJob> job = std::move(FExport);
  job->Wait();
  FLastExportEnd = job->EndedAt();
  SetExporting(false);
  const QImage preview = job->TakePreview();
  if (!preview.isNull()) StatusImg->SetPicture(preview);
  TAviFileWriter& writer = *AviWriter;
  // A later recording without sound gets none.
  writer.SetWavFileName(std::string());
  switch (job->Stage()) {
    case TExportJob::TStage::Done:
      ProgressBar1->setValue(job->FramesDone());
      ProgressLabel->setText("Done...");
      UpdateSizeLabel(0);
      ClearFrames();
      break;
    case TExportJob::TStage::Cancelled:
      // The recording stays for another try.
      writer.Discard();
      ProgressBar1->setValue(0);
      ProgressLabel->setText("Cancelled...");
      break;
    default:
      writer.Discard();
      ProgressLabel->setText(QString());
      if (!FClosed) ShowErrorBox(job->Failure());
      break;
  }
}

void TMainForm::FinishSound() {
  if (!FSound) return;
  std::unique_ptr<TSoundCapture> sound = std::move(FSound);
  SoundLevel->setValue(0);
  try {
    sound->Stop();
    if (const std::string failure = sound->TakeFailure(); !failure.empty()) ShowSoundFailure(failure);
    FSoundClock = sound->Clock();
    sound.reset();
    AlignedSound(RecordTimer->interval());
  } catch (const Exception& e) {
    if (FRecording) DeleteFileQuietly(FRecording->Path() + kAlignedSound);
    ShowSoundFailure("The recording's sound is lost: " + e.Message());
  }
}

void TMainForm::ShowSoundFailure(const std::string& message) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, QApplication::applicationName(), QStr("Error: " + message),
                              QMessageBox::Ok, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

std::string TMainForm::AlignedSound(int32_t frameTime) {
  if (!FRecording) return std::string();
  const std::string path = FRecording->Path() + kAlignedSound;
  // Lined up afresh when the rate changed since: each picture's sound lasts
  // as long as the picture does in the video.
  if (frameTime != FSoundFrameTime && !FSoundClock.empty() && FPictureTimes.size() == FFrames.size() &&
      !FPictureTimes.empty()) {
    DeleteFileQuietly(path);
    FSoundFrameTime = 0;
    AlignSound(FRecording->Path() + kCapturedSound, FSoundClock, FPictureTimes, frameTime, path);
    FSoundFrameTime = frameTime;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}

void TMainForm::Adopt(std::unique_ptr<TRecordingFolder> recording) {
  ClearFrames();
  const TRecordingJournal& journal = recording->Journal();
  FFrames = journal.Pictures;
  FRecordedFrameTime = journal.FrameTime;
  FRecording = std::move(recording);
  int64_t bytes = 0;
  for (const std::string& path : FFrames) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) bytes += st.st_size;
  }
  FFrameSize = 0;
  UpdateSizeLabel(bytes);
  frameslabel->setText(QString("Pictures: %1 st.").arg(FFrames.size()));
  rectlabel->setText(RectLabelText(journal.Area));
  SaveBtn->setEnabled(true);
}

void TMainForm::OfferAbandonedRecordings() {
  std::vector<std::unique_ptr<TRecordingFolder>> abandoned = TRecordingFolder::Abandoned();
  for (std::unique_ptr<TRecordingFolder>& recording : abandoned) {
    // What the dead program half-wrote is of no use, whatever is chosen.
    recording->RemoveLeftovers();
    const TRecordingJournal& journal = recording->Journal();
    const QString when = QDateTime::fromMSecsSinceEpoch(journal.Started).toString("yyyy-MM-dd HH:mm:ss");
    QMessageBox box(
        QMessageBox::Question, QApplication::applicationName(),
        QString("A recording of %1 pictures from %2 was not saved.").arg(journal.Pictures.size()).arg(when),
        QMessageBox::NoButton, this);
    QPushButton* save = box.addButton("Save...", QMessageBox::AcceptRole);
    QPushButton* discard = box.addButton("Discard", QMessageBox::DestructiveRole);
    QPushButton* later = box.addButton("Later", QMessageBox::RejectRole);
    box.setDefaultButton(save);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == discard) {
      recording->Remove();
    } else if (box.clickedButton() == save) {
      Adopt(std::move(recording));
      Guarded([this] { SaveBtnClick(); });
      WaitForExport();
      // A save that did not finish keeps the recording in the window; the
      // others wait for the next start.
      if (!FFrames.empty()) return;
    }
    // "Later": the lock goes with the object, the folder stays.
  }
}

void TMainForm::AviWriterProgress(TAviFileWriter&, int32_t FrameCount, bool& abort) {
  // From the export's thread: only the job is told; the window shows it
  // at its next tick.
  if (FExport) FExport->Progress(FrameCount, abort);
}

void TMainForm::SpeedButton4Click() {
  // A fresh dialog for every showing, gone once it closes.
  std::unique_ptr<TAboutForm> about = std::make_unique<TAboutForm>();
  AboutForm = about.get();
  about->exec();
  AboutForm = nullptr;
}

void TMainForm::SpeedButton5Click() {
  QDesktopServices::openUrl(QUrl(kMakerWebPage));  // a failure is not reported
}
