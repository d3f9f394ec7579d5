// Writing RIFF AVI. Chunks go to the disk as they come; memory keeps only
// where each one lies. The headers are written at the end into space kept
// free at the start. Before a RIFF would pass the limit (1 GiB) the file
// goes on in AVIX RIFFs, indexed the OpenDML way (indx super indexes, ix##
// standard indexes, dmlh with the total frame count); idx1 indexes the
// first RIFF for readers that know nothing else.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "vfw/avi_internal.h"

namespace {

constexpr FOURCC kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr FOURCC kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr size_t kMaxTracks = 100;
constexpr size_t kMaxFormat = 64 * 1024;
// Header space per stream: strl, strh, a format of up to 4 KiB, strn, and an
// indx of 256 entries (256 RIFFs, 256 GiB).
constexpr uint64_t kStreamReserve = 12 + 64 + 8 + 4096 + 72 + 32 + 16 * 256;
constexpr uint64_t kFixedReserve = 12 + 64 + 12 + 256 + 8 + 1024;

std::atomic<uint64_t> RiffLimit{uint64_t{1} << 30};

constexpr DWORD AVIF_HASINDEX = 0x10;
constexpr DWORD AVIF_ISINTERLEAVED = 0x100;
constexpr DWORD AVIF_TRUSTCKTYPE = 0x800;

FOURCC TwoDigits(size_t n, char a, char b) {
  return MakeFourCC(static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10), a, b);
}

struct TOutTrack {
  std::shared_ptr<TTrack> Track;
  FOURCC ChunkId = 0;
  FOURCC IndexId = 0;
  bool FormatSet = false;
  size_t RiffFirstChunk = 0;  // the first chunk of the RIFF being written
  uint64_t RiffSamples = 0;   // samples before it
  uint32_t LargestChunk = 0;
  struct TSuper {
    uint64_t Offset;
    uint32_t Size;
    uint32_t Duration;
  };
  std::vector<TSuper> Super;
};

class TWriterCore {
 public:
  explicit TWriterCore(std::shared_ptr<TRawFile> file) : FFile(std::move(file)), FLimit(AviRiffLimit()) {}

  HRESULT AddTrack(const AVISTREAMINFOA& info, std::shared_ptr<TTrack>& track, size_t& index);
  HRESULT SetFormat(size_t index, const void* format, LONG size);
  HRESULT WriteChunk(size_t index, const void* data, uint32_t size, bool key);
  HRESULT Finish();
  bool Closed() const { return FClosed; }

 private:
  HRESULT Fail(HRESULT code) {
    if (FFailed == AVIERR_OK) FFailed = code;
    return code;
  }
  // The header space that the streams need now, a stream without a format
  // counted with room for one of 4 KiB.
  uint64_t HeaderSize() const;
  bool Start();
  bool CloseRiff();
  bool OpenAvix();
  uint64_t PendingIndexBytes() const;
  std::vector<uint8_t> BuildHeader() const;

  std::shared_ptr<TRawFile> FFile;
  uint64_t FLimit;
  std::vector<TOutTrack> FTracks;
  bool FStarted = false;
  bool FClosed = false;
  HRESULT FFailed = AVIERR_OK;
  uint64_t FReserve = 0;  // bytes after the RIFF header kept for the headers
  uint64_t FRiffStart = 0;
  uint64_t FMoviId = 0;  // where the 'movi' of the current movi list stands
  uint64_t FFirstMoviId = 0;
  size_t FRiffCount = 0;
  uint64_t FRiffChunks = 0;
  uint64_t FFirstRiffFrames = 0;
};

uint64_t TWriterCore::HeaderSize() const {
  uint64_t size = kFixedReserve;
  for (const auto& t : FTracks) size += kStreamReserve - 4096 + (t.FormatSet ? t.Track->Format.size() : 4096);
  return size;
}

