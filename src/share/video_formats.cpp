#include "share/video_formats.h"

#include <algorithm>
#include <cctype>

bool FormatOfName(const std::string& path, TVideoFormat& format) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (TVideoFormat f : {TVideoFormat::Avi, TVideoFormat::Mp4, TVideoFormat::WebM, TVideoFormat::Gif})
    if (extension == FormatExtension(f)) {
      format = f;
      return true;
    }
  return false;
}

const char* FormatExtension(TVideoFormat format) {
  switch (format) {
    case TVideoFormat::Mp4:
      return "mp4";
    case TVideoFormat::WebM:
      return "webm";
    case TVideoFormat::Gif:
      return "gif";
    default:
      return "avi";
  }
}
