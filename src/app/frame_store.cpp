#include "frame_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <future>

#include "Api_Funcs.h"
#include "base/exception.h"
#include "base/file.h"
#include "image/picture_files.h"
#include "writer/AviFileWriter.h"

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

namespace {

// Creates the file empty if no file has that name; false when one has.
bool ClaimName(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  if (errno == EEXIST) return false;
  throw Exception("Cannot create the picture file " + path + ": " + std::strerror(errno));
}

}  // namespace

std::string StorePicture(const TBitmap& picture, bool jpeg) {
  // The reserved names come back once their ".tmp" is deleted, while our
  // pictures keep the stems: a taken final name means another stem. There
  // are 65535 stems in all.
  for (int attempt = 0; attempt < 0x10000; ++attempt) {
    const std::string reserved = GetTempFile();
    for (int pass = 0; pass < 2; ++pass)
      if (FileExists(reserved)) DeleteFileQuietly(reserved);
    const std::string path = ChangeFileExt(reserved, jpeg ? ".jpg" : ".bmp");
    if (!ClaimName(path)) continue;
    // Save*File delete what they wrote when they fail.
    if (jpeg)
      SaveJpegFile(picture, path);
    else
      SaveBmpFile(picture, path);
    return path;
  }
  throw Exception("No free name is left for a new picture in " + GetTempDir());
}

void AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames) {
  const TPixelFormat decoded = writer.PixelFormat() == pf32bit ? pf32bit : pf24bit;
  auto load = [decoded](const std::string& path) { return LoadPictureFile(path, decoded); };
  // Decoding costs more than writing a frame, so the next pictures are
  // decoded on other threads while the writer takes the current one: at
  // most kAhead + 1 pictures are in memory at a time. An error of either
  // ends the loop; decodes still running are waited for as their futures go.
  constexpr size_t kAhead = 2;
  std::deque<std::future<TBitmap>> ahead;
  size_t next = 0;
  auto fill = [&] {
    while (ahead.size() < kAhead && next < frames.size())
      ahead.push_back(std::async(std::launch::async, load, std::cref(frames[next++])));
  };
  fill();
  while (!ahead.empty()) {
    TBitmap picture = ahead.front().get();
    ahead.pop_front();
    fill();
    writer.AddFrame(picture);
  }
}