HRESULT TWriterCore::AddTrack(const AVISTREAMINFOA& info, std::shared_ptr<TTrack>& track, size_t& index) {
  if (FClosed || FFailed) return AVIERR_ERROR;
  if (FTracks.size() >= kMaxTracks) return AVIERR_UNSUPPORTED;
  // A stream that comes after the first chunk must fit the header space kept.
  if (FStarted && HeaderSize() + kStreamReserve > FReserve) return AVIERR_UNSUPPORTED;
  TOutTrack out;
  out.Track = std::make_shared<TTrack>();
  out.Track->Info = info;
  out.Track->Info.dwLength = 0;
  out.Track->Info.dwSuggestedBufferSize = 0;
  out.Track->Data = FFile;
  index = FTracks.size();
  const char* kind = info.fccType == streamtypeAUDIO ? "wb" : "dc";
  out.ChunkId = TwoDigits(index, kind[0], kind[1]);
  out.IndexId =
      MakeFourCC('i', 'x', static_cast<char>('0' + index / 10), static_cast<char>('0' + index % 10));
  track = out.Track;
  FTracks.push_back(std::move(out));
  return AVIERR_OK;
}

HRESULT TWriterCore::SetFormat(size_t index, const void* format, LONG size) {
  if (FClosed || FFailed) return AVIERR_ERROR;
  if (!format || size <= 0 || static_cast<size_t>(size) > kMaxFormat) return AVIERR_BADPARAM;
  TOutTrack& t = FTracks[index];
  const auto* bytes = static_cast<const uint8_t*>(format);
  std::vector<uint8_t> data(bytes, bytes + size);
  if (!t.Track->Chunks.empty()) return data == t.Track->Format ? AVIERR_OK : AVIERR_UNSUPPORTED;
  std::vector<uint8_t> previous = std::move(t.Track->Format);
  const bool wasSet = t.FormatSet;
  t.Track->Format = std::move(data);
  t.FormatSet = true;
  if (FStarted && HeaderSize() > FReserve) {
    t.Track->Format = std::move(previous);
    t.FormatSet = wasSet;
    return AVIERR_UNSUPPORTED;
  }
  // Uncompressed video chunks are "db", compressed ones "dc".
  if (t.Track->Info.fccType == streamtypeVIDEO && size >= 20) {
    const uint32_t compression = GetLE32(bytes + 16);
    const bool raw = compression == BI_RGB || compression == BI_BITFIELDS;
    t.ChunkId = TwoDigits(index, 'd', raw ? 'b' : 'c');
  }
  return AVIERR_OK;
}

bool TWriterCore::Start() {
  // Room for every stream there is, and for one more that may come later
  // (the audio that is merged after the video).
  FReserve = ((HeaderSize() + kStreamReserve * 2 + 4095) / 4096) * 4096;
  std::vector<uint8_t> head;
  Put32(head, kRiff);
  Put32(head, 0);  // patched when the RIFF is closed
  Put32(head, MakeFourCC('A', 'V', 'I', ' '));
  if (!FFile->Append(head.data(), head.size()) || !FFile->AppendZeros(static_cast<size_t>(FReserve)))
    return false;
  std::vector<uint8_t> movi;
  Put32(movi, kList);
  Put32(movi, 0);
  Put32(movi, MakeFourCC('m', 'o', 'v', 'i'));
  FRiffStart = 0;
  FMoviId = FFile->End() + 8;
  FFirstMoviId = FMoviId;
  if (!FFile->Append(movi.data(), movi.size())) return false;
  FStarted = true;
  FRiffCount = 1;
  return true;
}

uint64_t TWriterCore::PendingIndexBytes() const {
  uint64_t bytes = 0;
  for (const auto& t : FTracks) bytes += 32 + 8 * (t.Track->Chunks.size() - t.RiffFirstChunk + 1);
  if (FRiffCount == 1) bytes += 8 + 16 * (FRiffChunks + 1);  // idx1
  return bytes;
}

