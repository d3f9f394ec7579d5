#pragma once

// The objects behind the Video for Windows handles, shared by the reader,
// the writer, the compressed stream and AVISaveV. Not part of vfw.h.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "vfw/vfw.h"

// Bytes read at any offset: a file, or memory for tests and fuzzing.
class TByteReader {
 public:
  virtual ~TByteReader() = default;
  virtual uint64_t Size() = 0;
  // Exactly count bytes at offset; false on a read error or past the end.
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

class TMemoryReader final : public TByteReader {
 public:
  TMemoryReader(const uint8_t* data, size_t size) : FData(data, data + size) {}
  uint64_t Size() override { return FData.size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override;

 private:
  std::vector<uint8_t> FData;
};

// A file opened for reading, or created for writing with large buffered
// appends and positioned patches.
class TRawFile final : public TByteReader {
 public:
  static std::shared_ptr<TRawFile> OpenRead(const std::string& path);
  static std::shared_ptr<TRawFile> Create(const std::string& path);
  ~TRawFile() override;

  uint64_t Size() override;
  bool ReadAt(uint64_t offset, void* buffer, size_t count) override;
  // Appends at the end; large blocks go straight to the disk.
  bool Append(const void* data, size_t count);
  bool AppendZeros(size_t count);
  bool WriteAt(uint64_t offset, const void* data, size_t count);
  uint64_t End() const { return FEnd; }
  // A file that is written out to the disk as it grows, a few megabytes
  // behind its end, rather than all at once when it is closed: the pages
  // waiting to be written stay few, and closing does not wait long.
  void SetWriteBehind(bool value) { FWriteBehind = value; }
  bool Flush();
  // Flushes and closes; false when the system reports a late write error.
  bool Close();

 private:
  explicit TRawFile(int fd, bool writable);
  int FFd;
  bool FWritable;
  uint64_t FEnd = 0;  // logical end: the disk's end plus the buffer
  uint64_t FBufferStart = 0;
  std::vector<uint8_t> FBuffer;
  bool FWriteBehind = false;
  uint64_t FWrittenOut = 0;  // where the writing out has got to
  void WriteBehind();
};

// One stream's data: its header, its format and where each chunk lies.
// For streams with a sample size, a chunk holds Size / dwSampleSize samples;
// otherwise each chunk is one sample (an empty chunk repeats a frame).
struct TChunk {
  uint64_t Offset;  // of the data, after the chunk header
  uint32_t Size;
  bool Key;
};

struct TTrack {
  AVISTREAMINFOA Info{};
  std::vector<uint8_t> Format;
  std::vector<TChunk> Chunks;
  std::vector<uint64_t> ChunkFirstSample;  // only for streams with a sample size
  uint64_t Samples = 0;
  std::shared_ptr<TByteReader> Data;

  void AddChunk(const TChunk& chunk);
  HRESULT Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes, LONG* samplesRead);
};

struct TAviStreamObject {
  std::atomic<LONG> Refs{1};
  virtual ~TAviStreamObject() = default;
  virtual HRESULT SetFormat(LONG, const void*, LONG) { return AVIERR_READONLY; }
  virtual HRESULT ReadFormat(LONG pos, void* format, LONG* size) = 0;
  virtual HRESULT Info(AVISTREAMINFOA& info) = 0;
  virtual LONG Start() = 0;
  virtual LONG Length() = 0;
  virtual HRESULT Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
                       LONG* samplesRead) = 0;
  virtual HRESULT Write(LONG, LONG, const void*, LONG, DWORD, LONG*, LONG*) { return AVIERR_READONLY; }
  // The bytes of one sample where the stream can lend them instead of
  // copying them: valid until two more samples were asked for.
  virtual HRESULT Lend(LONG, const void** data, LONG* size) {
    *data = nullptr;
    *size = 0;
    return AVIERR_UNSUPPORTED;
  }
  // Runs at the last release, before the object goes.
  virtual void Finish() {}
  // The data that an editable copy shares, where the stream has one.
  virtual std::shared_ptr<TTrack> SharedTrack() { return nullptr; }
};

// A read-only view of a track: streams of files opened for reading, and
// editable copies, which keep the track (and its file) alive by themselves.
struct TTrackStream : TAviStreamObject {
  explicit TTrackStream(std::shared_ptr<TTrack> track) : Track(std::move(track)) {}
  HRESULT ReadFormat(LONG pos, void* format, LONG* size) override;
  HRESULT Info(AVISTREAMINFOA& info) override;
  LONG Start() override;
  LONG Length() override;
  HRESULT Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
               LONG* samplesRead) override;
  std::shared_ptr<TTrack> SharedTrack() override { return Track; }
  std::shared_ptr<TTrack> Track;
};

struct TAviFileObject {
  std::atomic<LONG> Refs{1};
  virtual ~TAviFileObject() = default;
  virtual HRESULT CreateStream(const AVISTREAMINFOA&, PAVISTREAM*) { return AVIERR_READONLY; }
  virtual HRESULT GetStream(DWORD fccType, LONG index, PAVISTREAM* stream) = 0;
  // Runs at the last release: a written file is completed here.
  virtual HRESULT Close() { return AVIERR_OK; }
};

// Opening files: the reader takes RIFF AVI (OpenDML too) and RIFF WAVE.
HRESULT OpenAviReader(std::shared_ptr<TByteReader> data, PAVIFILE* file);
HRESULT CreateAviWriter(const std::string& path, PAVIFILE* file, bool writeBehind = false);

// The size past which a RIFF of a written file is closed and an AVIX RIFF
// begun: 1 GiB, smaller in tests to make several RIFFs from small files.
void SetAviRiffLimit(uint64_t bytes);
uint64_t AviRiffLimit();

// Little-endian fields of the binary formats.
inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint64_t GetLE64(const uint8_t* p) {
  return GetLE32(p) | (static_cast<uint64_t>(GetLE32(p + 4)) << 32);
}
