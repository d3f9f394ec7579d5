// Reading RIFF AVI (with OpenDML's AVIX RIFFs and indexes) and RIFF WAVE.
// Every size and offset comes from the file and is checked against it
// before use: a hostile file yields an error code, never a crash, an
// allocation larger than the file, or a loop that does not move forward.
#include <algorithm>
#include <cstring>

#include "vfw/avi_internal.h"

namespace {

constexpr FOURCC kRiff = MakeFourCC('R', 'I', 'F', 'F');
constexpr FOURCC kList = MakeFourCC('L', 'I', 'S', 'T');
constexpr FOURCC kAvi = MakeFourCC('A', 'V', 'I', ' ');
constexpr FOURCC kAvix = MakeFourCC('A', 'V', 'I', 'X');
constexpr FOURCC kWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr size_t kMaxStreams = 100;
constexpr uint32_t kMaxHeaderChunk = 1 << 20;  // a header chunk larger than this is no header

struct TFailure {
  HRESULT Code;
};

// Reads through the byte reader, turning a short read into a failure.
class TInput {
 public:
  explicit TInput(std::shared_ptr<TByteReader> data) : FData(std::move(data)), FSize(FData->Size()) {}
  uint64_t Size() const { return FSize; }
  void Read(uint64_t offset, void* buffer, size_t count) {
    if (offset > FSize || FSize - offset < count) throw TFailure{AVIERR_BADFORMAT};
    if (!FData->ReadAt(offset, buffer, count)) throw TFailure{AVIERR_FILEREAD};
  }
  std::vector<uint8_t> Bytes(uint64_t offset, uint32_t count) {
    if (offset > FSize || FSize - offset < count) throw TFailure{AVIERR_BADFORMAT};
    std::vector<uint8_t> bytes(count);
    Read(offset, bytes.data(), count);
    return bytes;
  }
  uint32_t U32(uint64_t offset) {
    uint8_t b[4];
    Read(offset, b, 4);
    return GetLE32(b);
  }
  const std::shared_ptr<TByteReader>& Data() const { return FData; }
  // Every chunk takes at least its 8-byte header in the file: an index that
  // names more chunks than that (one listed again and again) is refused.
  void CountChunk() {
    if (++FChunks > FSize / 8 + 1) throw TFailure{AVIERR_BADFORMAT};
  }

