#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/types.h"
#include "image/bitmap.h"
#include "platform/recording_folder.h"
#include "platform/sound_capture.h"

// Where the recording stands. Each change is one method of
// TRecordingSession; a change the state does not allow is refused.
enum class TSessionState {
  Idle,          // nothing runs; the last recording's pictures may wait to be saved
  CountingDown,  // the countdown before the first picture
  Recording,     // a picture at every tick
  Paused,        // no pictures, and the time does not count, until resumed
  Halted,        // a picture failed: nothing is taken until the user stops
  Exporting      // the pictures are being saved as a video
};

const char* StateName(TSessionState state);

// What a new recording starts from.
struct TRecordingStart {
  int64_t Started = 0;    // wall clock, ms since 1970-01-01 UTC: for the journal
  int64_t Now = 0;        // monotonic clock, ns: where the recorded time starts
  int32_t FrameTime = 0;  // ms from one picture to the next
  TRect Area;             // in screen pixels, corners in order
  TSoundSource Sound = TSoundSource::None;
};

// One recording behind the main window, without any window: its pictures
// (a file each in the recording's private folder, with the journal that
// lets a crash lose nothing), when each was taken, the sound recorded
// with them and how it lines up, the time spent paused, and the state.
class TRecordingSession {
 public:
  using TSoundStarter = std::function<std::unique_ptr<TSoundCapture>(TSoundSource, const std::string& path)>;

  // The sound is started by startSound; the desktop's sound server by default.
  explicit TRecordingSession(TSoundStarter startSound = &TSoundCapture::Start);
  // Stops the sound; the folder stays where Clear did not remove it, as
  // after a crash, to be offered again.
  ~TRecordingSession();
  TRecordingSession(const TRecordingSession&) = delete;
  TRecordingSession& operator=(const TRecordingSession&) = delete;

  TSessionState State() const { return FState; }
  // From the countdown until the user stops: the area must stay as it is.
  bool Running() const;

  // The transitions. Each returns false, and changes nothing, when the
  // state does not allow it.
  // Idle -> CountingDown.
  bool StartCountdown();
  // CountingDown -> Idle: nothing was recorded; the recording before stays.
  bool CancelCountdown();
  // Idle or CountingDown -> Recording: a new folder (and the sound, when a
  // source is chosen) first, then the recording before is deleted. Raises,
  // leaving everything as it was, when the folder or the sound cannot be had.
  bool Begin(const TRecordingStart& start);
  // Recording <-> Paused, at the monotonic time now (ns).
  bool Pause(int64_t now);
  bool Resume(int64_t now);
  // Recording -> Halted: a picture could not be taken or kept.
  bool Halt();
  // Recording, Paused or Halted -> Idle. The sound is completed and the part
  // that goes with the pictures, at frameTime ms a picture, is written
  // beside them (not for a frameTime of 0: the recording is about to go);
  // what went wrong with it waits in TakeSoundFailure.
  bool Stop(int32_t frameTime);
  // Idle with pictures -> Exporting; target is noted in the journal first,
  // so that after a crash what the save half-wrote beside it is found.
  // Raises, staying Idle, when the journal cannot be written.
  bool BeginExport(const std::string& target);
  // Exporting -> Idle. A video that was saved takes the recording with it;
  // otherwise the recording stays for another try.
  bool EndExport(bool saved);
  // Idle -> Idle with a recording that a program which died left behind in
  // place of the one there.
  bool Adopt(std::unique_ptr<TRecordingFolder> recording);
  // Idle -> Idle without a recording: every picture, the journal and the
  // sound deleted.
  bool Clear();

  // While Recording: stores the picture as the next one, taken at takenAt
  // (monotonic, ns), and returns its path; the journal follows the frame
  // time. Raises when it cannot be stored (nothing is left of it then).
  // Also while Halted, for the picture of the tick whose failure halted
  // the recording after the picture was taken: it is kept as far as it
  // got. Refused with an empty path in any other state.
  std::string AddPicture(const TBitmap& picture, bool jpeg, int64_t takenAt, int32_t frameTime);

