#pragma once

#include <atomic>
#include <deque>
#include <future>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "image/yuv420.h"

class TRecordingFolder;
class TAviFileWriter;

// Stores one picture of a recording as a new file "daw<number>.jpg" (JPEG)
// or ".bmp" (BMP) in the recording's folder and returns its path. The file
// is made exclusively, so a picture never replaces another file; a failure
// leaves no file behind.
std::string StorePicture(TRecordingFolder& folder, const TBitmap& picture, bool jpeg);

// A picture of a recording as read: its pixels, or the YCbCr planes of a
// JPEG file where those were asked for and the file has them as 4:2:0.
struct TSequencePicture {
  TBitmap Bitmap;
  TYuv420Picture Yuv;
  bool Empty() const { return Bitmap.Empty() && Yuv.Empty(); }
};

// The pictures of a recording in order, each read as what its file holds
// (JPEG pictures in jpegFormat, or as their planes with jpegPlanes), the
// next ones decoded on other threads while the current one is used. A
// picture that cannot be read (gone, damaged) is replaced by the one before
// it, or at the start by the first one that can be read, so the video
// keeps its timing.
class TPictureSequence {
 public:
  TPictureSequence(const std::vector<std::string>& frames, TPixelFormat jpegFormat, bool jpegPlanes = false);
  ~TPictureSequence();
  TPictureSequence(const TPictureSequence&) = delete;
  TPictureSequence& operator=(const TPictureSequence&) = delete;

  // Reads up to the first picture that can be read; false when none can.
  bool Start();
  // The picture of the next frame, which stays as it is until Next is
  // called twice more; one call for each of the frames, after Start.
  const TSequencePicture& NextPicture();
  // The same as pixels, in a sequence read without jpegPlanes.
  const TBitmap& Next() { return NextPicture().Bitmap; }
  // How many pictures were replaced so far.
  size_t Unreadable() const { return FUnreadable; }

 private:
  TSequencePicture Take();
  void Fill();

  const std::vector<std::string>& FFrames;
  TPixelFormat FFormat;
  bool FPlanes;
  std::deque<std::future<TSequencePicture>> FAhead;
  size_t FNext = 0;  // the next picture to decode
  TSequencePicture FCurrent;
  TSequencePicture FPrevious;  // the picture before, still in use by its reader
  TSequencePicture FSpare;     // one no longer in use, whose memory the next decode takes
  size_t FWaiting = 0;  // frames before the first readable picture not yet given out
  bool FFirstGiven = false;
  std::atomic<size_t> FUnreadable{0};
};

// The size of the first of the pictures that can be read: a video's size.
// False when none can be.
bool FirstPictureSize(const std::vector<std::string>& frames, TPoint& size);

// Hands the writer every picture of a recording, in order, each read as
// what its file holds. A picture that cannot be read (gone, damaged) is
// replaced by the one before it, or at the start by the first one that
// can be read, so the video keeps its timing. Returns how many were
// replaced; when none can be read, nothing is added and all are counted.
size_t AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames);
