#pragma once

#include <cstdint>
#include <string>

// The user's temporary folder: $TMPDIR, else /tmp, always ending in "/".
std::string GetTempPath();

// A unique file name in folder: <folder><prefix><1 to 4 upper-case hex
// digits>.tmp (the first three characters of prefix are used). With unique
// 0 the number is chosen here and the file is created, empty and
// exclusively, so the name is unique at that moment; raises when no name is
// free or the folder cannot take the file. With another unique the name is
// only formed from its low 16 bits and nothing is created.
std::string GetTempFileName(const std::string& folder, const std::string& prefix, unsigned unique);

// The bytes that this user may still write on the disk that holds folder;
// raises when the folder cannot be looked at.
uint64_t FreeDiskSpace(const std::string& folder);