  // The pictures' files, in capture order.
  const std::vector<std::string>& Frames() const { return FFrames; }
  int32_t FrameCount() const { return static_cast<int32_t>(FFrames.size()); }
  // When each picture was taken (monotonic, ns); empty for an adopted one.
  const std::vector<int64_t>& PictureTimes() const { return FPictureTimes; }
  // The size of the first picture's file, 0 before there is one.
  int64_t FrameSize() const { return FFrameSize; }
  // What all the pictures' files take on the disk, measured.
  int64_t BytesOnDisk() const;
  // Milliseconds recorded at now (monotonic, ns), the pauses left out.
  int64_t RecordedTime(int64_t now) const;
  // The frame time an adopted recording was made at; 0 for one made here.
  int32_t RecordedFrameTime() const { return FRecordedFrameTime; }
  // The area of the recording, as its journal keeps it.
  TRect Area() const;
  // The recording's folder, while there is one.
  const TRecordingFolder* Folder() const { return FFolder.get(); }

  // While sound is recorded with the pictures.
  bool HasSound() const { return FSound != nullptr; }
  // Whether the recording, finished or recovered, has sound to save with it.
  bool HasRecordedSound() const { return !FSoundClock.empty(); }
  // The loudest sound since the last call, 0 to 1.
  float TakeSoundLevel();
  // What became of the sound, once each; empty when nothing more to say.
  std::string TakeSoundFailure();
  // The sound that goes with the pictures at frameTime ms a picture, lined
  // up afresh when the rate changed; empty when the recording has none.
  std::string AlignedSound(int32_t frameTime);

 private:
  void FinishSound(int32_t frameTime);
  // Notes the points of clock the journal does not have yet.
  void JournalSoundClock(const std::vector<TSoundClock>& clock);
  void Forget();

  TSoundStarter FStartSound;
  TSessionState FState = TSessionState::Idle;
  std::unique_ptr<TRecordingFolder> FFolder;
  std::vector<std::string> FFrames;
  std::vector<int64_t> FPictureTimes;
  int64_t FFrameSize = 0;
  int32_t FRecordedFrameTime = 0;
  int64_t FStarted = 0;      // monotonic ns
  int64_t FPausedAt = 0;     // monotonic ns, while paused
  int64_t FPausedTotal = 0;  // ns
  std::unique_ptr<TSoundCapture> FSound;
  std::vector<TSoundClock> FSoundClock;  // of the finished sound
  size_t FJournaledClock = 0;            // points of the sound's clock in the journal
  int64_t FClockLookedAt = 0;            // when the sound's clock was last looked at (monotonic ns)
  int32_t FSoundFrameTime = 0;           // the frame time its aligned file is for
  std::deque<std::string> FSoundFailures;
};

// The sound as it came, and lined up with the pictures, in the recording's folder.
constexpr const char* kCapturedSound = "sound-captured.wav";
constexpr const char* kAlignedSound = "sound.wav";

// What the main window offers in a state: which buttons can be pressed,
// what the tray shows and offers, what the hotkeys do and which state text
// the window shows.
struct TControlStates {
  bool SetArea = false, Start = false, Stop = false, Save = false, Settings = false;
  bool Pause = false;          // the pause action (and its key) can be used
  bool Resumes = false;        // it reads "Resume recording"
  bool CancelsExport = false;  // the Save button reads "Cancel export"
  bool SoundLevel = false;     // the sound level bar shows
  // The state's own text for the progress label; null where the last
  // event's text ("Done...", "Cancelled...") stays.
  const char* Progress = nullptr;
  const char* TrayIcon = "pelimar";  // a picture of the program's resources
  const char* TrayTip = "Pelimar";
  enum class TKey { None, Start, Stop };
  // The start/stop hotkey, and the tray's first item ("Start recording"
  // or "Stop recording", disabled for None).
  TKey StartStop = TKey::None;
};

// The window's controls for a state, with an area set (a rectangle of
// non-zero width and height) or not, and pictures to save or not.
TControlStates ControlsFor(TSessionState state, bool areaSet, bool hasPictures, bool hasSound);
