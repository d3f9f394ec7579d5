#include "frame_store.h"

#include <functional>

#include "base/exception.h"
#include "base/file.h"
#include "image/picture_files.h"
#include "platform/recording_folder.h"
#include "writer/AviFileWriter.h"

std::string StorePicture(TRecordingFolder& folder, const TBitmap& picture, bool jpeg) {
  const std::string path = folder.NewPictureFile(jpeg ? ".jpg" : ".bmp");
  try {
    if (jpeg)
      SaveJpegFile(picture, path);
    else
      SaveBmpFile(picture, path);
  } catch (...) {
    DeleteFileQuietly(path);  // the empty name made for it, too
    throw;
  }
  return path;
}

TPictureSequence::TPictureSequence(const std::vector<std::string>& frames, TPixelFormat jpegFormat,
                                   bool jpegPlanes)
    : FFrames(frames), FFormat(jpegFormat), FPlanes(jpegPlanes) {}

// Decodes still running are waited for as their futures go.
TPictureSequence::~TPictureSequence() = default;

void TPictureSequence::Fill() {
  // Decoding costs more than writing a frame, so the next pictures are
  // decoded on other threads while the current one is used: at most
  // kAhead + 2 pictures are in memory at a time, the current one included.
  constexpr size_t kAhead = 2;
  // A picture that cannot be read comes back empty; other failures (no
  // memory) end the export.
  // A picture no longer in use lends its memory to the next one decoded,
  // which spares taking fresh memory, page by page, for every picture.
  while (FAhead.size() < kAhead && FNext < FFrames.size()) {
    auto load = [format = FFormat, planes = FPlanes, spare = std::move(FSpare)](const std::string& path) mutable {
      try {
        if (planes && LoadJpegYuv420File(path, spare.Yuv)) {
          spare.Bitmap = TBitmap();
        } else {
          spare.Yuv.Width = spare.Yuv.Height = 0;  // its memory stays for the next
          spare.Bitmap = LoadPictureFile(path, format, std::move(spare.Bitmap));
        }
        return std::move(spare);
      } catch (const Exception&) {
        return TSequencePicture();
      }
    };
    FSpare = TSequencePicture();
    FAhead.push_back(std::async(std::launch::async, std::move(load), std::cref(FFrames[FNext++])));
  }
}

TSequencePicture TPictureSequence::Take() {
  Fill();
  if (FAhead.empty()) return TSequencePicture();
  TSequencePicture picture = FAhead.front().get();
  FAhead.pop_front();
  Fill();
  return picture;
}

bool TPictureSequence::Start() {
  while (FNext < FFrames.size() || !FAhead.empty()) {
    TSequencePicture picture = Take();
    if (!picture.Empty()) {
      FCurrent = std::move(picture);
      return true;
    }
    ++FUnreadable;
    ++FWaiting;
  }
  return false;
}

const TSequencePicture& TPictureSequence::NextPicture() {
  if (FWaiting > 0) {
    --FWaiting;
    return FCurrent;
  }
  if (!FFirstGiven) {
    FFirstGiven = true;
    return FCurrent;
  }
  // The picture given out two calls ago is free now.
  FSpare = std::move(FPrevious);
  TSequencePicture picture = Take();
  if (picture.Empty()) {
    ++FUnreadable;
  } else {
    FPrevious = std::move(FCurrent);
    FCurrent = std::move(picture);
  }
  return FCurrent;
}

bool FirstPictureSize(const std::vector<std::string>& frames, TPoint& size) {
  for (const std::string& path : frames) {
    try {
      const TBitmap picture = LoadPictureFile(path);
      size = TPoint{picture.Width(), picture.Height()};
      return true;
    } catch (const Exception&) {
      // The next one, then.
    }
  }
  return false;
}

size_t AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames) {
  // A 32-bit video takes 32-bit pictures as they are.
  TPictureSequence sequence(frames, writer.PixelFormat() == pf32bit ? pf32bit : pf24bit);
  if (!sequence.Start()) return frames.size();
  for (size_t i = 0; i < frames.size(); ++i) writer.AddFrame(sequence.Next());
  return sequence.Unreadable();
}
