// The AVIFile functions over the objects, editable copies, and the
// compressing stream.
#include <algorithm>
#include <cstring>

#include "vfw/avi_internal.h"
#include "vfw/compressor.h"

namespace {

// Frames written to it are compressed and written on into the target.
struct TCompressedStream final : TAviStreamObject {
  TCompressedStream(PAVISTREAM target, const AVICOMPRESSOPTIONS& options) : Target(target), Options(options) {
    AVIStreamAddRef(target);
  }
  ~TCompressedStream() override { AVIStreamRelease(Target); }

  HRESULT SetFormat(LONG pos, const void* format, LONG size) override {
    if (pos != 0 || !format || size < 40) return AVIERR_BADPARAM;
    if (Compressor) return AVIERR_UNSUPPORTED;
    std::shared_ptr<TCompressorDriver> driver = FindCompressorDriver(Options.fccHandler);
    if (!driver) return AVIERR_NOCOMPRESSOR;
    const auto* bytes = static_cast<const uint8_t*>(format);
    if (!driver->Accepts(bytes, static_cast<size_t>(size))) return AVIERR_BADFORMAT;
    TCompressorSettings settings;
    settings.Quality = Options.dwQuality;
    settings.KeyFrameEvery = (Options.dwFlags & AVICOMPRESSF_KEYFRAMES) ? Options.dwKeyFrameEvery : 0;
    try {
      Compressor = driver->Open(bytes, static_cast<size_t>(size), settings);
    } catch (...) {
      Compressor.reset();
    }
    if (!Compressor) return AVIERR_COMPRESSOR;
    const std::vector<uint8_t> output = Compressor->OutputFormat();
    return AVIStreamSetFormat(Target, 0, output.data(), static_cast<LONG>(output.size()));
  }

  HRESULT Write(LONG start, LONG samples, const void* buffer, LONG bufferSize, DWORD, LONG* samplesWritten,
                LONG* bytesWritten) override {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    if (!Compressor) return AVIERR_BADFORMAT;
    if (samples != 1 || !buffer || bufferSize < 0) return AVIERR_BADPARAM;
    // The compressor decides which frames are key frames, from the options.
    std::vector<TCompressedChunk> chunks;
    bool ok;
    try {
      ok = Compressor->Compress(static_cast<const uint8_t*>(buffer), static_cast<size_t>(bufferSize), false,
                                chunks);
    } catch (...) {
      ok = false;
    }
    if (!ok) return AVIERR_COMPRESSOR;
    (void)start;
    HRESULT r = WriteOut(chunks);
    if (r == AVIERR_OK && samplesWritten) *samplesWritten = 1;
    if (r == AVIERR_OK && bytesWritten) *bytesWritten = bufferSize;
    return r;
  }

  HRESULT WriteOut(const std::vector<TCompressedChunk>& chunks) {
    for (const TCompressedChunk& chunk : chunks) {
      HRESULT r = AVIStreamWrite(Target, AVIStreamStart(Target) + AVIStreamLength(Target), 1,
                                 chunk.Data.data(), static_cast<LONG>(chunk.Data.size()),
                                 chunk.KeyFrame ? AVIIF_KEYFRAME : 0, nullptr, nullptr);
      if (r != AVIERR_OK) return r;
    }
    return AVIERR_OK;
  }

  void Finish() override {
    // Frames the encoder still holds reach their places before the stream goes.
    if (!Compressor) return;
    std::vector<TCompressedChunk> chunks;
    try {
      if (Compressor->Flush(chunks)) WriteOut(chunks);
    } catch (...) {
    }
    Compressor.reset();
  }

  HRESULT ReadFormat(LONG pos, void* format, LONG* size) override {
    return AVIStreamReadFormat(Target, pos, format, size);
  }
  HRESULT Info(AVISTREAMINFOA& info) override { return AVIStreamInfoA(Target, &info, sizeof info); }
  LONG Start() override { return AVIStreamStart(Target); }
  LONG Length() override { return AVIStreamLength(Target); }
  HRESULT Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
               LONG* samplesRead) override {
    return AVIStreamRead(Target, start, samples, buffer, bufferSize, bytes, samplesRead);
  }

