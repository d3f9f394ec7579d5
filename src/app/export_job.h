#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "share/share_writer.h"
#include "writer/AviFileWriter.h"

// One export of a recording into a video, on a thread of its own so that
// the window stays responsive while it runs: an AVI file through the AVI
// writer, which, set up for the video, belongs to the job until the job
// has ended; or a video for sharing (MP4, WebM, GIF). The window shows
// what the job reports and passes the user's answers on.
class TExportJob {
 public:
  enum class TStage {
    Compressing,  // the pictures go into the file
    Writing,      // every picture is in; the file is being completed
    Asking,       // some pictures could not be read: export the others?
    Done,
    Cancelled,
    Failed
  };

  TExportJob(TAviFileWriter& writer, std::vector<std::string> frames);
  TExportJob(const TShareOptions& share, std::string target, std::vector<std::string> frames);
  // Cancels what still runs and waits for it.
  ~TExportJob();
  TExportJob(const TExportJob&) = delete;
  TExportJob& operator=(const TExportJob&) = delete;

  // Called on the job's thread as it ends.
  std::function<void()> OnEnded;

  void Start();
  // The export stops at its next frame and leaves no file behind.
  void Cancel();
  // Whether the thread has ended (Done, Cancelled or Failed).
  bool Ended() const { return FEnded; }
  void Wait();

  TStage Stage() const { return FStage; }
  // Whether the video is one for sharing, not an AVI file.
  bool Shared() const { return FWriter == nullptr; }
  int32_t FramesDone() const { return FFramesDone; }
  // The picture reached most recently, made small for a preview, when it
  // is newer than the one taken last; else an empty picture.
  TBitmap TakePreview();
  // While asking: how many pictures could not be read.
  size_t Unreadable() const { return FUnreadable; }
  void Answer(bool exportOthers);
  // What went wrong, when the export failed.
  std::string Failure() const;
  // The steady-clock time at which Cancel was called, and at which the
  // thread ended, for measuring how fast a cancel takes effect.
  std::chrono::steady_clock::time_point CancelledAt() const;
  std::chrono::steady_clock::time_point EndedAt() const;

  // The writer's progress report, from the writer's thread.
  void Progress(int32_t frameCount, bool& abort);

 private:
  class TShareFeed;

  void Run();
  // A picture on its way: the preview now and then, and at the last one
  // the question about pictures that could not be read. final: the
  // picture goes into the file (a GIF's first pass only looks).
  void Passing(int32_t index, const std::function<TBitmap()>& thumbnail, size_t unreadable, bool final);
  const TBitmap& Picture(int32_t index, const TBitmap& picture, size_t unreadable);

  TAviFileWriter* FWriter = nullptr;
  TShareOptions FShare;
  std::string FTarget;
  std::vector<std::string> FFrames;
  std::thread FThread;
  std::atomic<TStage> FStage{TStage::Compressing};
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FEnded{false};
  std::atomic<int32_t> FFramesDone{0};
  std::atomic<size_t> FUnreadable{0};
  mutable std::mutex FLock;  // guards what follows
  std::condition_variable FAnswered;
  bool FHasAnswer = false;
  bool FExportOthers = false;
  TBitmap FPreview;
  bool FPreviewFresh = false;
  std::chrono::steady_clock::time_point FLastPreview{};
  std::string FFailure;
  std::chrono::steady_clock::time_point FCancelledAt{};
  std::chrono::steady_clock::time_point FEndedAt{};
};
