#pragma once

#include <string>

// The user's temporary folder with blanks and control characters trimmed
// from both ends and a "/" at the end.
std::string GetTempDir();

// A new, empty, uniquely named file "daw<hex>.tmp" in GetTempDir().
std::string GetTempFile();
