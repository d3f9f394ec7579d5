#include <algorithm>
#include <cstring>

#include "vfw/avi_internal.h"

void TTrack::AddChunk(const TChunk& chunk) {
  Chunks.push_back(chunk);
  if (Info.dwSampleSize > 0) {
    ChunkFirstSample.push_back(Samples);
    Samples += chunk.Size / Info.dwSampleSize;
  } else {
    Samples += 1;
  }
}

HRESULT TTrack::Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
                     LONG* samplesRead) {
  if (bytes) *bytes = 0;
  if (samplesRead) *samplesRead = 0;
  if (samples < 0 || bufferSize < 0) return AVIERR_BADPARAM;
  const int64_t first = int64_t{start} - static_cast<int64_t>(Info.dwStart);
  if (first < 0 || static_cast<uint64_t>(first) >= Samples) return AVIERR_BADPARAM;
  const auto position = static_cast<uint64_t>(first);

  if (Info.dwSampleSize == 0) {
    // One chunk is one sample.
    const TChunk& chunk = Chunks[static_cast<size_t>(position)];
    if (chunk.Size > static_cast<uint32_t>(INT32_MAX)) return AVIERR_BADSIZE;
    if (bytes) *bytes = static_cast<LONG>(chunk.Size);
    if (samplesRead) *samplesRead = 1;
    if (!buffer) return AVIERR_OK;
    if (static_cast<uint32_t>(bufferSize) < chunk.Size) return AVIERR_BUFFERTOOSMALL;
    if (chunk.Size > 0 && !Data->ReadAt(chunk.Offset, buffer, chunk.Size)) return AVIERR_FILEREAD;
    return AVIERR_OK;
  }

  const uint64_t sampleSize = Info.dwSampleSize;
  uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(samples), Samples - position);
  count = std::min<uint64_t>(count, static_cast<uint64_t>(INT32_MAX) / sampleSize);
  if (buffer) {
    count = std::min<uint64_t>(count, static_cast<uint64_t>(bufferSize) / sampleSize);
    if (count == 0 && samples > 0) return AVIERR_BUFFERTOOSMALL;
  }
  if (bytes) *bytes = static_cast<LONG>(count * sampleSize);
  if (samplesRead) *samplesRead = static_cast<LONG>(count);
  if (!buffer) return AVIERR_OK;

  // From the chunk that holds the first sample on, as far as needed.
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t wanted = count * sampleSize;
  size_t index =
      static_cast<size_t>(std::upper_bound(ChunkFirstSample.begin(), ChunkFirstSample.end(), position) -
                          ChunkFirstSample.begin() - 1);
  uint64_t skip = (position - ChunkFirstSample[index]) * sampleSize;
  for (; wanted > 0 && index < Chunks.size(); ++index) {
    const TChunk& chunk = Chunks[index];
    const uint64_t usable = (chunk.Size / sampleSize) * sampleSize;
    if (skip >= usable) {
      skip -= usable;
      continue;
    }
    const uint64_t take = std::min<uint64_t>(usable - skip, wanted);
    if (!Data->ReadAt(chunk.Offset + skip, out, static_cast<size_t>(take))) return AVIERR_FILEREAD;
    out += take;
    wanted -= take;
    skip = 0;
  }
  return wanted == 0 ? AVIERR_OK : AVIERR_FILEREAD;
}

HRESULT TTrackStream::ReadFormat(LONG, void* format, LONG* size) {
  if (!size) return AVIERR_BADPARAM;
  const auto have = static_cast<LONG>(Track->Format.size());
  if (!format) {
    *size = have;
    return AVIERR_OK;
  }
  if (*size < 0) return AVIERR_BADPARAM;
  const LONG copied = std::min(*size, have);
  if (copied > 0) std::memcpy(format, Track->Format.data(), static_cast<size_t>(copied));
  *size = have;
  return copied < have ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
}

HRESULT TTrackStream::Info(AVISTREAMINFOA& info) {
  info = Track->Info;
  info.dwLength = static_cast<DWORD>(std::min<uint64_t>(Track->Samples, UINT32_MAX));
  return AVIERR_OK;
}

LONG TTrackStream::Start() {
  return static_cast<LONG>(Track->Info.dwStart);
}

LONG TTrackStream::Length() {
  return static_cast<LONG>(std::min<uint64_t>(Track->Samples, INT32_MAX));
}

HRESULT TTrackStream::Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
                           LONG* samplesRead) {
  return Track->Read(start, samples, buffer, bufferSize, bytes, samplesRead);
}