 private:
  std::shared_ptr<TByteReader> FData;
  uint64_t FSize;
  uint64_t FChunks = 0;
};

// A chunk header at offset: its id, and its data, clipped to limit.
struct TChunkHeader {
  FOURCC Id = 0;
  uint64_t Data = 0;  // where the data starts
  uint64_t Size = 0;  // as far as it really reaches
  uint64_t Next = 0;  // the next chunk, after the pad byte
  uint32_t Declared = 0;
};

bool ReadChunk(TInput& in, uint64_t offset, uint64_t limit, TChunkHeader& chunk) {
  if (offset + 8 > limit) return false;
  uint8_t b[8];
  in.Read(offset, b, 8);
  chunk.Id = GetLE32(b);
  chunk.Declared = GetLE32(b + 4);
  chunk.Data = offset + 8;
  chunk.Size = std::min<uint64_t>(chunk.Declared, limit - chunk.Data);
  chunk.Next = chunk.Data + chunk.Size + (chunk.Size & 1);
  return true;
}

struct TStreamBuild {
  std::shared_ptr<TTrack> Track;
  bool HasHeader = false;
  bool HasFormat = false;
  std::vector<uint8_t> SuperIndex;
};

int StreamNumber(FOURCC id) {
  char a = static_cast<char>(id & 0xFF), b = static_cast<char>((id >> 8) & 0xFF);
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

void ParseStreamHeader(const std::vector<uint8_t>& h, AVISTREAMINFOA& info) {
  if (h.size() < 48) throw TFailure{AVIERR_BADFORMAT};
  info.fccType = GetLE32(&h[0]);
  info.fccHandler = GetLE32(&h[4]);
  info.dwFlags = GetLE32(&h[8]);
  info.wPriority = GetLE16(&h[12]);
  info.wLanguage = GetLE16(&h[14]);
  info.dwInitialFrames = GetLE32(&h[16]);
  info.dwScale = GetLE32(&h[20]);
  info.dwRate = GetLE32(&h[24]);
  info.dwStart = GetLE32(&h[28]);
  info.dwLength = GetLE32(&h[32]);
  info.dwSuggestedBufferSize = GetLE32(&h[36]);
  info.dwQuality = GetLE32(&h[40]);
  info.dwSampleSize = GetLE32(&h[44]);
  if (h.size() >= 56) {
    info.rcFrame.left = static_cast<int16_t>(GetLE16(&h[48]));
    info.rcFrame.top = static_cast<int16_t>(GetLE16(&h[50]));
    info.rcFrame.right = static_cast<int16_t>(GetLE16(&h[52]));
    info.rcFrame.bottom = static_cast<int16_t>(GetLE16(&h[54]));
  }
}

void ParseStrl(TInput& in, uint64_t from, uint64_t to, TStreamBuild& stream) {
  TChunkHeader c;
  for (uint64_t at = from; ReadChunk(in, at, to, c); at = c.Next) {
    if (c.Id == MakeFourCC('s', 't', 'r', 'h')) {
      ParseStreamHeader(in.Bytes(c.Data, static_cast<uint32_t>(std::min<uint64_t>(c.Size, 64))),
                        stream.Track->Info);
      stream.HasHeader = true;
    } else if (c.Id == MakeFourCC('s', 't', 'r', 'f') && c.Size <= kMaxHeaderChunk) {
      stream.Track->Format = in.Bytes(c.Data, static_cast<uint32_t>(c.Size));
      stream.HasFormat = true;
    } else if (c.Id == MakeFourCC('i', 'n', 'd', 'x') && c.Size <= kMaxHeaderChunk) {
      stream.SuperIndex = in.Bytes(c.Data, static_cast<uint32_t>(c.Size));
    } else if (c.Id == MakeFourCC('s', 't', 'r', 'n')) {
      auto name = in.Bytes(c.Data, static_cast<uint32_t>(std::min<uint64_t>(c.Size, 63)));
      if (!name.empty()) std::memcpy(stream.Track->Info.szName, name.data(), name.size());
    }
  }
}

// Chunks of one standard index (ix##) into the stream's track.
void ReadStandardIndex(TInput& in, uint64_t offset, TTrack& track) {
  TChunkHeader c;
  if (!ReadChunk(in, offset, in.Size(), c) || c.Size < 24) throw TFailure{AVIERR_BADFORMAT};
  uint8_t h[24];
  in.Read(c.Data, h, 24);
  const unsigned longsPerEntry = GetLE16(h);
  const unsigned indexType = h[3];
  const uint32_t entries = GetLE32(h + 4);
  const uint64_t base = GetLE64(h + 12);
  if (indexType != 1 || longsPerEntry != 2) throw TFailure{AVIERR_BADFORMAT};
  if (uint64_t{entries} * 8 > c.Size - 24) throw TFailure{AVIERR_BADFORMAT};
  std::vector<uint8_t> table = in.Bytes(c.Data + 24, entries * 8);
  for (uint32_t i = 0; i < entries; ++i) {
    const uint32_t relative = GetLE32(&table[8 * size_t{i}]);
    const uint32_t size = GetLE32(&table[8 * size_t{i} + 4]);
    const uint64_t data = base + relative;
    const uint32_t length = size & 0x7FFFFFFF;
    if (data < base || data > in.Size() || in.Size() - data < length) continue;  // points outside the file
    in.CountChunk();
    track.AddChunk(TChunk{data, length, (size & 0x80000000u) == 0});
  }
}

void ReadOpenDmlIndex(TInput& in, TStreamBuild& stream) {
  const auto& s = stream.SuperIndex;
  if (s.size() < 24) throw TFailure{AVIERR_BADFORMAT};
  const unsigned longsPerEntry = GetLE16(&s[0]);
  const unsigned indexType = s[3];
  const uint32_t entries = GetLE32(&s[4]);
  if (indexType != 0 || longsPerEntry != 4) throw TFailure{AVIERR_BADFORMAT};
  if (uint64_t{entries} * 16 > s.size() - 24) throw TFailure{AVIERR_BADFORMAT};
  for (uint32_t i = 0; i < entries; ++i)
    ReadStandardIndex(in, GetLE64(&s[24 + 16 * size_t{i}]), *stream.Track);
}

// idx1: offsets count from the 'movi' of the first RIFF, or, in some
// writers' files, from the file's start; the first entry tells which.
void ReadLegacyIndex(TInput& in, uint64_t offset, uint64_t size, uint64_t moviId,
                     std::vector<TStreamBuild>& streams) {
  const uint64_t entries = size / 16;
  if (entries == 0) return;
  std::vector<uint8_t> table = in.Bytes(offset, static_cast<uint32_t>(entries * 16));
  uint64_t base = moviId;
  const uint32_t firstOffset = GetLE32(&table[8]);
  uint8_t id[4];
  if (firstOffset >= moviId && in.Size() >= uint64_t{firstOffset} + 4) {
    in.Read(firstOffset, id, 4);
    if (GetLE32(id) == GetLE32(&table[0])) base = 0;
  }
  for (uint64_t i = 0; i < entries; ++i) {
    const uint8_t* e = &table[16 * i];
    const int number = StreamNumber(GetLE32(e));
    if (number < 0 || static_cast<size_t>(number) >= streams.size()) continue;
    const uint64_t data = base + GetLE32(e + 8) + 8;
    const uint32_t length = GetLE32(e + 12);
    if (data > in.Size() || in.Size() - data < length) continue;
    in.CountChunk();
    streams[static_cast<size_t>(number)].Track->AddChunk(
        TChunk{data, length, (GetLE32(e + 4) & AVIIF_KEYFRAME) != 0});
  }
}

// Without any index: every data chunk of a movi list, in file order.
void ScanMovi(TInput& in, uint64_t from, uint64_t to, std::vector<TStreamBuild>& streams, int depth) {
  TChunkHeader c;
  for (uint64_t at = from; ReadChunk(in, at, to, c); at = c.Next) {
    if (c.Id == kList && depth < 2 && c.Size >= 4) {
      ScanMovi(in, c.Data + 4, c.Data + c.Size, streams, depth + 1);
      continue;
    }
    const int number = StreamNumber(c.Id);
    if (number < 0 || static_cast<size_t>(number) >= streams.size()) continue;
    in.CountChunk();
    streams[static_cast<size_t>(number)].Track->AddChunk(TChunk{c.Data, static_cast<uint32_t>(c.Size), true});
  }
}

struct TReadFile final : TAviFileObject {
  std::vector<std::shared_ptr<TTrack>> Tracks;

  HRESULT GetStream(DWORD fccType, LONG index, PAVISTREAM* stream) override {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    LONG seen = 0;
    for (const auto& track : Tracks) {
      if (fccType != 0 && track->Info.fccType != fccType) continue;
      if (seen++ == index) {
        *stream = new TTrackStream(track);
        return AVIERR_OK;
      }
    }
    return AVIERR_NODATA;
  }
};

std::vector<std::shared_ptr<TTrack>> ParseAvi(TInput& in, uint64_t riffEnd) {
  std::vector<TStreamBuild> streams;
  uint64_t moviId = 0, moviEnd = 0, idx1 = 0, idx1Size = 0;
  std::vector<std::pair<uint64_t, uint64_t>> moreMovi;  // the movi lists of AVIX RIFFs
  TChunkHeader c;
  for (uint64_t at = 12; ReadChunk(in, at, riffEnd, c); at = c.Next) {
    if (c.Id == kList && c.Size >= 4) {
      const FOURCC type = in.U32(c.Data);
      if (type == MakeFourCC('h', 'd', 'r', 'l')) {
        TChunkHeader h;
        for (uint64_t p = c.Data + 4; ReadChunk(in, p, c.Data + c.Size, h); p = h.Next) {
          if (h.Id != kList || h.Size < 4 || in.U32(h.Data) != MakeFourCC('s', 't', 'r', 'l')) continue;
          if (streams.size() >= kMaxStreams) throw TFailure{AVIERR_BADFORMAT};
          TStreamBuild stream;
          stream.Track = std::make_shared<TTrack>();
          stream.Track->Data = in.Data();
          ParseStrl(in, h.Data + 4, h.Data + h.Size, stream);
          if (!stream.HasHeader || !stream.HasFormat) throw TFailure{AVIERR_BADFORMAT};
          streams.push_back(std::move(stream));
        }
      } else if (type == MakeFourCC('m', 'o', 'v', 'i') && moviId == 0) {
        moviId = c.Data;
        moviEnd = c.Data + c.Size;
      }
    } else if (c.Id == MakeFourCC('i', 'd', 'x', '1') && idx1 == 0) {
      idx1 = c.Data;
      idx1Size = c.Size;
    }
  }
  if (streams.empty() || moviId == 0) throw TFailure{AVIERR_BADFORMAT};

  // OpenDML: further RIFFs of type AVIX follow the first.
  for (uint64_t at = riffEnd + (riffEnd & 1); ReadChunk(in, at, in.Size(), c); at = c.Next) {
    if (c.Id != kRiff || c.Size < 4 || in.U32(c.Data) != kAvix) break;
    TChunkHeader m;
    for (uint64_t p = c.Data + 4; ReadChunk(in, p, c.Data + c.Size, m); p = m.Next)
      if (m.Id == kList && m.Size >= 4 && in.U32(m.Data) == MakeFourCC('m', 'o', 'v', 'i'))
        moreMovi.emplace_back(m.Data + 4, m.Data + m.Size);
  }

  const bool openDml = std::all_of(streams.begin(), streams.end(), [](const TStreamBuild& s) {
    return s.SuperIndex.size() >= 24 && GetLE32(&s.SuperIndex[4]) > 0;
  });
  if (openDml) {
    for (auto& stream : streams) ReadOpenDmlIndex(in, stream);
  } else if (idx1 != 0) {
    ReadLegacyIndex(in, idx1, idx1Size, moviId, streams);
  } else {
    ScanMovi(in, moviId + 4, moviEnd, streams, 0);
    for (auto [from, to] : moreMovi) ScanMovi(in, from, to, streams, 0);
  }
  std::vector<std::shared_ptr<TTrack>> tracks;
  for (auto& stream : streams) tracks.push_back(stream.Track);
  return tracks;
}

std::vector<std::shared_ptr<TTrack>> ParseWave(TInput& in, uint64_t riffEnd) {
  std::vector<uint8_t> format;
  uint64_t data = 0, dataSize = 0;
  bool hasData = false;
  TChunkHeader c;
  for (uint64_t at = 12; ReadChunk(in, at, riffEnd, c); at = c.Next) {
    if (c.Id == MakeFourCC('f', 'm', 't', ' ') && format.empty()) {
      if (c.Size < 14 || c.Size > kMaxHeaderChunk) throw TFailure{AVIERR_BADFORMAT};
      format = in.Bytes(c.Data, static_cast<uint32_t>(c.Size));
    } else if (c.Id == MakeFourCC('d', 'a', 't', 'a') && !hasData) {
      // Files written as a stream may claim more data than they hold.
      data = c.Data;
      dataSize = std::min<uint64_t>(c.Declared, in.Size() - c.Data);
      hasData = true;
    }
  }
  if (format.empty() || !hasData) throw TFailure{AVIERR_BADFORMAT};
  if (format.size() < sizeof(WAVEFORMATEX)) format.resize(sizeof(WAVEFORMATEX), 0);  // cbSize 0
  WAVEFORMATEX wave;
  std::memcpy(&wave, format.data(), sizeof wave);
  if (wave.nBlockAlign == 0 || wave.nChannels == 0) throw TFailure{AVIERR_BADFORMAT};

  auto track = std::make_shared<TTrack>();
  track->Data = in.Data();
  AVISTREAMINFOA& info = track->Info;
  info.fccType = streamtypeAUDIO;
  info.dwScale = wave.nBlockAlign;
  info.dwRate = wave.nAvgBytesPerSec;
  info.dwSampleSize = wave.nBlockAlign;
  info.dwQuality = 0xFFFFFFFFu;
  info.dwSuggestedBufferSize = wave.nAvgBytesPerSec;
  track->Format = std::move(format);
  const uint64_t usable =
      std::min<uint64_t>(dataSize - dataSize % wave.nBlockAlign, UINT32_MAX - UINT32_MAX % wave.nBlockAlign);
  if (usable > 0) track->AddChunk(TChunk{data, static_cast<uint32_t>(usable), true});
  info.dwLength = static_cast<DWORD>(track->Samples);
  return {track};
}

}  // namespace

HRESULT OpenAviReader(std::shared_ptr<TByteReader> data, PAVIFILE* file) {
  if (!file) return AVIERR_BADPARAM;
  *file = nullptr;
  try {
    TInput in(std::move(data));
    uint8_t head[12];
    if (in.Size() < 12) return REGDB_E_CLASSNOTREG;
    in.Read(0, head, 12);
    const FOURCC form = GetLE32(head + 8);
    if (GetLE32(head) != kRiff || (form != kAvi && form != kWave)) return REGDB_E_CLASSNOTREG;
    const uint64_t riffEnd = std::min<uint64_t>(uint64_t{GetLE32(head + 4)} + 8, in.Size());
    auto result = new TReadFile;
    try {
      result->Tracks = form == kAvi ? ParseAvi(in, riffEnd) : ParseWave(in, riffEnd);
    } catch (...) {
      delete result;
      throw;
    }
    *file = result;
    return AVIERR_OK;
  } catch (const TFailure& failure) {
    return failure.Code;
  } catch (const std::bad_alloc&) {
    return AVIERR_MEMORY;
  }
}