bool TWriterCore::CloseRiff() {
  // One standard index per stream for the chunks of this RIFF, inside movi.
  for (auto& t : FTracks) {
    const auto& chunks = t.Track->Chunks;
    if (chunks.size() == t.RiffFirstChunk) continue;
    const uint64_t base = FRiffStart;
    std::vector<uint8_t> ix;
    const auto entries = static_cast<uint32_t>(chunks.size() - t.RiffFirstChunk);
    Put32(ix, t.IndexId);
    Put32(ix, 24 + 8 * entries);
    Put16(ix, 2);          // wLongsPerEntry
    ix.push_back(0);       // bIndexSubType
    ix.push_back(1);       // bIndexType: AVI_INDEX_OF_CHUNKS
    Put32(ix, entries);    // nEntriesInUse
    Put32(ix, t.ChunkId);  // dwChunkId
    Put64(ix, base);       // qwBaseOffset
    Put32(ix, 0);          // dwReserved3
    for (size_t i = t.RiffFirstChunk; i < chunks.size(); ++i) {
      Put32(ix, static_cast<uint32_t>(chunks[i].Offset - base));      // dwOffset, of the data
      Put32(ix, chunks[i].Size | (chunks[i].Key ? 0 : 0x80000000u));  // dwSize, bit 31: not a key frame
    }
    const uint64_t duration = t.Track->Samples - t.RiffSamples;
    t.Super.push_back({FFile->End(), static_cast<uint32_t>(ix.size()), static_cast<uint32_t>(duration)});
    if (!FFile->Append(ix.data(), ix.size())) return false;
  }
  // The movi list ends here.
  uint8_t size[4];
  PutLE32(size, static_cast<uint32_t>(FFile->End() - FMoviId));
  if (!FFile->WriteAt(FMoviId - 4, size, 4)) return false;

  if (FRiffCount == 1) {
    // idx1: the first RIFF's chunks in file order, from every stream.
    std::vector<std::pair<uint64_t, std::pair<size_t, size_t>>> order;
    for (size_t s = 0; s < FTracks.size(); ++s)
      for (size_t i = 0; i < FTracks[s].Track->Chunks.size(); ++i)
        order.push_back({FTracks[s].Track->Chunks[i].Offset, {s, i}});
    std::sort(order.begin(), order.end());
    std::vector<uint8_t> idx1;
    Put32(idx1, MakeFourCC('i', 'd', 'x', '1'));
    Put32(idx1, static_cast<uint32_t>(16 * order.size()));
    for (const auto& [offset, where] : order) {
      const TOutTrack& t = FTracks[where.first];
      const TChunk& chunk = t.Track->Chunks[where.second];
      Put32(idx1, t.ChunkId);                                    // ckid
      Put32(idx1, chunk.Key ? AVIIF_KEYFRAME : 0);               // dwFlags
      Put32(idx1, static_cast<uint32_t>(offset - 8 - FMoviId));  // dwChunkOffset, of the header, from 'movi'
      Put32(idx1, chunk.Size);                                   // dwChunkLength
    }
    if (!FFile->Append(idx1.data(), idx1.size())) return false;
    for (const auto& t : FTracks)
      if (t.Track->Info.fccType == streamtypeVIDEO) {
        FFirstRiffFrames = t.Track->Samples;
        break;
      }
  }
  PutLE32(size, static_cast<uint32_t>(FFile->End() - FRiffStart - 8));
  if (!FFile->WriteAt(FRiffStart + 4, size, 4)) return false;
  for (auto& t : FTracks) {
    t.RiffFirstChunk = t.Track->Chunks.size();
    t.RiffSamples = t.Track->Samples;
  }
  FRiffChunks = 0;
  return true;
}

bool TWriterCore::OpenAvix() {
  if (FFile->End() & 1) FFile->AppendZeros(1);
  std::vector<uint8_t> head;
  FRiffStart = FFile->End();
  Put32(head, kRiff);
  Put32(head, 0);
  Put32(head, MakeFourCC('A', 'V', 'I', 'X'));
  Put32(head, kList);
  Put32(head, 0);
  Put32(head, MakeFourCC('m', 'o', 'v', 'i'));
  FMoviId = FRiffStart + 20;
  ++FRiffCount;
  return FFile->Append(head.data(), head.size());
}

