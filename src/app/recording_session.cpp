#include "recording_session.h"

#include <sys/stat.h>

#include "base/exception.h"
#include "base/file.h"
#include "frame_store.h"

const char* StateName(TSessionState state) {
  switch (state) {
    case TSessionState::Idle:
      return "Idle";
    case TSessionState::CountingDown:
      return "CountingDown";
    case TSessionState::Recording:
      return "Recording";
    case TSessionState::Paused:
      return "Paused";
    case TSessionState::Halted:
      return "Halted";
    case TSessionState::Exporting:
      return "Exporting";
  }
  return "?";
}

TRecordingSession::TRecordingSession(TSoundStarter startSound) : FStartSound(std::move(startSound)) {}

TRecordingSession::~TRecordingSession() {
  if (FSound) {
    try {
      FSound->Stop();
    } catch (const Exception&) {
      // What was written stays in the folder for the next start.
    }
  }
}

bool TRecordingSession::Running() const {
  return FState == TSessionState::CountingDown || FState == TSessionState::Recording ||
         FState == TSessionState::Paused || FState == TSessionState::Halted;
}

bool TRecordingSession::StartCountdown() {
  if (FState != TSessionState::Idle) return false;
  FState = TSessionState::CountingDown;
  return true;
}

bool TRecordingSession::CancelCountdown() {
  if (FState != TSessionState::CountingDown) return false;
  FState = TSessionState::Idle;
  return true;
}

bool TRecordingSession::Begin(const TRecordingStart& start) {
  if (FState != TSessionState::Idle && FState != TSessionState::CountingDown) return false;
  // Everything the new recording needs comes first: when it cannot be had,
  // the recording before is still there.
  std::unique_ptr<TRecordingFolder> folder =
      TRecordingFolder::Create(start.Started, start.FrameTime, start.Area);
  std::unique_ptr<TSoundCapture> sound;
  if (start.Sound != TSoundSource::None) {
    try {
      // The sound starts before the first picture; what comes before that
      // is cut when the recording stops.
      sound = FStartSound(start.Sound, folder->Path() + kCapturedSound);
    } catch (...) {
      folder->Remove();
      throw;
    }
  }
  Forget();
  FFolder = std::move(folder);
  FSound = std::move(sound);
  FStarted = start.Now;
  FPausedTotal = 0;
  FState = TSessionState::Recording;
  return true;
}

bool TRecordingSession::Pause(int64_t now) {
  if (FState != TSessionState::Recording) return false;
  FPausedAt = now;
  FState = TSessionState::Paused;
  return true;
}

bool TRecordingSession::Resume(int64_t now) {
  if (FState != TSessionState::Paused) return false;
  FPausedTotal += now - FPausedAt;
  FState = TSessionState::Recording;
  return true;
}

bool TRecordingSession::Halt() {
  if (FState != TSessionState::Recording) return false;
  FState = TSessionState::Halted;
  return true;
}

bool TRecordingSession::Stop(int32_t frameTime) {
  if (FState != TSessionState::Recording && FState != TSessionState::Paused &&
      FState != TSessionState::Halted)
    return false;
  FState = TSessionState::Idle;
  FinishSound(frameTime);
  return true;
}

bool TRecordingSession::BeginExport(const std::string& target) {
  if (FState != TSessionState::Idle || FFrames.empty() || !FFolder) return false;
  FFolder->AddTarget(target);
  FState = TSessionState::Exporting;
  return true;
}

bool TRecordingSession::EndExport(bool saved) {
  if (FState != TSessionState::Exporting) return false;
  FState = TSessionState::Idle;
  if (!saved) return true;
  try {
    // Said before the pictures go: a crash while they are deleted leaves
    // no recording to offer as not saved.
    FFolder->MarkSaved();
  } catch (const Exception&) {
    // Offered once more after such a crash, at worst.
  }
  Forget();
  return true;
}

bool TRecordingSession::Adopt(std::unique_ptr<TRecordingFolder> recording) {
  if (FState != TSessionState::Idle || !recording) return false;
  Forget();
  FFrames = recording->Journal().Pictures;
  FRecordedFrameTime = recording->Journal().FrameTime;
  // With the pictures' times and the sound's clock, its sound is lined up
  // as a recording's that stopped the usual way.
  FPictureTimes = recording->Journal().PictureTimes;
  FSoundClock = recording->Journal().SoundClock;
  FJournaledClock = FSoundClock.size();
  FFolder = std::move(recording);
  return true;
}

bool TRecordingSession::Clear() {
  if (FState != TSessionState::Idle) return false;
  Forget();
  return true;
}

void TRecordingSession::Forget() {
  FSound.reset();  // its file goes with the folder
  FSoundClock.clear();
  FJournaledClock = 0;
  FClockLookedAt = 0;
  FSoundFrameTime = 0;
  FSoundFailures.clear();
  for (const std::string& path : FFrames) DeleteFileQuietly(path);
  FFrames.clear();
  FPictureTimes.clear();
  // The journal, the lock and anything else the recording kept go with it.
  if (FFolder) FFolder->Remove();
  FFolder.reset();
  FFrameSize = 0;
  FRecordedFrameTime = 0;
}

