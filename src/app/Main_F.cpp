#include "Main_F.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <QWindow>
#include <algorithm>

#include "abandoned_offer.h"
#include "about_f.h"
#include "areaform_f.h"
#include "countdown_f.h"
#include "error_box.h"
#include "export_progress.h"
#include "frame_store.h"
#include "hotkeys.h"
#include "image_box.h"
#include "qt_support.h"
#include "save_dialog.h"
#include "settings_f.h"
#include "tray_icon.h"

TMainForm* MainForm = nullptr;

namespace {

// The overlay's picture is one made after this window went: GNOME fades a
// window out in 150 ms. It waits no longer than a moment for it: a still
// screen sends no new picture, and then the newest stands.
constexpr int kWindowGoneMs = 200, kFreshPictureMs = 300;

int64_t MonotonicNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

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
  CreateControls();
  PlaceControls();
  CreateActions();

  CreateComponents();
  ConnectHandlers();

  Guarded([this] { FormCreate(); });
  Guarded([this] { BindHotkeys(); });
  ShowState();
}

TMainForm::~TMainForm() {
  if (!FClosed) FormClose();
  delete Countdown;
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::FormCreate() {
  SettingsForm = new TSettingsForm();
  AreaForm = new TAreaForm();
  UpdateSizeLabel(0);
  SettingsForm->VideoSizeCBX->setCurrentIndex(0);
  SettingsForm->PixelFormatCBX->setCurrentIndex(2);
  SettingsForm->PixelFormatCBXChange();
  RecordTimer->stop();
  try {
    FDesktop.Screen();
  } catch (const Exception& e) {
    // The window still comes up; captures say what is missing.
    ShowErrorBox(e.Message());
  }
  if (FDesktop.ScreenOpen() && !FDesktop.Screen().DrawsOutline()) {
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

void TMainForm::LoadSettings() {
  TSettingsForm& settings = *SettingsForm;
  const TSettingsValues defaults;
  settings.ShowInOrder(defaults, 6, true);
  settings.ShowLater(defaults);
  FStored.Load();
  std::string failure = FStored.Failure();
  try {
    // Each value takes effect at once, so a failure keeps those before it.
    settings.ShowInOrder(FStored.Values(), FStored.InOrderRead(), FStored.ShowAreaRead());
  } catch (const Exception& e) {
    failure = e.Message();  // a depth the writer refuses comes before any later read
  }
  // Whatever became of the first ones.
  settings.ShowLater(FStored.Values());
  if (!failure.empty()) throw Exception(failure);
}

void TMainForm::SaveSettings() {
  FStored.Save(SettingsValues());
}

TSettingsValues TMainForm::SettingsValues() const {
  return SettingsForm ? SettingsForm->Values() : TSettingsValues();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FWaiting > 0) {
    // The desktop is asking the user something for us: once it has its answer.
    event->ignore();
    return;
  }
  if (Export->Running()) {
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
  // The writer and the pictures go with the window: the export first.
  Export->Cancel();
  Export->Finish();
  Countdown->Stop();
  FSession.CancelCountdown();
  FSession.Stop(0);  // the recording goes below: no sound to line up
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
  FDesktop.SetScreen(nullptr);
  Tray->Hide();
  Hotkeys->Release();
}

TControlStates TMainForm::Controls() const {
  const TRect area = AreaForm ? AreaForm->AreaRect() : TRect();
  const bool areaSet = area.Right != area.Left && area.Bottom != area.Top;
  return ControlsFor(FSession.State(), areaSet, FSession.FrameCount() > 0, FSession.HasSound());
}

void TMainForm::ShowState() {
  const TControlStates c = Controls();
  SetAreaBtn->setEnabled(c.SetArea && FWaiting == 0);
  RecordBtn->setEnabled(c.Start);
  StopRecordingBtn->setEnabled(c.Stop);
  SaveBtn->setEnabled(c.Save);
  SaveBtn->setText(c.CancelsExport ? "Cancel export" : "S&ave recording to disk...");
  SaveBtn->setIcon(QIcon(c.CancelsExport ? ":/stop.svg" : ":/save.svg"));
  SaveBtn->setToolTip(c.CancelsExport ? QString("Stops saving the video; the recording is kept")
                                      : QString::fromUtf8("Sparar det senast inspelade klippet till disk"));
  SettingsBtn->setEnabled(c.Settings);
  PauseAction->setEnabled(c.Pause);
  PauseAction->setText(c.Resumes ? "Resume recording" : "Pause recording");
  SoundLevel->setVisible(c.SoundLevel);
  ProgressLabel->setText(c.Progress ? QString(c.Progress) : FProgressNote);
  Tray->Show(c);
}

bool TMainForm::RequestScreen() {
  // Where the desktop asks the user first, a refusal leaves everything as
  // it was; so does a desktop without the means.
  bool granted = false;
  SetAreaBtn->setEnabled(false);
  try {
    const TWaiting waiting(FWaiting);
    granted = FDesktop.RequestScreen(SettingsForm->CursorCB->isChecked(), FStored, SettingsValues(), [] {
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    });
  } catch (...) {
    SetAreaBtn->setEnabled(true);
    SetAreaBtn->setChecked(false);
    throw;
  }
  SetAreaBtn->setEnabled(true);
  if (!granted) SetAreaBtn->setChecked(false);
  return granted;
}

void TMainForm::SetAreaBtnClick() {
  if (!Controls().SetArea) {
    // A running recording's area does not change: the toggle goes back.
    SetAreaBtn->setChecked(AreaForm->isVisible());
    return;
  }
  if (SetAreaBtn->isChecked() && !RequestScreen()) return;
  hide();
  // The main window is the overlay's dialog only while the overlay shows:
  // a dialog whose owner goes is closed with it.
  if (QtOnWayland() && windowHandle()) windowHandle()->setTransientParent(nullptr);
  try {
    const TMonitor monitor = FDesktop.MonitorOf(*this);
    AreaForm->PlaceOn(monitor.Bounds);
    if (FDesktop.Wayland()) {
      // The desktop sends a picture as the screen changes: the one without
      // this window (or the desktop's share dialog) comes a moment later.
      QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      FDesktop.Screen().AwaitFreshPicture(monitor.Bounds, kWindowGoneMs, kFreshPictureMs, [] {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
      });
    }
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
    return CaptureRect(FDesktop.MonitorOf(*this).Bounds, picture);
  } catch (const Exception& e) {
    CaptureFailed(e.Message());
    return false;
  }
}

bool TMainForm::CaptureRect(const TRect& rect, TBitmap& picture) {
  try {
    picture = TBitmap::Uninitialized(static_cast<int32_t>(rect.Width()), static_cast<int32_t>(rect.Height()));
    FDesktop.Screen().CopyRect(rect, picture);
  } catch (const EScreenLost& e) {
    // The desktop took the screen away: the recording ends here, with
    // every picture so far kept for saving.
    picture = TBitmap();
    StopRecordingBtnClick();
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
      DrawPointer(picture, FDesktop.Screen().Pointer(), TPoint{rect.Left, rect.Top});
  } catch (const Exception& e) {
    CaptureFailed(e.Message());  // the screen's copy stands without the pointer
  }
  return true;
}

void TMainForm::CaptureFailed(const std::string& message) {
  RecordTimer->stop();  // no further tick while the message is open
  FSession.Halt();
  ShowState();
  ShowAfterRecording();  // a window hidden for the recording comes back with the message
  QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(), QStr("Error: " + message),
                  QMessageBox::Ok, this);
  box.exec();
}

void TMainForm::ClearFrames() {
  FSession.Clear();
  SoundLevel->setValue(0);
  UpdateSizeLabel(0);
  ShowState();
}

void TMainForm::RecordBtnClick() {
  if (!Controls().Start) return;
  SetAreaBtn->setChecked(false);
  AreaForm->hide();
  CleanLabels();
  HideForRecording();
  const int delay = SettingsForm->DelaySpin->value();
  if (delay > 0 && FSession.StartCountdown()) {
    // The recording before stays until the countdown is over.
    Countdown->Start(delay, AreaForm->NormalizedAreaRect(), QtOnWayland());
    ShowState();
    return;
  }
  BeginRecording();
}

void TMainForm::BeginRecording() {
  TRecordingStart start;
  start.Started = QDateTime::currentMSecsSinceEpoch();
  start.Now = MonotonicNow();
  start.FrameTime = RecordTimer->interval();
  start.Area = AreaForm->NormalizedAreaRect();
  start.Sound = static_cast<TSoundSource>(std::clamp(SettingsForm->SoundCBX->currentIndex(), 0, 3));
  try {
    if (!FSession.Begin(start)) return;
  } catch (...) {
    // Without its folder or its sound the recording does not start at all.
    FSession.CancelCountdown();
    ShowAfterRecording();
    ShowState();
    throw;
  }
  UpdateSizeLabel(0);
  RecordTimer->start();
  ShowState();
}

void TMainForm::StopRecordingBtnClick() {
  switch (FSession.State()) {
    case TSessionState::CountingDown:
      // Nothing was recorded yet: the recording before stays as it was.
      Countdown->Stop();
      FSession.CancelCountdown();
      if (FrameCount() > 0) frameslabel->setText(PicturesText(FrameCount()));
      break;
    case TSessionState::Recording:
    case TSessionState::Paused:
    case TSessionState::Halted:
      RecordTimer->stop();
      FSession.Stop(RecordTimer->interval());
      SoundLevel->setValue(0);
      ShowSoundFailures();
      break;
    default:
      return;
  }
  ShowAfterRecording();
  ShowState();
}

void TMainForm::PauseRecordingClick() {
  if (FSession.Pause(MonotonicNow()))
    RecordTimer->stop();
  else if (FSession.Resume(MonotonicNow()))
    RecordTimer->start();
  ShowState();
}

void TMainForm::ShowSoundFailures() {
  for (std::string failure = FSession.TakeSoundFailure(); !failure.empty();
       failure = FSession.TakeSoundFailure()) {
    // One message, that does not hold the recording up.
    auto* box = new QMessageBox(QMessageBox::NoIcon, QApplication::applicationName(),
                                QStr("Error: " + failure), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
}

void TMainForm::HideForRecording() {
  if (!SettingsForm->HideWindowCB->isChecked() || !isVisible()) return;
  if (!Tray->Reachable() && !Hotkeys->Bound()) return;
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
  switch (Controls().StartStop) {
    case TControlStates::TKey::Stop:
      StopRecordingBtnClick();
      break;
    case TControlStates::TKey::Start:
      RecordBtnClick();
      break;
    case TControlStates::TKey::None:
      break;
  }
}

void TMainForm::HotkeyPressed(const std::string& name) {
  if (!Reachable()) return;
  if (name == "start-stop")
    ToggleRecording();
  else if (name == "pause-resume" && Controls().Pause)
    PauseRecordingClick();
}

void TMainForm::BindHotkeys() {
  Hotkeys->Bind(TSettingsForm::KeyText(SettingsForm->RecordKeyEdit).toStdString(),
                TSettingsForm::KeyText(SettingsForm->PauseKeyEdit).toStdString(), FWaiting);
  SettingsForm->HotkeysNote->setText(Hotkeys->Problem());
  SettingsForm->RecordKeyEdit->setEnabled(Hotkeys->Available());
  SettingsForm->PauseKeyEdit->setEnabled(Hotkeys->Available());
}

void TMainForm::SpeedButton3Click() {
  SettingsForm->PlaceBeside(frameGeometry());
  // With a recording to save, a compressor that cannot take its pictures
  // says why, and stays the user's choice where it was chosen.
  TPoint size{};
  const bool sized = FrameCount() > 0 && FirstPictureSize(Frames(), size);
  SettingsForm->MarkCompressionList(sized ? &size : nullptr);
  const QString keys = TSettingsForm::KeyText(SettingsForm->RecordKeyEdit) + " " +
                       TSettingsForm::KeyText(SettingsForm->PauseKeyEdit);
  SettingsForm->exec();
  if (FClosed) return;
  SettingsForm->MarkCompressionList(nullptr);  // the marks are for this recording only
  if (keys != TSettingsForm::KeyText(SettingsForm->RecordKeyEdit) + " " +
                  TSettingsForm::KeyText(SettingsForm->PauseKeyEdit))
    BindHotkeys();
}

void TMainForm::RecordTimerTimer() {
  if (FSession.State() != TSessionState::Recording) return;  // one queued before the stop
  try {
    // What is recorded is the area the recording began with, corners in order.
    const TRect area = FSession.Area();
    if (SettingsForm->AreaCB->isChecked()) FDesktop.Screen().DrawOutline(area);
    const int64_t taken = MonotonicNow();
    TBitmap picture;
    if (!CaptureRect(area, picture)) return;
    FSession.AddPicture(picture, SettingsForm->JpegCB->isChecked(), taken, RecordTimer->interval());
    UpdateSizeLabel(FDiskUse + FSession.FrameSize());
    frameslabel->setText(PicturesText(FrameCount()));
    // Recorded time: the pauses do not count.
    timelabel->setText(ElapsedText(FSession.RecordedTime(MonotonicNow())));
    rectlabel->setText(RectLabelText(AreaForm->AreaRect()));
    // The pictures go on whatever became of the sound.
    if (FSession.HasSound()) SoundLevel->setValue(static_cast<int>(FSession.TakeSoundLevel() * 100));
    ShowSoundFailures();
  } catch (const Exception& e) {
    CaptureFailed(e.Message());
  } catch (const std::exception& e) {
    CaptureFailed(e.what());
  }
}

void TMainForm::SaveBtnClick() {
  if (Exporting()) {
    CancelExport();  // the button says "Cancel export" meanwhile
    return;
  }
  if (!Controls().Save) return;
  // A cancelled dialog keeps the recording for another try.
  const QString file = SaveDialog1->Ask(FSession.HasRecordedSound());
  if (file.isEmpty() || FClosed || !FSession.BeginExport(file.toStdString())) return;
  TExportChoice choice;
  choice.File = file.toStdString();
  choice.FrameTime =
      FSession.RecordedFrameTime() > 0 ? FSession.RecordedFrameTime() : RecordTimer->interval();
  if (SaveDialog1->Format() != TVideoFormat::Avi) {
    // A video for sharing: the AVI's depth and compressor do not apply.
    TShareOptions share;
    try {
      share = PrepareShare(FSession, choice, SaveDialog1->Format(), SettingsForm->ShareQuality());
    } catch (...) {
      FSession.EndExport(false);
      ShowState();
      throw;
    }
    FLastSaveName = file;
    Export->Start(share, choice.File, Frames());
    ShowState();
    return;
  }
  choice.PixelFormat = SettingsForm->SelectedPixelFormat();
  const int line = SettingsForm->CompressionCBX->currentIndex();
  if (line >= 1) choice.Compression = SettingsForm->CompressionCBX->currentText().left(4).toStdString();
  try {
    PrepareWriter(*AviWriter, FSession, choice);
  } catch (...) {
    FSession.EndExport(false);
    ShowState();
    throw;
  }
  FLastSaveName = file;
  Export->Start(*AviWriter, Frames());
  ShowState();
}

void TMainForm::ExportEnded(const TExportJob& job) {
  TAviFileWriter& writer = *AviWriter;
  // A later recording without sound gets none.
  writer.SetWavFileName(std::string());
  const TExportJob::TStage stage = job.Stage();
  if (stage != TExportJob::TStage::Done && !job.Shared()) writer.Discard();
  FSession.EndExport(stage == TExportJob::TStage::Done);
  if (stage == TExportJob::TStage::Done) {
    ProgressBar1->setValue(job.FramesDone());
    FProgressNote = "Done...";
    UpdateSizeLabel(0);
    ShowSaved(FLastSaveName);
  } else if (stage == TExportJob::TStage::Cancelled) {
    // The recording stays for another try.
    ProgressBar1->setValue(0);
    FProgressNote = "Cancelled...";
  } else {
    FProgressNote.clear();
  }
  ShowState();
  if (stage == TExportJob::TStage::Failed && !FClosed) ShowErrorBox(job.Failure());
}

void TMainForm::CancelExport() {
  Export->Cancel();
}

void TMainForm::WaitForExport() {
  Export->Wait();
}

std::chrono::steady_clock::time_point TMainForm::LastExportEnd() const {
  return Export->LastEnd();
}

void TMainForm::Adopt(std::unique_ptr<TRecordingFolder> recording) {
  if (!FSession.Adopt(std::move(recording))) return;
  UpdateSizeLabel(FSession.BytesOnDisk());
  frameslabel->setText(PicturesText(FrameCount()));
  rectlabel->setText(RectLabelText(FSession.Area()));
  ShowState();
}

void TMainForm::OfferAbandonedRecordings() {
  OfferRecordingsBack(this, [this](std::unique_ptr<TRecordingFolder> recording) {
    Adopt(std::move(recording));
    if (FrameCount() == 0) return false;  // the window is busy with a recording of its own
    Guarded([this] { SaveBtnClick(); });
    WaitForExport();
    // A save that did not finish keeps the recording in the window.
    return FrameCount() == 0;
  });
}

void TMainForm::AviWriterProgress(TAviFileWriter&, int32_t FrameCount, bool& abort) {
  // From the export's thread: only the job is told; the window shows it
  // at its next tick.
  Export->Progress(FrameCount, abort);
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
