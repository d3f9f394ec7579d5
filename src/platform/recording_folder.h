#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/types.h"
#include "platform/sound_capture.h"

// Where a recording lives while it is made and until it is saved: a folder
// of its own, private to the user, that holds its pictures, its journal,
// its sound and the writer's intermediate file. A lock on the folder shows
// that the program that owns it is alive; a folder whose lock is free belongs to a
// program that ended without clearing it (killed, crashed, its X server
// gone, a power cut), and its recording can be offered back.
//
// Every folder is inside one parent per user, pelimar-<uid>, under $TMPDIR
// when that is set and else under /var/tmp (on disk, where /tmp is often
// memory). The parent and each folder are mode 0700; every file in them is
// created exclusively, never through a symbolic link, with mode 0600.
// When another user has taken the name pelimar-<uid> first (with a link, a
// file or a folder of theirs), the parent is pelimar-<uid>-XXXXXX beside
// it, made by mkdtemp, so that no one can take the name in advance.

// The parent of this user's recording folders, ending in "/", made when it
// is missing. Raises, saying what is wrong, when it cannot be made or when
// this user's own pelimar-<uid> lets others in (wider permissions).
std::string RecordingsFolder();
// Every parent of this user's that may hold recordings: pelimar-<uid> and
// each pelimar-<uid>-XXXXXX, when it is a real folder of this user's that
// no one else may enter.
std::vector<std::string> RecordingsFolders();

// What a recording's journal holds: written as the recording goes, read
// back when a recording is offered after a crash.
struct TRecordingJournal {
  int64_t Started = 0;    // milliseconds since 1970-01-01 UTC
  int32_t FrameTime = 0;  // milliseconds from one picture to the next
  TRect Area;             // the screen area recorded, in screen pixels
  std::vector<std::string> Pictures;  // full paths, in capture order
  // When each picture was taken (monotonic clock, ns), as many as Pictures;
  // none when the journal has none. A time a crash cut off is guessed from
  // the picture before it and the frame time.
  std::vector<int64_t> PictureTimes;
  std::vector<TSoundClock> SoundClock;  // the sound's clock, as far as it came
  std::vector<std::string> Targets;     // files that a save of it was begun into
  bool Saved = false;                   // a save of it was complete before its pictures were deleted
};

// A journal's text into journal: pictures are named inside folder (ending
// in "/"); nextNumber becomes one past the highest picture number named.
// False when the text is not a journal of ours. A last line without its
// line break was cut short by the end of its writer: left out.
bool ParseJournal(std::string_view text, const std::string& folder, TRecordingJournal& journal,
                  uint64_t& nextNumber);

class TRecordingFolder {
 public:
  // A new recording folder with its journal begun and its lock held.
  static std::unique_ptr<TRecordingFolder> Create(int64_t started, int32_t frameTime, const TRect& area);
  // The folders of recordings whose program has gone, oldest first, each
  // locked now by this process. Folders with no picture left to save, the
  // remains of one whose making was cut short and those of one that was
  // saved among them, are deleted on the way.
  static std::vector<std::unique_ptr<TRecordingFolder>> Abandoned();

  // Lets go of the lock; the folder stays unless Remove ran.
  ~TRecordingFolder();
  TRecordingFolder(const TRecordingFolder&) = delete;
  TRecordingFolder& operator=(const TRecordingFolder&) = delete;

  // The folder's path, ending in "/".
  const std::string& Path() const { return FPath; }
  const TRecordingJournal& Journal() const { return FJournal; }

  // A new, empty file "daw<number><extension>" for the next picture. The
  // numbers only grow, so no name is ever searched for.
  std::string NewPictureFile(const std::string& extension);
  // Journal entries, each on the disk (in the system's cache) when the call
  // returns; a picture is noted once its file is complete, with when it was
  // taken (monotonic clock, ns; 0: not known), a target once.
  void AddPicture(const std::string& path, int64_t takenAt = 0);
  // Points of the sound's clock, noted as they come: with the pictures'
  // times, what lines a recovered recording's sound up with its pictures.
  void AddSoundClock(const std::vector<TSoundClock>& points);
  void SetFrameTime(int32_t frameTime);
  void SetArea(const TRect& area);
  // A save of the recording is about to write target.
  void AddTarget(const std::string& target);
  // A save of it is complete: whatever is left of it after a crash from
  // here on is no recording to offer back, but to remove.
  void MarkSaved();

  // Deletes what a program that died while exporting left half-written:
  // the writer's intermediate file and the temporary files beside the
  // targets of its saves (those no live save holds).
  void RemoveLeftovers();
  // Deletes the folder with all it holds. The object then holds nothing.
  void Remove();

 private:
  TRecordingFolder(std::string path, int lock);
  void Append(const std::string& line);

  std::string FPath;
  int FLock = -1;
  int FJournalFile = -1;
  uint64_t FNextNumber = 1;
  TRecordingJournal FJournal;
};

// The name of the writer's intermediate file inside a recording folder.
constexpr const char* kIntermediateFileName = "~AWTemp.avi";
