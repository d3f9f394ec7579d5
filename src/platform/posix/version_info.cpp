#include "platform/version_info.h"

#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>

namespace {

constexpr char kSectionName[] = ".pelimar.version";

// Every read is checked against the file's real size: a broken or hostile
// file gives "no version", never a crash.
class TElfFile {
 public:
  explicit TElfFile(const std::string& path) : FIn(path, std::ios::binary) {
    if (FIn) {
      FIn.seekg(0, std::ios::end);
      FSize = static_cast<uint64_t>(std::max<std::streamoff>(FIn.tellg(), 0));
    }
  }
  bool Read(uint64_t offset, void* buffer, uint64_t count) {
    if (!FIn || offset > FSize || FSize - offset < count) return false;
    FIn.seekg(static_cast<std::streamoff>(offset));
    FIn.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
    return static_cast<uint64_t>(FIn.gcount()) == count;
  }

 private:
  std::ifstream FIn;
  uint64_t FSize = 0;
};

// Offset and size of the version section of a 64-bit little-endian ELF file.
bool FindVersionSection(const std::string& path, uint64_t& offset, uint64_t& size) {
  TElfFile file(path);
  Elf64_Ehdr header;
  if (!file.Read(0, &header, sizeof header)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shentsize != sizeof(Elf64_Shdr) ||
      header.e_shstrndx >= header.e_shnum)
    return false;
  auto section = [&](uint32_t index, Elf64_Shdr& out) {
    return file.Read(header.e_shoff + uint64_t{index} * sizeof(Elf64_Shdr), &out, sizeof out);
  };
  Elf64_Shdr names;
  if (!section(header.e_shstrndx, names)) return false;
  char name[sizeof kSectionName];
  for (uint32_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr candidate;
    if (!section(i, candidate)) return false;
    if (candidate.sh_name >= names.sh_size || names.sh_size - candidate.sh_name < sizeof name) continue;
    if (!file.Read(names.sh_offset + candidate.sh_name, name, sizeof name)) continue;
    if (std::memcmp(name, kSectionName, sizeof name) != 0 || candidate.sh_type == SHT_NOBITS) continue;
    offset = candidate.sh_offset;
    size = candidate.sh_size;
    return size >= sizeof(VS_FIXEDFILEINFO) && size <= 4096;
  }
  return false;
}

}  // namespace

uint32_t GetFileVersionInfoSizeA(const std::string& fileName) {
  uint64_t offset = 0, size = 0;
  return FindVersionSection(fileName, offset, size) ? static_cast<uint32_t>(size) : 0;
}

bool GetFileVersionInfoA(const std::string& fileName, uint32_t size, void* data) {
  uint64_t offset = 0, have = 0;
  if (!data || !FindVersionSection(fileName, offset, have) || have > size) return false;
  TElfFile file(fileName);
  return file.Read(offset, data, have);
}

bool VerQueryValueA(const void* data, const std::string& subBlock, const void** block, uint32_t* length) {
  if (!data || !block || !length || subBlock != "\\") return false;
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, data, sizeof info);
  if (info.dwSignature != kFixedFileInfoSignature) return false;
  *block = data;
  *length = sizeof(VS_FIXEDFILEINFO);
  return true;
}

std::string ExecutablePath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}
