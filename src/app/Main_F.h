#pragma once

#include <QAction>
#include <QDateTime>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "platform/global_keys.h"
#include "platform/recording_folder.h"
#include "platform/screen.h"
#include "platform/sound_capture.h"
#include "writer/AviFileWriter.h"

class TImageBox;
class TExportJob;

// The main window: an always-on-top tool window at the top right of the
// primary screen, from which the recording is driven.
class TMainForm : public QWidget {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  QWidget* ButtonPanel;
  QToolButton* SetAreaBtn;
  QToolButton* RecordBtn;
  QToolButton* StopRecordingBtn;
  QToolButton* SaveBtn;
  QToolButton* SettingsBtn;
  QFrame* Bevel2;
  QToolButton* SpeedButton4;
  QToolButton* SpeedButton5;
  QFrame* Bevel3;
  QFrame* Bevel1;
  TImageBox* StatusImg;
  QLabel* ProgressLabel;
  QProgressBar* ProgressBar1;
  QFrame* Bevel4;
  QLabel* SizeLabel;
  QLabel* rectlabel;
  QLabel* timelabel;
  QLabel* frameslabel;
  QProgressBar* SoundLevel;  // how loud the recorded sound is, while it is
  QTimer* RecordTimer;
  QFileDialog* SaveDialog1;
  // The AVI writer, kept for the whole run.
  std::unique_ptr<TAviFileWriter> AviWriter;

  void FormCreate();
  void FormClose();
  void SetAreaBtnClick();
  void RecordBtnClick();
  void StopRecordingBtnClick();
  // Pauses a recording, or resumes the paused one: no pictures are taken
  // meanwhile, and the time shown counts recorded time only. The sound
  // goes on being captured; lining it up with the pictures leaves out what
  // came while paused.
  void PauseRecordingClick();
  bool Paused() const { return FPaused; }
  QAction* PauseAction;  // in the context menu of the buttons' panel and the Stop button
  // Starts a recording when none runs and the area is set, else stops
  // the one running (or its countdown): the tray's and the hotkey's way.
  void ToggleRecording();
  // A global hotkey by its name: "start-stop" or "pause-resume".
  void HotkeyPressed(const std::string& name);
  // Binds the hotkeys of the settings dialog, session-wide; says what
  // could not be bound, in the dialog and, for a taken key, at once.
  void BindHotkeys();
  QString HotkeyProblem() const { return FHotkeyProblem; }
  bool HotkeysBound() const { return FHotkeysBound; }
  // The countdown before the first picture, while it runs.
  bool CountingDown() const { return FCountdownLeft > 0; }
  QLabel* Countdown;
  // The tray icon (idle, recording, paused) and its menu, where the
  // desktop has a tray.
  QSystemTrayIcon* TrayIcon;
  QMenu* TrayMenu;
  QAction* TrayRecordAction;
  QAction* ShowWindowAction;
  QAction* QuitAction;
  void SpeedButton3Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void RecordTimerTimer();
  void SaveBtnClick();
  void AviWriterProgress(TAviFileWriter& Sender, int32_t FrameCount, bool& abort);

  // While a video is being saved, on a thread of its own: the Save button
  // cancels it, and what would change the recording waits.
  bool Exporting() const { return FExport != nullptr; }
  void CancelExport();
  // Lets the window run until the export has ended.
  void WaitForExport();
  // When the last export's thread ended (its file complete or gone), on
  // the steady clock; before the recording was cleared away.
  std::chrono::steady_clock::time_point LastExportEnd() const { return FLastExportEnd; }

  // The seven settings of the dialog in the per-user registry, under
  // "software\quorvane\Sorvek". LoadSettings sets the defaults first.
  void LoadSettings();
  void SaveSettings();

  // Offers back, one after the other, the recordings that a program which
  // ended without clearing them left behind (killed, crashed, its X server
  // gone): save, discard, or keep for the next start.
  void OfferAbandonedRecordings();

