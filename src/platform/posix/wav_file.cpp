#include "platform/wav_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/exception.h"

namespace {

void PutLe(uint8_t* at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLe(const uint8_t* at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint32_t{at[i]} << (8 * i);
  return value;
}

constexpr size_t kHeaderSize = 44;

}  // namespace

TWavFile::TWavFile(const std::string& path) : FPath(path) {
  FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (FFd < 0) throw Exception("Cannot create the sound file " + path + ": " + std::strerror(errno));
  uint8_t header[kHeaderSize] = {};
  std::memcpy(header + 0, "RIFF", 4);
  PutLe(header + 4, 36, 4);  // RIFF size: no data yet
  std::memcpy(header + 8, "WAVE", 4);
  std::memcpy(header + 12, "fmt ", 4);
  PutLe(header + 16, 16, 4);                                  // fmt size
  PutLe(header + 20, 1, 2);                                   // wFormatTag: PCM
  PutLe(header + 22, TSoundCapture::kChannels, 2);            // nChannels
  PutLe(header + 24, TSoundCapture::kRate, 4);                // nSamplesPerSec
  PutLe(header + 28, TSoundCapture::kRate * kBlockAlign, 4);  // nAvgBytesPerSec
  PutLe(header + 32, kBlockAlign, 2);                         // nBlockAlign
  PutLe(header + 34, 16, 2);                                  // wBitsPerSample
  std::memcpy(header + 36, "data", 4);
  PutLe(header + 40, 0, 4);  // data size
  if (!WriteAll(header, sizeof header)) {
    const std::string error = FError;
    ::close(FFd);
    ::unlink(path.c_str());
    throw Exception(error);
  }
}

TWavFile::~TWavFile() {
  if (FFd >= 0) ::close(FFd);
}

bool TWavFile::Append(const int16_t* samples, int64_t frames) {
  if (!WriteAll(samples, static_cast<size_t>(frames) * kBlockAlign)) return false;
  FFrames += frames;
  return true;
}

bool TWavFile::UpdateSizes() {
  // A data chunk stays below 4 GiB: six hours at this rate.
  const uint64_t data = std::min<uint64_t>(uint64_t(FFrames) * kBlockAlign, 0xFFFFFFFFu - 36);
  uint8_t size[4];
  PutLe(size, static_cast<uint32_t>(data + 36), 4);
  if (::pwrite(FFd, size, 4, 4) != 4) return Failed();
  PutLe(size, static_cast<uint32_t>(data), 4);
  if (::pwrite(FFd, size, 4, 40) != 4) return Failed();
  return true;
}

bool TWavFile::Close() {
  if (FFd < 0) return FError.empty();
  const bool ok = UpdateSizes() && ::close(FFd) == 0;
  if (!ok && FError.empty()) Failed();
  FFd = -1;
  return ok;
}

bool TWavFile::WriteAll(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(FFd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failed();
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TWavFile::Failed() {
  if (FError.empty()) FError = "The sound file " + FPath + " could not be written: " + std::strerror(errno);
  return false;
}

TWavReader::TWavReader(const std::string& path) {
  FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  uint8_t header[kHeaderSize];
  struct stat st;
  if (FFd < 0 || ::pread(FFd, header, sizeof header, 0) != ssize_t(sizeof header) || fstat(FFd, &st) != 0 ||
      std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 36, "data", 4) != 0 ||
      GetLe(header + 22, 2) != uint32_t(TSoundCapture::kChannels) || GetLe(header + 34, 2) != 16) {
    if (FFd >= 0) ::close(FFd);
    throw Exception("Cannot read the sound file " + path);
  }
  // The sound is the file's last chunk, and its header is brought up to
  // date only now and then: what a crash left after the last update counts.
  FFrames = int64_t((uint64_t(st.st_size) - kHeaderSize) / kBlockAlign);
}

TWavReader::~TWavReader() {
  ::close(FFd);
}

void TWavReader::Read(int64_t first, int64_t frames, int16_t* samples) const {
  std::fill(samples, samples + frames * TSoundCapture::kChannels, int16_t{0});
  const int64_t from = std::max<int64_t>(first, 0), to = std::min(first + frames, FFrames);
  if (from >= to) return;
  const ssize_t want = ssize_t(to - from) * kBlockAlign;
  // What cannot be read stays silent.
  const ssize_t got = ::pread(FFd, samples + (from - first) * TSoundCapture::kChannels, size_t(want),
                              off_t(kHeaderSize) + off_t(from) * kBlockAlign);
  (void)got;
}