  PAVISTREAM Target;
  AVICOMPRESSOPTIONS Options;
  std::unique_ptr<TCompressor> Compressor;
};

// Frames made when they are read, by the owner's function.
struct TSourceStream final : TAviStreamObject {
  TSourceStream(const AVISTREAMINFOA& info, std::vector<uint8_t> format, LONG frameSize, AVIFRAMESOURCE read)
      : FInfo(info), FFormat(std::move(format)), FFrameSize(frameSize), FRead(std::move(read)) {
    FInfo.dwSampleSize = 0;  // a frame is a sample
  }

  HRESULT ReadFormat(LONG, void* format, LONG* size) override {
    if (!size) return AVIERR_BADPARAM;
    const auto have = static_cast<LONG>(FFormat.size());
    if (!format) {
      *size = have;
      return AVIERR_OK;
    }
    if (*size < 0) return AVIERR_BADPARAM;
    const LONG copied = std::min(*size, have);
    if (copied > 0) std::memcpy(format, FFormat.data(), static_cast<size_t>(copied));
    *size = have;
    return copied < have ? AVIERR_BUFFERTOOSMALL : AVIERR_OK;
  }
  HRESULT Info(AVISTREAMINFOA& info) override {
    info = FInfo;
    return AVIERR_OK;
  }
  LONG Start() override { return static_cast<LONG>(FInfo.dwStart); }
  LONG Length() override { return static_cast<LONG>(FInfo.dwLength); }
  HRESULT Read(LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes, LONG* samplesRead) override {
    if (bytes) *bytes = 0;
    if (samplesRead) *samplesRead = 0;
    if (start < Start() || start >= Start() + Length() || samples <= 0) return AVIERR_BADPARAM;
    if (!buffer) {
      if (bytes) *bytes = FFrameSize;
      if (samplesRead) *samplesRead = 1;
      return AVIERR_OK;
    }
    if (bufferSize < FFrameSize) return AVIERR_BUFFERTOOSMALL;
    const void* data = nullptr;
    LONG size = 0;
    const HRESULT r = Lend(start, &data, &size);
    if (r != AVIERR_OK) return r;
    std::memcpy(buffer, data, static_cast<size_t>(size));
    if (bytes) *bytes = size;
    if (samplesRead) *samplesRead = 1;
    return AVIERR_OK;
  }
  HRESULT Lend(LONG pos, const void** data, LONG* size) override {
    *data = nullptr;
    *size = 0;
    if (pos < Start() || pos >= Start() + Length()) return AVIERR_BADPARAM;
    try {
      *data = FRead(pos);
    } catch (const std::bad_alloc&) {
      return AVIERR_MEMORY;
    } catch (...) {
      return AVIERR_ERROR;
    }
    if (!*data) return AVIERR_ERROR;
    *size = FFrameSize;
    return AVIERR_OK;
  }

  AVISTREAMINFOA FInfo;
  std::vector<uint8_t> FFormat;
  LONG FFrameSize;
  AVIFRAMESOURCE FRead;
};

std::atomic<int> InitCount{0};

}  // namespace

void AVIFileInit() {
  ++InitCount;
}
void AVIFileExit() {
  --InitCount;
}

HRESULT AVIFileOpenA(PAVIFILE* file, const char* path, UINT mode, const void*) {
  if (!file || !path) return AVIERR_BADPARAM;
  *file = nullptr;
  if (mode & OF_CREATE) {
    if (!(mode & OF_WRITE)) return AVIERR_BADFLAGS;
    return CreateAviWriter(path, file);
  }
  if (mode & OF_WRITE) return AVIERR_UNSUPPORTED;  // existing files are not edited
  std::shared_ptr<TRawFile> raw = TRawFile::OpenRead(path);
  if (!raw) return AVIERR_FILEOPEN;
  return OpenAviReader(std::move(raw), file);
}

