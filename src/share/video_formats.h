#pragma once

#include <cstdint>
#include <string>

// The kinds of video a recording is saved as. AVI goes through the AVI
// writer with the compressor chosen in the settings; the others are made
// for sharing: MP4 and WebM through libavformat and libavcodec, GIF by a
// writer of our own.
enum class TVideoFormat : int32_t { Avi, Mp4, WebM, Gif };

// The format that a file name's extension names, the case ignored; false
// when it names none of them.
bool FormatOfName(const std::string& path, TVideoFormat& format);
// Its extension, without the dot: "avi", "mp4", "webm", "gif".
const char* FormatExtension(TVideoFormat format);

// How the sharing formats trade size for sharpness, as the settings keep it.
enum class TVideoQuality : int32_t { SmallFile = 0, Balanced = 1, Sharp = 2 };
