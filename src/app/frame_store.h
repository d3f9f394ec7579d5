#pragma once

#include <string>
#include <vector>

#include "image/bitmap.h"

// The path with its extension (the part after the last dot of the file
// name) replaced; ext includes its dot.
std::string ChangeFileExt(const std::string& path, const std::string& ext);

// Stores one picture of a recording as a new temporary file "daw<hex>.jpg"
// (JPEG) or ".bmp" (BMP) and returns its path. The name comes from
// GetTempFile, whose reserved ".tmp" file is deleted again; the final name
// is created exclusively, so a picture never replaces another file. A
// failure leaves no file behind.
std::string StorePicture(const TBitmap& picture, bool jpeg);

class TAviFileWriter;

// Hands the writer every picture of a recording, in order, each read as
// what its file holds. The writer's depth decides how JPEG pictures are
// decoded: a 32-bit video takes 32-bit pictures as they are.
void AddPictures(TAviFileWriter& writer, const std::vector<std::string>& frames);
