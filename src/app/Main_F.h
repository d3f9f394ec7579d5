#pragma once

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "desktop_access.h"
#include "image/bitmap.h"
#include "recording_session.h"
#include "save_dialog.h"
#include "stored_settings.h"
#include "writer/AviFileWriter.h"

class TImageBox;
class TTrayIcon;
class THotkeys;
class TCountdownForm;
class TExportProgress;
class TExportJob;

// The main window: an always-on-top tool window at the top right of the
// primary screen, from which the recording is driven. What the recording
// is doing is the session's state; the window shows it (ShowState) and
// turns the user's presses, keys and tray choices into its transitions.
class TMainForm : public QWidget {
  Q_OBJECT

 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;
  // The client size at which the controls have their design positions.
  static constexpr int kDesignWidth = 252, kDesignHeight = 533;

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
  QProgressBar* SoundLevel;  // how loud the recorded sound is, while there is sound
  QLabel* SavedLabel;        // where the last video went, with a link to its folder
  QTimer* RecordTimer;
  TSaveDialog* SaveDialog1;
  // The AVI writer, kept for the whole run.
  std::unique_ptr<TAviFileWriter> AviWriter;
  // "Pause recording" / "Resume recording": in the context menu of the
  // buttons' panel and of the Stop button, and in the tray's menu.
  QAction* PauseAction;
  TCountdownForm* Countdown;
  TTrayIcon* Tray;
  THotkeys* Hotkeys;
  TExportProgress* Export;

  void FormCreate();
  void FormClose();
  void SetAreaBtnClick();
  void RecordBtnClick();
  void StopRecordingBtnClick();
  // Pauses the recording, or resumes the paused one: no pictures meanwhile,
  // and the time shown counts recorded time only. The sound goes on being
  // captured; lining it up with the pictures leaves the pause out.
  void PauseRecordingClick();
  void SpeedButton3Click();
  void SpeedButton4Click();
  void SpeedButton5Click();
  void RecordTimerTimer();
  void SaveBtnClick();
  void AviWriterProgress(TAviFileWriter& Sender, int32_t FrameCount, bool& abort);
  // The settings in the per-user registry, under "software\quorvane\Sorvek".
  // LoadSettings sets the defaults first.
  void LoadSettings();
  void SaveSettings();
  void ClearFrames();
  void UpdateSizeLabel(int64_t bytes);

  // Shows the session's state: every button, the pause action, the tray,
  // the sound level bar and the state's text. Also after the area changed.
  void ShowState();
  // What each control offers now, from the state, the area and the pictures.
  TControlStates Controls() const;
  const TRecordingSession& Session() const { return FSession; }
  TSessionState State() const { return FSession.State(); }
  bool Paused() const { return State() == TSessionState::Paused; }
  bool CountingDown() const { return State() == TSessionState::CountingDown; }
  bool Exporting() const { return State() == TSessionState::Exporting; }

  // The tray's and the start/stop hotkey's way: starts a recording where
  // one can start, else stops the one running (or its countdown).
  void ToggleRecording();
  // A global hotkey by its name: "start-stop" or "pause-resume".
  void HotkeyPressed(const std::string& name);
  // Binds the hotkeys of the settings dialog, session-wide; says what
  // could not be bound, in the dialog and, for a taken key, at once.
  void BindHotkeys();

  void CancelExport();
  // Lets the window run until the export has ended.
  void WaitForExport();
  // When the last export's thread ended (its file complete or gone), on
  // the steady clock; before the recording was cleared away.
  std::chrono::steady_clock::time_point LastExportEnd() const;
  // Offers back, one after the other, the recordings that a program which
  // ended without clearing them left behind: save, discard, or later.
  void OfferAbandonedRecordings();

  // The recording: full paths of its pictures, in capture order.
  const std::vector<std::string>& Frames() const { return FSession.Frames(); }
  int FrameCount() const { return FSession.FrameCount(); }
  int64_t DiskUse() const { return FDiskUse; }
  TDesktopAccess& Desktop() { return FDesktop; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  friend class TestMainForm;
  friend class TestExport;

  // The controls and their places (main_controls.cpp).
  void CreateControls();
  // What the window has without a control of its own: the writer, the
  // save dialog, the timer, the countdown, the tray, the keys, the export.
  void CreateComponents();
  void PlaceControls();
  void CreateActions();
  void ConnectHandlers();
  struct TAnchored {
    QWidget* Control;
    QRect Design;
    int Anchors;
  };
  void Place(QWidget* control, int left, int top, int width, int height, int anchors);

  // Both report their own errors ("Error: " and the message, after the
  // timer is stopped). CaptureRect returns false when no picture exists.
  bool CaptureRect(const TRect& rect, TBitmap& picture);
  bool CaptureMonitor(TBitmap& picture);
  void CaptureFailed(const std::string& message);
  // What starts once the countdown, if any, is over.
  void BeginRecording();
  // A new recording starts from a clean window: no bar, preview or texts
  // of the last one.
  void CleanLabels();
  // Says what became of the recording's sound, without holding it up.
  void ShowSoundFailures();
  // The window goes while recording when the user wants it so and there
  // is a way back to it (the tray or the hotkey).
  void HideForRecording();
  void ShowAfterRecording();
  void ShowWindow();
  // False while a dialog or a wait for the desktop holds the window.
  bool Reachable();
  // Asks for the screen where the desktop wants the user's consent; the
  // toggle goes back up when it is refused or cannot be had.
  bool RequestScreen();
  // The export ended: the window and the session take its outcome.
  void ExportEnded(const TExportJob& job);
  void ShowSaved(const QString& file);
  // Makes a recording that a program which died left behind the current one.
  void Adopt(std::unique_ptr<TRecordingFolder> recording);
  TSettingsValues SettingsValues() const;

  TRecordingSession FSession;
  TDesktopAccess FDesktop;
  TStoredSettings FStored;
  int64_t FDiskUse = 0;
  std::vector<TAnchored> FAnchored;
  bool FClosed = false;
  QString FLastSaveName;  // proposed again by the next export
  QString FProgressNote;  // what the last event said in ProgressLabel ("Done...")
  bool FHiddenForRecording = false;
  int FWaiting = 0;  // waits for the desktop under way (its consent, the hotkeys' binding)
};

extern TMainForm* MainForm;

// "Disk space: 0  bytes (temp)", "Disk space: 12 kb (temp)", "Disk space: 3 MB (temp)".
QString SizeLabelText(int64_t bytes);
// Hours (of the day part), minutes, seconds and milliseconds of an elapsed time.
QString ElapsedText(int64_t milliseconds);
// "Pictures: 42 st."
QString PicturesText(int count);
