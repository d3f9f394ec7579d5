// AVISaveV: a new file from streams, compressing the video where options
// ask for it, with the audio interleaved about one chunk per video frame.
// It is written under a temporary name beside the target and renamed at the
// end, so a failed or aborted save leaves no file behind.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/file.h"
#include "vfw/avi_internal.h"

namespace {

struct TSource {
  PAVISTREAM Input = nullptr;
  PAVISTREAM Output = nullptr;  // where the samples go
  PAVISTREAM Direct = nullptr;  // the file's own stream behind Output
  AVISTREAMINFOA Info{};
  LONG Next = 0;  // the next sample to copy
  LONG End = 0;
  double SamplesPerSecond = 0;
};

// Copies the samples of a stream up to the position to; video one frame at a time.
HRESULT Copy(TSource& s, LONG to, std::vector<uint8_t>& buffer) {
  while (s.Next < to) {
    LONG want = s.Info.dwSampleSize == 0 ? 1 : to - s.Next;
    LONG bytes = 0, samples = 0;
    HRESULT r = AVIStreamRead(s.Input, s.Next, want, nullptr, 0, &bytes, &samples);
    if (r != AVIERR_OK) return r;
    if (samples <= 0) return AVIERR_FILEREAD;
    if (buffer.size() < static_cast<size_t>(bytes)) buffer.resize(static_cast<size_t>(bytes));
    r = AVIStreamRead(s.Input, s.Next, samples, buffer.data(), bytes, &bytes, &samples);
    if (r != AVIERR_OK) return r;
    // Uncompressed frames and audio are all key frames; copied compressed
    // video would keep its own flags, which a frame read does not give, so
    // they are treated alike.
    r = AVIStreamWrite(s.Output, s.Next, samples, buffer.data(), bytes, AVIIF_KEYFRAME, nullptr, nullptr);
    if (r != AVIERR_OK) return r;
    s.Next += samples;
  }
  return AVIERR_OK;
}

// One video frame as read from its stream.
struct TFrame {
  HRESULT Result = AVIERR_OK;
  LONG Samples = 0;
  std::vector<uint8_t> Bytes;
  // The frame's bytes: in Bytes, or lent by the stream.
  const uint8_t* Data = nullptr;
  size_t Size = 0;
};

// The frame's bytes go into buffer, the memory of a frame written before,
// so that frame after frame needs no fresh memory.
TFrame ReadFrame(PAVISTREAM input, LONG position, std::vector<uint8_t> buffer) {
  TFrame frame;
  frame.Bytes = std::move(buffer);
  const void* lent = nullptr;
  LONG lentSize = 0;
  frame.Result = input->Lend(position, &lent, &lentSize);
  if (frame.Result == AVIERR_OK) {
    frame.Samples = 1;
    frame.Data = static_cast<const uint8_t*>(lent);
    frame.Size = static_cast<size_t>(lentSize);
    return frame;
  }
  if (frame.Result != AVIERR_UNSUPPORTED) return frame;
  LONG bytes = 0;
  frame.Result = AVIStreamRead(input, position, 1, nullptr, 0, &bytes, &frame.Samples);
  if (frame.Result != AVIERR_OK) return frame;
  if (frame.Samples <= 0) {
    frame.Result = AVIERR_FILEREAD;
    return frame;
  }
  frame.Bytes.resize(static_cast<size_t>(std::max<LONG>(bytes, 0)));
  frame.Result =
      AVIStreamRead(input, position, frame.Samples, frame.Bytes.data(), bytes, &bytes, &frame.Samples);
  frame.Bytes.resize(static_cast<size_t>(std::max<LONG>(bytes, 0)));
  frame.Data = frame.Bytes.data();
  frame.Size = frame.Bytes.size();
  return frame;
}

// What a save holds: released on every way out, an exception from the
// progress callback included, so no encoder, stream or file is left open.
struct TSaveHandles {
  PAVIFILE File = nullptr;
  std::vector<TSource> Sources;
  // The file's name, removed before the file is completed when the save
  // did not succeed: a file that is gone need not reach the disk, so a
  // cancel does not wait for gigabytes to be written out.
  std::string Path;
  bool Succeeded = false;
  ~TSaveHandles() {
    if (!Succeeded && File) ::unlink(Path.c_str());
    for (TSource& s : Sources) {
      if (s.Output && s.Output != s.Direct) AVIStreamRelease(s.Output);
      if (s.Direct) AVIStreamRelease(s.Direct);
    }
    // The file is completed even after a failure, so that its handle is
    // gone before the caller deletes it.
    while (File && AVIFileRelease(File) > 0) {
    }
  }
};

HRESULT Save(const std::string& path, const AVISAVECALLBACK& callback, int count, PAVISTREAM* streams,
             LPAVICOMPRESSOPTIONS* options) {
  TSaveHandles handles;
  handles.Path = path;
  // Written out as it grows: the video is synced at the end anyway.
  HRESULT r = CreateAviWriter(path, &handles.File, true);
  if (r != AVIERR_OK) return r;
  PAVIFILE file = handles.File;
  std::vector<TSource>& sources = handles.Sources;
  sources.resize(static_cast<size_t>(count));

  for (int i = 0; i < count; ++i) {
    TSource& s = sources[static_cast<size_t>(i)];
    s.Input = streams[i];
    if (!s.Input) return AVIERR_BADHANDLE;
    r = AVIStreamInfoA(s.Input, &s.Info, sizeof s.Info);
    if (r != AVIERR_OK) return r;
    const AVICOMPRESSOPTIONS* opt = options ? options[i] : nullptr;
    const bool compress = opt && opt->fccHandler != 0 && s.Info.fccType == streamtypeVIDEO;
    AVISTREAMINFOA info = s.Info;
    info.dwLength = 0;
    info.dwStart = s.Info.dwStart;
    if (compress) {
      info.fccHandler = opt->fccHandler;
      info.dwQuality = opt->dwQuality;
    }
    r = AVIFileCreateStreamA(file, &s.Direct, &info);
    if (r != AVIERR_OK) return r;
    s.Output = s.Direct;
    if (compress) {
      r = AVIMakeCompressedStream(&s.Output, s.Direct, opt, nullptr);
      if (r != AVIERR_OK) {
        s.Output = nullptr;
        return r;
      }
    }
    LONG size = 0;
    r = AVIStreamReadFormat(s.Input, AVIStreamStart(s.Input), nullptr, &size);
    if (r != AVIERR_OK) return r;
    std::vector<uint8_t> format(static_cast<size_t>(std::max<LONG>(size, 0)));
    r = AVIStreamReadFormat(s.Input, AVIStreamStart(s.Input), format.data(), &size);
    if (r != AVIERR_OK) return r;
    r = AVIStreamSetFormat(s.Output, 0, format.data(), static_cast<LONG>(format.size()));
    if (r != AVIERR_OK) return r;
    s.Next = AVIStreamStart(s.Input);
    s.End = s.Next + AVIStreamLength(s.Input);
    s.SamplesPerSecond = s.Info.dwScale ? static_cast<double>(s.Info.dwRate) / s.Info.dwScale : 0;
  }

  // The first video stream sets the pace; the others follow it in time.
  auto video = std::find_if(sources.begin(), sources.end(),
                            [](const TSource& s) { return s.Info.fccType == streamtypeVIDEO; });
  std::vector<uint8_t> buffer;
  auto report = [&](int percent) { return callback ? callback(percent) : AVIERR_OK; };
  if (report(0) != AVIERR_OK) return AVIERR_USERABORT;
  if (video != sources.end()) {
    const LONG first = video->Next, frames = video->End - video->Next;
    // The next frame is read on another thread while this one is
    // compressed and written: reading a large frame costs about as much
    // as writing it.
    // The first read, here, also flushes what a file still open for
    // writing holds in its buffer, before any other thread reads it.
    std::future<TFrame> next;
    std::vector<uint8_t> spare;
    if (frames > 0)
      next = std::async(std::launch::deferred, ReadFrame, video->Input, first, std::vector<uint8_t>());
    for (LONG frame = 0; frame < frames; ++frame) {
      TFrame current = next.get();
      if (frame + 1 < frames)
        next = std::async(std::launch::async, ReadFrame, video->Input, first + frame + 1, std::move(spare));
      if (current.Result != AVIERR_OK) return current.Result;
      // A lent frame stays as it is until the read after next: the next
      // read runs meanwhile, the one after starts when this write is done.
      r = AVIStreamWrite(video->Output, video->Next, current.Samples, current.Data,
                         static_cast<LONG>(current.Size), AVIIF_KEYFRAME, nullptr, nullptr);
      if (r != AVIERR_OK) return r;
      spare = std::move(current.Bytes);
      video->Next += current.Samples;
      const double until = video->SamplesPerSecond > 0 ? (frame + 1) / video->SamplesPerSecond : 0;
      for (TSource& s : sources) {
        if (&s == &*video) continue;
        const double target = static_cast<double>(s.Info.dwStart) + std::ceil(until * s.SamplesPerSecond);
        r = Copy(s, static_cast<LONG>(std::min<double>(target, s.End)), buffer);
        if (r != AVIERR_OK) return r;
      }
      if (report(static_cast<int>(int64_t{frame + 1} * 100 / frames)) != AVIERR_OK) return AVIERR_USERABORT;
    }
  }
  // What is left: streams longer than the video, or all of them without one.
  for (TSource& s : sources) {
    r = Copy(s, s.End, buffer);
    if (r != AVIERR_OK) return r;
  }
  for (TSource& s : sources) {
    if (s.Output != s.Direct) AVIStreamRelease(s.Output);  // flushes the encoder into Direct
    s.Output = nullptr;
  }
  for (TSource& s : sources) {
    AVIStreamRelease(s.Direct);
    s.Direct = nullptr;
  }
  sources.clear();
  r = AVIFileFinishWrite(file);  // a late write error, before the release hides it
  if (r != AVIERR_OK) return r;
  // The last word comes when the file is complete on the disk and not yet
  // in place: stopping here still leaves nothing behind.
  if (report(100) != AVIERR_OK) return AVIERR_USERABORT;
  handles.Succeeded = true;
  return AVIERR_OK;
}

}  // namespace

HRESULT AVISaveV(const char* path, const void*, const AVISAVECALLBACK& callback, int streamCount,
                 PAVISTREAM* streams, LPAVICOMPRESSOPTIONS* options) {
  if (!path || streamCount <= 0 || !streams) return AVIERR_BADPARAM;
  // Written under a hidden name beside the file it replaces: until the
  // end the old file is untouched.
  std::unique_ptr<TSaveFile> file;
  try {
    file = std::make_unique<TSaveFile>(path);
  } catch (const Exception&) {
    return AVIERR_FILEOPEN;
  }
  HRESULT r;
  try {
    r = Save(file->Temporary(), callback, streamCount, streams, options);
  } catch (const std::bad_alloc&) {
    r = AVIERR_MEMORY;
  } catch (...) {
    r = AVIERR_ERROR;
  }
  if (r != AVIERR_OK) return r;
  try {
    file->Commit();
  } catch (const Exception&) {
    return AVIERR_FILEWRITE;
  }
  return AVIERR_OK;
}
