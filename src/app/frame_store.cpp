#include "frame_store.h"

#include <deque>
#include <functional>
#include <future>

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

size_t AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames) {
  // A 32-bit video takes 32-bit pictures as they are.
  const TPixelFormat decoded = writer.PixelFormat() == pf32bit ? pf32bit : pf24bit;
  // A picture that cannot be read comes back empty; other failures (no
  // memory) end the export.
  auto load = [decoded](const std::string& path) {
    try {
      return LoadPictureFile(path, decoded);
    } catch (const Exception&) {
      return TBitmap();
    }
  };
  // Decoding costs more than writing a frame, so the next pictures are
  // decoded on other threads while the writer takes the current one: at
  // most kAhead + 2 pictures are in memory at a time, the one before
  // included. An error of the writer ends the loop; decodes still running
  // are waited for as their futures go.
  constexpr size_t kAhead = 2;
  std::deque<std::future<TBitmap>> ahead;
  size_t next = 0;
  auto fill = [&] {
    while (ahead.size() < kAhead && next < frames.size())
      ahead.push_back(std::async(std::launch::async, load, std::cref(frames[next++])));
  };
  fill();
  TBitmap previous;
  size_t unreadable = 0, waiting = 0;  // pictures before the first readable one
  while (!ahead.empty()) {
    TBitmap picture = ahead.front().get();
    ahead.pop_front();
    fill();
    if (picture.Empty()) {
      ++unreadable;
      if (previous.Empty())
        ++waiting;
      else
        writer.AddFrame(previous);
      continue;
    }
    for (; waiting > 0; --waiting) writer.AddFrame(picture);
    writer.AddFrame(picture);
    previous = std::move(picture);
  }
  return unreadable;
}
