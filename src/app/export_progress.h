#pragma once

#include <QObject>
#include <QProgressBar>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "export_job.h"
#include "writer/AviFileWriter.h"

class QWidget;
class TImageBox;
class TRecordingSession;

// How a recording is to be saved, as the settings stand when Save is pressed.
struct TExportChoice {
  std::string File;
  int32_t FrameTime = 0;  // the rate now, unless the recording brought its own
  TPixelFormat PixelFormat = pf32bit;
  std::string Compression;  // its FourCC; empty for none
};

// Sets the writer up for saving the session's recording: the video takes
// the size of the first picture that can be read and the sound lined up
// with the pictures. Raises, leaving the writer with nothing open and its
// frame size as it was, when the recording cannot be saved so (a depth or
// compressor that does not fit, no picture that can be read).
void PrepareWriter(TAviFileWriter& writer, TRecordingSession& session, const TExportChoice& choice);
// The same for a video for sharing: its size from the first picture that
// can be read, the sound lined up with the pictures where the format
// carries sound. Raises when no picture can be read.
TShareOptions PrepareShare(TRecordingSession& session, const TExportChoice& choice, TVideoFormat format,
                           TVideoQuality quality);

// A video being saved, as the window shows it: the bar and the preview
// follow the export's thread ten times a second, the label says whether
// pictures are compressed or the file is written, and the question about
// unreadable pictures is asked over the window.
class TExportProgress : public QObject {
  Q_OBJECT

 public:
  TExportProgress(QWidget* window, QProgressBar* bar, TImageBox* preview);

  // Says what the export is doing: "Compressing...", "Writing file...".
  std::function<void(const QString&)> OnNote;
  // Called with the job once its thread has ended; Running() is false by then.
  std::function<void(const TExportJob&)> OnEnded;

  void Start(TAviFileWriter& writer, const std::vector<std::string>& frames);
  void Start(const TShareOptions& share, const std::string& target, const std::vector<std::string>& frames);
  bool Running() const { return FJob != nullptr; }
  // The export running, or null.
  const TExportJob* Job() const { return FJob.get(); }
  void Cancel();
  // Lets the window run until the export has ended.
  void Wait();
  // Ends a job whose thread is over: the window takes its outcome at once.
  void Finish();
  std::chrono::steady_clock::time_point LastEnd() const { return FLastEnd; }
  // The writer's progress report, from the export's thread.
  void Progress(int32_t frameCount, bool& abort);

 private:
  void Tick();
  void Begin(std::unique_ptr<TExportJob> job, size_t frames);

  QWidget* FWindow;
  QProgressBar* FBar;
  TImageBox* FPreview;
  QTimer* FTimer;
  std::unique_ptr<TExportJob> FJob;
  bool FCompressed = false;
  bool FAsking = false;  // the question about unreadable pictures is open
  std::chrono::steady_clock::time_point FLastEnd{};
};
