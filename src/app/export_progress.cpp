#include "export_progress.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>

#include "base/exception.h"
#include "frame_store.h"
#include "image_box.h"
#include "qt_support.h"
#include "recording_session.h"

void PrepareWriter(TAviFileWriter& writer, TRecordingSession& session, const TExportChoice& choice) {
  const int32_t width = writer.Width(), height = writer.Height();
  try {
    writer.SetCompressOnTheFly(false);
    writer.SetStretch(false);
    writer.SetFrameTime(choice.FrameTime);
    writer.Setfilename(choice.File);
    writer.SetPixelFormat(choice.PixelFormat);
    writer.SetTempFolder(session.Folder()->Path());
    // The sound lined up with the pictures, taken from its first sample.
    writer.SetWavFileName(session.AlignedSound(writer.FrameTime()));
    TPoint size{};
    if (!FirstPictureSize(session.Frames(), size))
      throw Exception("None of the " + std::to_string(session.FrameCount()) +
                      " pictures of the recording could be read");
    writer.SetWidth(size.X);
    writer.SetHeight(size.Y);
    // Checked against the frames as they will be, before anything is written.
    writer.SetCompression(choice.Compression);
  } catch (...) {
    // The recording stays for another try; the writer lets go of its files.
    writer.Discard();
    writer.SetWavFileName(std::string());
    writer.SetWidth(width);
    writer.SetHeight(height);
    throw;
  }
}

TShareOptions PrepareShare(TRecordingSession& session, const TExportChoice& choice, TVideoFormat format,
                           TVideoQuality quality) {
  TShareOptions options;
  options.Format = format;
  options.Quality = quality;
  options.FrameTime = choice.FrameTime;
  TPoint size{};
  if (!FirstPictureSize(session.Frames(), size))
    throw Exception("None of the " + std::to_string(session.FrameCount()) +
                    " pictures of the recording could be read");
  options.Width = size.X;
  options.Height = size.Y;
  // A GIF animation has no sound.
  if (format != TVideoFormat::Gif) options.SoundFile = session.AlignedSound(choice.FrameTime);
  return options;
}

TExportProgress::TExportProgress(QWidget* window, QProgressBar* bar, TImageBox* preview)
    : QObject(window), FWindow(window), FBar(bar), FPreview(preview) {
  FTimer = new QTimer(this);
  FTimer->setObjectName("ExportTimer");
  // Ten times a second, as often as the preview changes.
  FTimer->setInterval(100);
  connect(FTimer, &QTimer::timeout, this, [this] { Tick(); });
}

void TExportProgress::Start(TAviFileWriter& writer, const std::vector<std::string>& frames) {
  FCompressed = !writer.FourCC().empty();
  Begin(std::make_unique<TExportJob>(writer, frames), frames.size());
}

void TExportProgress::Start(const TShareOptions& share, const std::string& target,
                            const std::vector<std::string>& frames) {
  FCompressed = true;
  Begin(std::make_unique<TExportJob>(share, target, frames), frames.size());
}

void TExportProgress::Begin(std::unique_ptr<TExportJob> job, size_t frames) {
  FBar->setMaximum(static_cast<int>(frames));
  FBar->setValue(0);
  // Without a compressor, writing the file is all the export does.
  if (OnNote) OnNote(FCompressed ? "Compressing..." : "Writing file...");
  FJob = std::move(job);
  // The window hears of the end at once, not at its next tick.
  FJob->OnEnded = [this] {
    QMetaObject::invokeMethod(
        this, [this] { Tick(); }, Qt::QueuedConnection);
  };
  FJob->Start();
  FTimer->start();
}

void TExportProgress::Cancel() {
  if (FJob) FJob->Cancel();
}

void TExportProgress::Wait() {
  // Sleeps between events: the export's own timer wakes it up.
  QEventLoop loop;
  while (FJob) loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TExportProgress::Progress(int32_t frameCount, bool& abort) {
  if (FJob) FJob->Progress(frameCount, abort);
}

void TExportProgress::Tick() {
  if (!FJob) return;
  TExportJob& job = *FJob;
  FBar->setValue(job.FramesDone());
  if (const TBitmap preview = job.TakePreview(); !preview.Empty()) FPreview->SetPicture(ToQImage(preview));
  if (job.Stage() == TExportJob::TStage::Writing && FCompressed && OnNote) OnNote("Writing file...");
  if (job.Stage() == TExportJob::TStage::Asking && !FAsking) {
    // Nothing has reached the target yet: the user may still say no.
    FAsking = true;
    const QString question = QString("%1 of the %2 pictures could not be read. Export the others?")
                                 .arg(job.Unreadable())
                                 .arg(FBar->maximum());
    const bool others = QMessageBox::question(FWindow, QApplication::applicationName(), question,
                                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    FAsking = false;
    if (FJob) FJob->Answer(others);
  }
  if (FJob && FJob->Ended() && !FAsking) Finish();
}

void TExportProgress::Finish() {
  if (!FJob) return;
  FTimer->stop();
  const std::unique_ptr<TExportJob> job = std::move(FJob);
  job->Wait();
  FLastEnd = job->EndedAt();
  if (const TBitmap preview = job->TakePreview(); !preview.Empty()) FPreview->SetPicture(ToQImage(preview));
  if (OnEnded) OnEnded(*job);
}