std::string TRecordingSession::AddPicture(const TBitmap& picture, bool jpeg, int64_t takenAt,
                                          int32_t frameTime) {
  if (FState != TSessionState::Recording && FState != TSessionState::Halted) return std::string();
  // The journal follows what a recovered export needs: the newest rate.
  if (FFolder->Journal().FrameTime != frameTime) FFolder->SetFrameTime(frameTime);
  const std::string path = StorePicture(*FFolder, picture, jpeg);
  try {
    if (FFrameSize == 0) {
      TFile file(path, TFile::TMode::Read);
      FFrameSize = static_cast<int64_t>(file.Size());
    }
    FFolder->AddPicture(path, takenAt);
  } catch (...) {
    DeleteFileQuietly(path);  // not in the list, so nothing else would delete it
    throw;
  }
  FFrames.push_back(path);
  FPictureTimes.push_back(takenAt);
  // The sound's clock gains a point about once a second: looked at as
  // often, so that a crash leaves the journal all a recovered recording's
  // sound needs.
  if (FSound && takenAt - FClockLookedAt >= 500000000) {
    FClockLookedAt = takenAt;
    try {
      JournalSoundClock(FSound->Clock());
    } catch (const Exception&) {
      // Noted with the next picture, or at the stop.
    }
  }
  return path;
}

void TRecordingSession::JournalSoundClock(const std::vector<TSoundClock>& clock) {
  if (!FFolder || clock.size() <= FJournaledClock) return;
  FFolder->AddSoundClock(std::vector<TSoundClock>(clock.begin() + static_cast<ptrdiff_t>(FJournaledClock), clock.end()));
  FJournaledClock = clock.size();
}

int64_t TRecordingSession::BytesOnDisk() const {
  int64_t bytes = 0;
  for (const std::string& path : FFrames) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) bytes += st.st_size;
  }
  return bytes;
}

int64_t TRecordingSession::RecordedTime(int64_t now) const {
  if (FState == TSessionState::Paused) now = FPausedAt;
  const int64_t recorded = (now - FStarted - FPausedTotal) / 1000000;
  return recorded < 0 ? 0 : recorded;
}

TRect TRecordingSession::Area() const {
  return FFolder ? FFolder->Journal().Area : TRect();
}

float TRecordingSession::TakeSoundLevel() {
  return FSound ? FSound->TakeLevel() : 0.0f;
}

std::string TRecordingSession::TakeSoundFailure() {
  if (FSound)
    if (std::string failure = FSound->TakeFailure(); !failure.empty()) FSoundFailures.push_back(failure);
  if (FSoundFailures.empty()) return std::string();
  std::string failure = FSoundFailures.front();
  FSoundFailures.pop_front();
  return failure;
}

void TRecordingSession::FinishSound(int32_t frameTime) {
  if (!FSound) return;
  std::unique_ptr<TSoundCapture> sound = std::move(FSound);
  try {
    sound->Stop();
    if (std::string failure = sound->TakeFailure(); !failure.empty()) FSoundFailures.push_back(failure);
    FSoundClock = sound->Clock();
    sound.reset();
    try {
      JournalSoundClock(FSoundClock);
    } catch (const Exception&) {
      // Only a recovery after a crash would have needed the rest.
    }
    if (frameTime > 0) AlignedSound(frameTime);
  } catch (const Exception& e) {
    // The pictures stay; the video goes without sound.
    FSoundClock.clear();
    if (FFolder) DeleteFileQuietly(FFolder->Path() + kAlignedSound);
    FSoundFailures.push_back("The recording's sound is lost: " + e.Message());
  }
}

std::string TRecordingSession::AlignedSound(int32_t frameTime) {
  if (!FFolder) return std::string();
  const std::string path = FFolder->Path() + kAlignedSound;
  // Lined up afresh when the rate changed since: each picture's sound lasts
  // as long as the picture does in the video.
  if (frameTime != FSoundFrameTime && !FSoundClock.empty() && FPictureTimes.size() == FFrames.size() &&
      !FPictureTimes.empty()) {
    DeleteFileQuietly(path);
    FSoundFrameTime = 0;
    AlignSound(FFolder->Path() + kCapturedSound, FSoundClock, FPictureTimes, frameTime, path);
    FSoundFrameTime = frameTime;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? path : std::string();
}

TControlStates ControlsFor(TSessionState state, bool areaSet, bool hasPictures, bool hasSound) {
  using TKey = TControlStates::TKey;
  TControlStates c;
  switch (state) {
    case TSessionState::Idle:
      c.SetArea = c.Settings = true;
      c.Start = areaSet;
      c.Save = hasPictures;
      c.StartStop = areaSet ? TKey::Start : TKey::None;
      break;
    case TSessionState::CountingDown:
      c.Settings = c.Stop = true;
      c.Progress = "Starting...";
      c.TrayIcon = "record";
      c.TrayTip = "Pelimar: starting";
      c.StartStop = TKey::Stop;
      break;
    case TSessionState::Recording:
    case TSessionState::Paused: {
      const bool paused = state == TSessionState::Paused;
      c.Settings = c.Stop = c.Pause = true;
      c.Resumes = paused;
      c.SoundLevel = hasSound;
      c.Progress = paused ? "Paused..." : "";
      c.TrayIcon = paused ? "pause" : "record";
      c.TrayTip = paused ? "Pelimar: paused" : "Pelimar: recording";
      c.StartStop = TKey::Stop;
      break;
    }
    case TSessionState::Halted:
      // The error said why; Stop ends the recording with what it has.
      c.Settings = c.Stop = true;
      c.Progress = "";
      c.TrayTip = "Pelimar: recording stopped by an error";
      c.StartStop = TKey::Stop;
      break;
    case TSessionState::Exporting:
      // What would change the recording or the writer waits; Save cancels.
      c.Save = c.CancelsExport = true;
      c.TrayTip = "Pelimar: saving a video";
      break;
  }
  return c;
}
