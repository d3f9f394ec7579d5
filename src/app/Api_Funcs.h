#pragma once

#include <string>

#include "platform/version_info.h"

// The user's temporary folder with blanks and control characters trimmed
// from both ends and a "/" at the end.
std::string GetTempDir();

// A new, empty, uniquely named file "daw<hex>.tmp" in GetTempDir().
std::string GetTempFile();

// Fills record with the version record of the named executable; leaves it
// as it is when the file has none.
void ReadFixedFileInfo(const std::string& FileName, VS_FIXEDFILEINFO& Record);
// "major.minor.release.build" of the named executable's file version.
std::string GetFileVersionText(const std::string& FileName);
