#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The executable's version record: the fixed file information block of
// thirteen 32-bit fields, starting with the signature 0xFEEF04BD. The build
// places it in the section ".pelimar.version" of the program's ELF file; these
// functions read it back from any named file.

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;

struct VS_FIXEDFILEINFO {
  uint32_t dwSignature;
  uint32_t dwStrucVersion;
  uint32_t dwFileVersionMS;
  uint32_t dwFileVersionLS;
  uint32_t dwProductVersionMS;
  uint32_t dwProductVersionLS;
  uint32_t dwFileFlagsMask;
  uint32_t dwFileFlags;
  uint32_t dwFileOS;
  uint32_t dwFileType;
  uint32_t dwFileSubtype;
  uint32_t dwFileDateMS;
  uint32_t dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

// The size of the file's version information, 0 when it has none (not an
// ELF file, no version section, or a file that cannot be read).
uint32_t GetFileVersionInfoSizeA(const std::string& fileName);
// Reads the version information into data (size bytes); false on failure.
bool GetFileVersionInfoA(const std::string& fileName, uint32_t size, void* data);
// The block of the version information that subBlock names: only "\",
// the fixed file information, exists. False when the data holds no valid
// block.
bool VerQueryValueA(const void* data, const std::string& subBlock, const void** block, uint32_t* length);

// The real path of the running executable.
std::string ExecutablePath();