HRESULT TWriterCore::WriteChunk(size_t index, const void* data, uint32_t size, bool key) {
  if (FClosed) return AVIERR_ERROR;
  if (FFailed) return FFailed;
  TOutTrack& t = FTracks[index];
  if (!t.FormatSet) return AVIERR_BADFORMAT;
  if (size > 0x7FFFFFFFu - 16) return AVIERR_BADSIZE;
  if (!FStarted && !Start()) return Fail(AVIERR_FILEWRITE);
  const uint64_t need = 8 + uint64_t{size} + (size & 1);
  if (FRiffChunks > 0 && FFile->End() - FRiffStart + need + PendingIndexBytes() + 64 > FLimit) {
    if (!CloseRiff() || !OpenAvix()) return Fail(AVIERR_FILEWRITE);
  }
  uint8_t header[8];
  PutLE32(header, t.ChunkId);
  PutLE32(header + 4, size);
  const uint64_t offset = FFile->End() + 8;
  if (!FFile->Append(header, 8) || (size && !FFile->Append(data, size)) ||
      ((size & 1) && !FFile->AppendZeros(1)))
    return Fail(AVIERR_FILEWRITE);
  t.Track->AddChunk(TChunk{offset, size, key});
  t.LargestChunk = std::max(t.LargestChunk, size);
  ++FRiffChunks;
  return AVIERR_OK;
}