  // The recording: full paths of its pictures, in capture order.
  const std::vector<std::string>& Frames() const { return FFrames; }
  int FrameCount() const { return static_cast<int>(FFrames.size()); }
  int64_t DiskUse() const { return FDiskUse; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  friend class TestMainForm;
  friend class TestExport;

  // Both report their own errors ("Error: " and the message, after the
  // timer is stopped). CaptureRect returns false when no picture exists.
  bool CaptureRect(const TRect& rect, TBitmap& picture);
  bool CaptureMonitor(TBitmap& picture);
  void UpdateSizeLabel(int64_t bytes);
  void ClearFrames();
  // The current recording's folder, made when it has none yet.
  TRecordingFolder& Recording();
  // Makes an abandoned recording the current one.
  void Adopt(std::unique_ptr<TRecordingFolder> recording);
  // The monitor under the client area's top-left corner, else the primary.
  TMonitor WindowMonitor();
  void CaptureFailed(const std::string& message);
  TScreen& Screen();
  // What starts once the countdown, if any, is over.
  void BeginRecording();
  void StartCountdown(int seconds);
  void CountdownTick();
  void StopCountdown();
  // The window goes while recording when the user wants it so and there
  // is a way back to it (the tray or the hotkey).
  void HideForRecording();
  void ShowAfterRecording();
  void ShowWindow();
  void UpdateTray();
  void TakeHotkeys();
  // False while a dialog or a wait for the desktop holds the window.
  bool Reachable();
  // Ends the sound of the recording and writes the part that goes with its
  // pictures beside them; says so when that fails, and the pictures stay.
  void FinishSound();
  // One message, that does not hold the recording up.
  void ShowSoundFailure(const std::string& message);
  // The sound that goes with the recording's pictures at frameTime ms a
  // picture, when it has any.
  std::string AlignedSound(int32_t frameTime);
  // Shows how the export goes, and ends it in the window once it ended.
  void ExportTick();
  void FinishExport();
  void SetExporting(bool exporting);
  // The size of the recording's first picture that can be read (the
  // video's size); false when none can be.
  bool FirstPictureSize(TPoint& size);
  // Asks for the screen where the desktop wants the user's consent, with
  // the token kept from the last consent. False when refused.
  bool RequestScreen();

  struct TAnchored {
    QWidget* Control;
    QRect Design;
    int Anchors;
  };
  void Place(QWidget* control, int left, int top, int width, int height, int anchors);

  int64_t FDiskUse = 0;
  int64_t FFrameSize = 0;
  QDateTime FStartTime;
  std::vector<std::string> FFrames;
  // The folder that holds the pictures of FFrames, with their journal.
  std::unique_ptr<TRecordingFolder> FRecording;
  // The frame time of a recording taken over from a program that died, for
  // its export; 0: the rate as it stands when saving.
  int32_t FRecordedFrameTime = 0;
  // The whole screen, opened once: source of every picture, target of the outline.
  std::unique_ptr<TScreen> FScreenCanvas;
  // The sound being recorded, and when each picture of FFrames was taken
  // (CLOCK_MONOTONIC, ns), to line the two up.
  std::unique_ptr<TSoundCapture> FSound;
  std::vector<int64_t> FPictureTimes;
  // The finished sound's clock, and the frame time its file is lined up for.
  std::vector<TSoundClock> FSoundClock;
  int32_t FSoundFrameTime = 0;
  std::vector<TAnchored> FAnchored;
  bool FClosed = false;
  QString FLastSaveName;  // proposed again by the next export
  std::unique_ptr<TExportJob> FExport;  // goes before the writer it uses
  QTimer* FExportTimer = nullptr;
  bool FRecordWasEnabled = false;
  bool FAsking = false;  // the question about unreadable pictures is open
  bool FPaused = false;
  QDateTime FPausedAt;
  int64_t FPausedMs = 0;  // of the recording so far
  std::chrono::steady_clock::time_point FLastExportEnd{};
  QString FNameSuffix;  // of the name in the save dialog, with its dot
  std::unique_ptr<TGlobalKeys> FGlobalKeys;
  QSocketNotifier* FKeysNotifier = nullptr;
  QString FHotkeyProblem;
  bool FHotkeysBound = false;  // the start/stop hotkey works
  QTimer* FCountdownTimer = nullptr;
  int FCountdownLeft = 0;  // seconds
  bool FCountdownOverArea = false;  // no room beside the area
  bool FHiddenForRecording = false;
  int FWaiting = 0;  // waits for the desktop under way (its consent, the hotkeys' binding)
};

inline const QString kAllFilesFilter = QStringLiteral("Alla filer (*.*)");

extern TMainForm* MainForm;

// "Disk space: 0  bytes (temp)", "Disk space: 12 kb (temp)", "Disk space: 3 MB (temp)".
QString SizeLabelText(int64_t bytes);
// Hours (of the day part), minutes, seconds and milliseconds of an elapsed time.
QString ElapsedText(int64_t milliseconds);
