#include "exercise.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "vfw/avi_internal.h"

int32_t ExerciseReader(const uint8_t* data, size_t size) {
  PAVIFILE file = nullptr;
  HRESULT r = OpenAviReader(std::make_shared<TMemoryReader>(data, size), &file);
  if (r != AVIERR_OK) return r;
  for (LONG n = 0;; ++n) {
    PAVISTREAM stream = nullptr;
    if (AVIFileGetStream(file, &stream, 0, n) != AVIERR_OK) break;
    AVISTREAMINFOA info{};
    AVIStreamInfoA(stream, &info, 204);
    LONG formatSize = 0;
    AVIStreamReadFormat(stream, 0, nullptr, &formatSize);
    std::vector<uint8_t> format(
        static_cast<size_t>(formatSize > 0 && formatSize < (1 << 20) ? formatSize : 0));
    LONG got = static_cast<LONG>(format.size());
    AVIStreamReadFormat(stream, 0, format.data(), &got);
    const LONG start = AVIStreamStart(stream), length = AVIStreamLength(stream);
    std::vector<uint8_t> buffer;
    // Every sample, in reads of up to 4096 samples and 1 MiB.
    // (In 64 bits: a header may put the start and length anywhere.)
    const int64_t end = int64_t(start) + length;
    for (int64_t at = start; at < end && at - start < 100000;) {
      LONG bytes = 0, samples = 0;
      if (AVIStreamRead(stream, LONG(at), 4096, nullptr, 0, &bytes, &samples) != AVIERR_OK || samples <= 0) break;
      if (bytes > (1 << 20)) bytes = 1 << 20;
      buffer.resize(static_cast<size_t>(bytes));
      if (AVIStreamRead(stream, LONG(at), samples, buffer.data(), bytes, &bytes, &samples) != AVIERR_OK ||
          samples <= 0)
        break;
      at += samples;
    }
    // Positions outside the stream are refused, never read.
    LONG bytes = 0;
    if (start > INT32_MIN) AVIStreamRead(stream, start - 1, 1, nullptr, 0, &bytes, nullptr);
    if (end <= INT32_MAX) AVIStreamRead(stream, LONG(end), 1, nullptr, 0, &bytes, nullptr);
    PAVISTREAM copy = nullptr;
    if (CreateEditableStream(&copy, stream) == AVIERR_OK) AVIStreamRelease(copy);
    AVIStreamRelease(stream);
  }
  AVIFileRelease(file);
  return AVIERR_OK;
}