std::vector<uint8_t> TWriterCore::BuildHeader() const {
  const TOutTrack* video = nullptr;
  for (const auto& t : FTracks)
    if (t.Track->Info.fccType == streamtypeVIDEO) {
      video = &t;
      break;
    }
  uint64_t totalBytes = 0;
  uint32_t largest = 0;
  for (const auto& t : FTracks) {
    for (const auto& c : t.Track->Chunks) totalBytes += c.Size;
    largest = std::max(largest, t.LargestChunk);
  }
  double seconds = 0;
  uint32_t width = 0, height = 0;
  DWORD microSecPerFrame = 0;
  if (video) {
    const AVISTREAMINFOA& v = video->Track->Info;
    if (v.dwRate > 0) {
      seconds = static_cast<double>(video->Track->Samples) * v.dwScale / v.dwRate;
      microSecPerFrame = static_cast<DWORD>(std::llround(1e6 * v.dwScale / v.dwRate));
    }
    if (video->Track->Format.size() >= 12) {
      width = GetLE32(&video->Track->Format[4]);
      height = static_cast<uint32_t>(std::abs(static_cast<int32_t>(GetLE32(&video->Track->Format[8]))));
    }
  }

  std::vector<uint8_t> h;
  auto beginList = [&](FOURCC type) {
    size_t at = h.size();
    Put32(h, kList);
    Put32(h, 0);
    Put32(h, type);
    return at;
  };
  auto endList = [&](size_t at) { PutLE32(&h[at + 4], static_cast<uint32_t>(h.size() - at - 8)); };
  auto padTo2 = [&] {
    if (h.size() & 1) h.push_back(0);
  };

  size_t hdrl = beginList(MakeFourCC('h', 'd', 'r', 'l'));
  Put32(h, MakeFourCC('a', 'v', 'i', 'h'));
  Put32(h, 56);
  Put32(h, microSecPerFrame);  // dwMicroSecPerFrame
  Put32(h, seconds > 0 ? static_cast<uint32_t>(std::min(std::ceil(totalBytes / seconds), 4294967295.0))
                       : 0);  // dwMaxBytesPerSec
  Put32(h, 0);                // dwPaddingGranularity
  Put32(h, AVIF_HASINDEX | AVIF_TRUSTCKTYPE | (FTracks.size() > 1 ? AVIF_ISINTERLEAVED : 0));  // dwFlags
  Put32(h, static_cast<uint32_t>(FFirstRiffFrames));  // dwTotalFrames: the first RIFF's
  Put32(h, 0);                                        // dwInitialFrames
  Put32(h, static_cast<uint32_t>(FTracks.size()));    // dwStreams
  Put32(h, largest + 8);                              // dwSuggestedBufferSize
  Put32(h, width);                                    // dwWidth
  Put32(h, height);                                   // dwHeight
  for (int i = 0; i < 4; ++i) Put32(h, 0);            // dwReserved

  for (const auto& t : FTracks) {
    const AVISTREAMINFOA& info = t.Track->Info;
    size_t strl = beginList(MakeFourCC('s', 't', 'r', 'l'));
    Put32(h, MakeFourCC('s', 't', 'r', 'h'));
    Put32(h, 56);
    Put32(h, info.fccType);
    Put32(h, info.fccHandler);
    Put32(h, info.dwFlags);
    Put16(h, info.wPriority);
    Put16(h, info.wLanguage);
    Put32(h, info.dwInitialFrames);
    Put32(h, info.dwScale);
    Put32(h, info.dwRate);
    Put32(h, info.dwStart);
    Put32(h, static_cast<uint32_t>(std::min<uint64_t>(t.Track->Samples, UINT32_MAX)));  // dwLength
    Put32(h, t.LargestChunk);  // dwSuggestedBufferSize
    Put32(h, info.dwQuality);
    Put32(h, info.dwSampleSize);
    RECT frame = info.rcFrame;
    if (info.fccType == streamtypeVIDEO && frame.left == 0 && frame.top == 0 && frame.right == 0 &&
        frame.bottom == 0)
      frame = RECT{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
    Put16(h, static_cast<uint16_t>(frame.left));
    Put16(h, static_cast<uint16_t>(frame.top));
    Put16(h, static_cast<uint16_t>(frame.right));
    Put16(h, static_cast<uint16_t>(frame.bottom));
    Put32(h, MakeFourCC('s', 't', 'r', 'f'));
    Put32(h, static_cast<uint32_t>(t.Track->Format.size()));
    h.insert(h.end(), t.Track->Format.begin(), t.Track->Format.end());
    padTo2();
    const size_t nameLength = strnlen(info.szName, sizeof info.szName);
    if (nameLength > 0) {
      Put32(h, MakeFourCC('s', 't', 'r', 'n'));
      Put32(h, static_cast<uint32_t>(nameLength + 1));
      h.insert(h.end(), info.szName, info.szName + nameLength);
      h.push_back(0);
      padTo2();
    }
    // The super index: one entry per standard index (per RIFF).
    Put32(h, MakeFourCC('i', 'n', 'd', 'x'));
    Put32(h, static_cast<uint32_t>(24 + 16 * t.Super.size()));
    Put16(h, 4);                                      // wLongsPerEntry
    h.push_back(0);                                   // bIndexSubType
    h.push_back(0);                                   // bIndexType: AVI_INDEX_OF_INDEXES
    Put32(h, static_cast<uint32_t>(t.Super.size()));  // nEntriesInUse
    Put32(h, t.ChunkId);                              // dwChunkId
    for (int i = 0; i < 3; ++i) Put32(h, 0);          // dwReserved
    for (const auto& s : t.Super) {
      Put64(h, s.Offset);    // qwOffset
      Put32(h, s.Size);      // dwSize
      Put32(h, s.Duration);  // dwDuration
    }
    endList(strl);
  }
  size_t odml = beginList(MakeFourCC('o', 'd', 'm', 'l'));
  Put32(h, MakeFourCC('d', 'm', 'l', 'h'));
  Put32(h, 248);
  Put32(h, video ? static_cast<uint32_t>(std::min<uint64_t>(video->Track->Samples, UINT32_MAX))
                 : 0);  // dwTotalFrames
  for (int i = 0; i < 61; ++i) Put32(h, 0);
  endList(odml);
  endList(hdrl);
  return h;
}

HRESULT TWriterCore::Finish() {
  if (FClosed) return FFailed;  // the same answer every time it is asked
  FClosed = true;
  bool ok = FFailed == AVIERR_OK;
  if (ok && !FStarted) ok = Start();
  if (ok) ok = CloseRiff();
  if (ok) {
    std::vector<uint8_t> header = BuildHeader();
    if (header.size() + 8 > FReserve) {
      ok = false;
    } else {
      // What the headers leave of the kept space is a JUNK chunk.
      Put32(header, MakeFourCC('J', 'U', 'N', 'K'));
      Put32(header, static_cast<uint32_t>(FReserve - header.size() - 4));
      ok = FFile->WriteAt(12, header.data(), header.size());
    }
  }
  if (!FFile->Close()) ok = false;
  if (!ok) return Fail(AVIERR_FILEWRITE);
  return FFailed;
}

struct TWriteStream final : TTrackStream {
  TWriteStream(std::shared_ptr<TWriterCore> core, std::shared_ptr<TTrack> track, size_t index)
      : TTrackStream(std::move(track)), Core(std::move(core)), Index(index) {}

  HRESULT SetFormat(LONG pos, const void* format, LONG size) override {
    if (pos != 0) return AVIERR_UNSUPPORTED;
    return Core->SetFormat(Index, format, size);
  }

  HRESULT Write(LONG start, LONG samples, const void* buffer, LONG bufferSize, DWORD flags,
                LONG* samplesWritten, LONG* bytesWritten) override {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    if (samples < 0 || bufferSize < 0 || (!buffer && bufferSize > 0)) return AVIERR_BADPARAM;
    const AVISTREAMINFOA& info = Track->Info;
    const int64_t at = int64_t{start} - static_cast<int64_t>(info.dwStart);
    if (at < 0 || static_cast<uint64_t>(at) < Track->Samples) return AVIERR_BADPARAM;  // only appends
    const bool key = (flags & AVIIF_KEYFRAME) != 0;
    if (info.dwSampleSize == 0) {
      // A gap before the frame is filled with empty chunks, which repeat the last frame.
      while (Track->Samples < static_cast<uint64_t>(at)) {
        HRESULT r = Core->WriteChunk(Index, nullptr, 0, false);
        if (r != AVIERR_OK) return r;
      }
      HRESULT r = Core->WriteChunk(Index, buffer, static_cast<uint32_t>(bufferSize), key);
      if (r == AVIERR_OK) {
        if (samplesWritten) *samplesWritten = 1;
        if (bytesWritten) *bytesWritten = bufferSize;
      }
      return r;
    }
    if (static_cast<uint64_t>(at) > Track->Samples) return AVIERR_BADPARAM;
    // As many whole samples as were asked for and the buffer holds.
    const uint64_t bytes =
        std::min<uint64_t>(uint64_t{static_cast<uint32_t>(samples)} * info.dwSampleSize,
                           (static_cast<uint64_t>(bufferSize) / info.dwSampleSize) * info.dwSampleSize);
    if (bytes == 0) return samples == 0 ? AVIERR_OK : AVIERR_BADSIZE;
    HRESULT r = Core->WriteChunk(Index, buffer, static_cast<uint32_t>(bytes), key);
    if (r == AVIERR_OK) {
      if (samplesWritten) *samplesWritten = static_cast<LONG>(bytes / info.dwSampleSize);
      if (bytesWritten) *bytesWritten = static_cast<LONG>(bytes);
    }
    return r;
  }

  std::shared_ptr<TWriterCore> Core;
  size_t Index;
};

struct TWriteFile final : TAviFileObject {
  explicit TWriteFile(std::shared_ptr<TWriterCore> core) : Core(std::move(core)) {}

  HRESULT CreateStream(const AVISTREAMINFOA& info, PAVISTREAM* stream) override {
    std::shared_ptr<TTrack> track;
    size_t index = 0;
    HRESULT r = Core->AddTrack(info, track, index);
    if (r != AVIERR_OK) return r;
    Streams.push_back(track);
    *stream = new TWriteStream(Core, track, index);
    return AVIERR_OK;
  }

  HRESULT GetStream(DWORD fccType, LONG index, PAVISTREAM* stream) override {
    LONG seen = 0;
    for (size_t i = 0; i < Streams.size(); ++i) {
      if (fccType != 0 && Streams[i]->Info.fccType != fccType) continue;
      if (seen++ == index) {
        *stream = new TWriteStream(Core, Streams[i], i);
        return AVIERR_OK;
      }
    }
    return AVIERR_NODATA;
  }

  HRESULT Close() override { return Core->Finish(); }

  std::shared_ptr<TWriterCore> Core;
  std::vector<std::shared_ptr<TTrack>> Streams;
};

}  // namespace

void SetAviRiffLimit(uint64_t bytes) {
  RiffLimit = std::max<uint64_t>(bytes, 64 * 1024);
}
uint64_t AviRiffLimit() {
  return RiffLimit;
}

HRESULT CreateAviWriter(const std::string& path, PAVIFILE* file, bool writeBehind) {
  std::shared_ptr<TRawFile> raw = TRawFile::Create(path);
  if (!raw) return AVIERR_FILEOPEN;
  raw->SetWriteBehind(writeBehind);
  *file = new TWriteFile(std::make_shared<TWriterCore>(std::move(raw)));
  return AVIERR_OK;
}