LONG AVIFileAddRef(PAVIFILE file) {
  return file ? ++file->Refs : 0;
}

LONG AVIFileRelease(PAVIFILE file) {
  if (!file) return 0;
  LONG left = --file->Refs;
  if (left == 0) {
    file->Close();
    delete file;
  }
  return left;
}

HRESULT AVIFileFinishWrite(PAVIFILE file) {
  if (!file) return AVIERR_BADHANDLE;
  return file->Close();
}

HRESULT AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFOA* info) {
  if (!file || !stream || !info) return AVIERR_BADPARAM;
  *stream = nullptr;
  return file->CreateStream(*info, stream);
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, DWORD fccType, LONG lParam) {
  if (!file || !stream) return AVIERR_BADPARAM;
  *stream = nullptr;
  return file->GetStream(fccType, lParam, stream);
}

LONG AVIStreamAddRef(PAVISTREAM stream) {
  return stream ? ++stream->Refs : 0;
}

LONG AVIStreamRelease(PAVISTREAM stream) {
  if (!stream) return 0;
  LONG left = --stream->Refs;
  if (left == 0) {
    stream->Finish();
    delete stream;
  }
  return left;
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG pos, const void* format, LONG size) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->SetFormat(pos, format, size);
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, LONG pos, void* format, LONG* size) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->ReadFormat(pos, format, size);
}

HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, LONG size) {
  if (!stream || !info || size < 0) return AVIERR_BADPARAM;
  AVISTREAMINFOA whole{};
  HRESULT r = stream->Info(whole);
  if (r != AVIERR_OK) return r;
  std::memcpy(info, &whole, std::min<size_t>(static_cast<size_t>(size), sizeof whole));
  return AVIERR_OK;
}

LONG AVIStreamStart(PAVISTREAM stream) {
  return stream ? stream->Start() : -1;
}
LONG AVIStreamLength(PAVISTREAM stream) {
  return stream ? stream->Length() : -1;
}

HRESULT AVIStreamRead(PAVISTREAM stream, LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
                      LONG* samplesRead) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->Read(start, samples, buffer, bufferSize, bytes, samplesRead);
}

HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples, const void* buffer, LONG bufferSize,
                       DWORD flags, LONG* samplesWritten, LONG* bytesWritten) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->Write(start, samples, buffer, bufferSize, flags, samplesWritten, bytesWritten);
}

HRESULT CreateEditableStream(PAVISTREAM* result, PAVISTREAM source) {
  if (!result || !source) return AVIERR_BADPARAM;
  *result = nullptr;
  std::shared_ptr<TTrack> track = source->SharedTrack();
  if (!track) return AVIERR_UNSUPPORTED;
  *result = new TTrackStream(std::move(track));
  return AVIERR_OK;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source, const AVICOMPRESSOPTIONS* options,
                                const void*) {
  if (!compressed || !source || !options) return AVIERR_BADPARAM;
  *compressed = nullptr;
  if (options->fccType != 0 && options->fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  if (!FindCompressorDriver(options->fccHandler)) return AVIERR_NOCOMPRESSOR;
  *compressed = new TCompressedStream(source, *options);
  return AVIERR_OK;
}

HRESULT AVIMakeSourceStream(PAVISTREAM* stream, const AVISTREAMINFOA& info, const void* format, LONG formatSize,
                            LONG frameSize, AVIFRAMESOURCE read) {
  if (!stream) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!format || formatSize <= 0 || frameSize < 0 || !read || info.fccType != streamtypeVIDEO)
    return AVIERR_BADPARAM;
  const auto* bytes = static_cast<const uint8_t*>(format);
  *stream = new TSourceStream(info, std::vector<uint8_t>(bytes, bytes + formatSize), frameSize, std::move(read));
  return AVIERR_OK;
}
