#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "image/bitmap.h"

// A fresh folder under the system's temporary folder, removed with all it
// holds when the test ends.
class TTempFolder {
 public:
  TTempFolder();
  ~TTempFolder();
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // The folder's path, ending in "/".
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + name; }

 private:
  std::string FPath;
};

// Runs a shell command and returns what it printed on standard output;
// raises std::runtime_error when the command exits with an error.
std::string RunCommand(const std::string& command);

// The whole of a file's bytes; empty when it cannot be read.
std::string ReadText(const std::string& path);

// How many frames ffprobe reads from the first video stream of a file.
int FrameCountOf(const std::string& path);
// What ffprobe says of that stream: codec_name, width, height, time_base
// and nb_read_frames, as "key=value" lines.
std::string ProbeVideo(const std::string& path);
// Frame index of a video as 24-bit BGR rows, top row first: the whole
// frame, or its top-left width x height (of a video padded to even sides).
std::string FrameBytes(const std::string& path, int index, int32_t width = 0, int32_t height = 0);
// A picture's pixels as FrameBytes gives a frame's.
std::string PictureBytes(const TBitmap& picture);
// The peak signal-to-noise ratio of two such pictures, in dB: 99 where they
// are the same, 0 where their sizes differ.
double Psnr(const std::string& a, const std::string& b);
// The seconds at which a video's mean colour changes (by more than a
// quarter of its range), from frame to frame of frameTime ms.
std::vector<double> ColourChanges(const std::string& video, int32_t frameTime);
// The seconds at which a click (a sample past a quarter of full scale,
// half a second or more after the last) starts in a video's sound.
std::vector<double> Clicks(const std::string& video);

// Sets an environment variable for the life of the object.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value);
  ~TScopedEnv();

 private:
  std::string FName;
  std::string FOld;
  bool FHadOld;
};

// While it lives, files of this process cannot grow past bytes: writes fail
// part way, as on a full disk.
class TFileSizeLimit {
 public:
  explicit TFileSizeLimit(unsigned long bytes);
  ~TFileSizeLimit();

 private:
  unsigned long FOld;
  void (*FOldSignal)(int);
};

// The message of the Exception that action raises, or "(nothing raised)".
std::string Message(const std::function<void()>& action);

// The picture files ("daw<hex>.jpg" or ".bmp") anywhere under folder, in
// the order they were taken: by folder, then by number. Files that the
// program deletes while they are listed are simply left out.
std::vector<std::string> PictureFilesUnder(const std::string& folder);

// Every file and folder under folder (itself not included), the same way.
std::vector<std::string> EverythingUnder(const std::string& folder);

// A small memory file system mounted at a fresh folder while the object
// lives: a disk that fills up for real. Mounting needs root; Mounted()
// tells whether it worked.
class TSmallDisk {
 public:
  explicit TSmallDisk(unsigned kilobytes);
  ~TSmallDisk();
  TSmallDisk(const TSmallDisk&) = delete;
  TSmallDisk& operator=(const TSmallDisk&) = delete;
  bool Mounted() const { return FMounted; }
  // The mount point, ending in "/".
  const std::string& Path() const { return FFolder.Path(); }

 private:
  TTempFolder FFolder;
  bool FMounted = false;
};

// A local user of the machine made for one test and removed with all its
// files when the object goes. Making users needs root; Made() tells.
class TTestUser {
 public:
  TTestUser();
  ~TTestUser();
  TTestUser(const TTestUser&) = delete;
  TTestUser& operator=(const TTestUser&) = delete;
  bool Made() const { return FUid != static_cast<uid_t>(-1); }
  uid_t Uid() const { return FUid; }
  gid_t Gid() const { return FGid; }
  // Runs action in a child process as this user; true when it returned
  // true and the child ended normally.
  bool Run(const std::function<bool()>& action) const;

 private:
  std::string FName;
  uid_t FUid = static_cast<uid_t>(-1);
  gid_t FGid = static_cast<gid_t>(-1);
};
