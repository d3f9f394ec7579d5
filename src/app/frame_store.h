#pragma once

#include <string>
#include <vector>

#include "image/bitmap.h"

class TRecordingFolder;
class TAviFileWriter;

// Stores one picture of a recording as a new file "daw<number>.jpg" (JPEG)
// or ".bmp" (BMP) in the recording's folder and returns its path. The file
// is made exclusively, so a picture never replaces another file; a failure
// leaves no file behind.
std::string StorePicture(TRecordingFolder& folder, const TBitmap& picture, bool jpeg);

// Hands the writer every picture of a recording, in order, each read as
// what its file holds. A picture that cannot be read (gone, damaged) is
// replaced by the one before it, or at the start by the first one that
// can be read, so the video keeps its timing. Returns how many were
// replaced; when none can be read, nothing is added and all are counted.
size_t AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames);
