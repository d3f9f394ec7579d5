#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vfw/avi_internal.h"

namespace {

// Appends are gathered into blocks of this size; larger ones go straight out.
constexpr size_t kBufferSize = size_t{1} << 20;

bool WriteAll(int fd, const uint8_t* data, size_t count, uint64_t offset) {
  while (count > 0) {
    ssize_t done = pwrite(fd, data, std::min<size_t>(count, size_t{1} << 30), static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    count -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* data, size_t count, uint64_t offset) {
  while (count > 0) {
    ssize_t done = pread(fd, data, std::min<size_t>(count, size_t{1} << 30), static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    count -= static_cast<size_t>(done);
    offset += static_cast<uint64_t>(done);
  }
  return true;
}

}  // namespace

bool TMemoryReader::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (offset > FData.size() || FData.size() - offset < count) return false;
  if (count) std::memcpy(buffer, FData.data() + offset, count);
  return true;
}

TRawFile::TRawFile(int fd, bool writable) : FFd(fd), FWritable(writable) {}

std::shared_ptr<TRawFile> TRawFile::OpenRead(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  auto file = std::shared_ptr<TRawFile>(new TRawFile(fd, false));
  file->FEnd = static_cast<uint64_t>(st.st_size);
  return file;
}

std::shared_ptr<TRawFile> TRawFile::Create(const std::string& path) {
  // Never through a symbolic link; a new file gets the mode of the user's umask.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return std::shared_ptr<TRawFile>(new TRawFile(fd, true));
}

TRawFile::~TRawFile() {
  if (FFd >= 0) {
    Flush();
    ::close(FFd);
  }
}

uint64_t TRawFile::Size() {
  return FEnd;
}

bool TRawFile::Flush() {
  if (FBuffer.empty()) return true;
  bool ok = WriteAll(FFd, FBuffer.data(), FBuffer.size(), FBufferStart);
  FBuffer.clear();
  if (ok) WriteBehind();
  return ok;
}

void TRawFile::WriteBehind() {
  if (!FWriteBehind) return;
  // Each step is started as soon as it is complete; the one before it is
  // waited for, so that no more than two are on their way at a time.
  constexpr uint64_t kStep = uint64_t{32} << 20;
  const uint64_t written = FBuffer.empty() ? FEnd : FBufferStart;
  while (written - FWrittenOut >= kStep) {
    sync_file_range(FFd, static_cast<off_t>(FWrittenOut), static_cast<off_t>(kStep), SYNC_FILE_RANGE_WRITE);
    if (FWrittenOut >= kStep)
      sync_file_range(FFd, static_cast<off_t>(FWrittenOut - kStep), static_cast<off_t>(kStep),
                      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    FWrittenOut += kStep;
  }
}

bool TRawFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (FFd < 0 || offset > FEnd || FEnd - offset < count) return false;
  if (FWritable && !Flush()) return false;
  return ReadAll(FFd, static_cast<uint8_t*>(buffer), count, offset);
}

bool TRawFile::Append(const void* data, size_t count) {
  if (FFd < 0 || !FWritable) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (FBuffer.empty()) FBufferStart = FEnd;
  if (count >= kBufferSize) {
    // A large chunk goes out with what is buffered before it, in one call
    // and without a copy through the buffer.
    iovec parts[2] = {{FBuffer.data(), FBuffer.size()}, {const_cast<uint8_t*>(bytes), count}};
    const size_t total = FBuffer.size() + count;
    ssize_t done = pwritev(FFd, parts, 2, static_cast<off_t>(FBufferStart));
    while (done < 0 && errno == EINTR) done = pwritev(FFd, parts, 2, static_cast<off_t>(FBufferStart));
    if (done < 0) return false;
    // Whatever a short write left goes out piece by piece.
    auto written = static_cast<size_t>(done);
    if (written < FBuffer.size()) {
      if (!WriteAll(FFd, FBuffer.data() + written, FBuffer.size() - written, FBufferStart + written))
        return false;
      written = FBuffer.size();
    }
    const size_t fromData = written - FBuffer.size();
    if (!WriteAll(FFd, bytes + fromData, count - fromData, FBufferStart + written)) return false;
    FBuffer.clear();
    FEnd = FBufferStart + total;
    FBufferStart = FEnd;
    WriteBehind();
    return true;
  }
  if (FBuffer.size() + count > kBufferSize) {
    if (!Flush()) return false;
    FBufferStart = FEnd;
  }
  if (FBuffer.capacity() < kBufferSize) FBuffer.reserve(kBufferSize);
  FBuffer.insert(FBuffer.end(), bytes, bytes + count);
  FEnd += count;
  return true;
}

bool TRawFile::AppendZeros(size_t count) {
  static const uint8_t zeros[4096] = {};
  while (count > 0) {
    size_t n = std::min(count, sizeof zeros);
    if (!Append(zeros, n)) return false;
    count -= n;
  }
  return true;
}

bool TRawFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  if (FFd < 0 || !FWritable || offset > FEnd || FEnd - offset < count) return false;
  if (!Flush()) return false;
  return WriteAll(FFd, static_cast<const uint8_t*>(data), count, offset);
}

bool TRawFile::Close() {
  if (FFd < 0) return true;
  bool ok = Flush();
  // A finished file reaches the disk before it counts as written; one that
  // was deleted meanwhile (an intermediate file) need not.
  struct stat st {};
  const bool linked = fstat(FFd, &st) != 0 || st.st_nlink > 0;
  if (FWritable && linked && fsync(FFd) != 0 && errno != EINVAL) ok = false;
  if (::close(FFd) != 0) ok = false;
  FFd = -1;
  return ok;
}
