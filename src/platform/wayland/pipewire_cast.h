#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The newest picture of a cast stream, as the desktop sent it.
struct TCastPicture {
  int32_t Width = 0;
  int32_t Height = 0;
  size_t Stride = 0;
  // Where red, green and blue lie in each 4-byte pixel (byte offsets);
  // the fourth byte is alpha or padding and never read.
  int RedByte = 2;
  int GreenByte = 1;
  int BlueByte = 0;
  std::vector<uint8_t> Bytes;  // rows from the top, Stride bytes apart
  uint64_t Count = 0;          // pictures received so far
  int64_t Time = 0;            // when the desktop made it (monotonic clock, ns)

  // The pointer as the desktop reports it beside the picture (metadata
  // cursor mode): position of its hot spot in the stream's pixels and its
  // image as premultiplied ARGB. PointerKnown false: never reported.
  bool PointerKnown = false;
  bool PointerVisible = false;
  int32_t PointerX = 0;
  int32_t PointerY = 0;
  int32_t HotX = 0;
  int32_t HotY = 0;
  int32_t PointerWidth = 0;
  int32_t PointerHeight = 0;
  std::vector<uint32_t> PointerPixels;
};

// The video streams of a screen cast, read from the PipeWire daemon on a
// thread of their own. Each stream keeps a copy of the newest picture it
// received: the desktop sends a picture only when the screen changes, so
// that copy stays current until the next.
class TPipeWireCast {
 public:
  // Connects through fd (taken over) and asks for the nodes' streams in
  // the 32-bit RGB orders; buffers come in shared memory.
  TPipeWireCast(int fd, const std::vector<uint32_t>& nodes);
  ~TPipeWireCast();
  TPipeWireCast(const TPipeWireCast&) = delete;
  TPipeWireCast& operator=(const TPipeWireCast&) = delete;

  size_t Count() const;
  // Waits until every stream has sent a picture, up to timeoutMs, calling
  // idle between looks. False when one has not or a stream has failed.
  bool WaitForPictures(int timeoutMs, const std::function<void()>& idle);
  // Waits until each of streams has a picture made at or after since
  // (monotonic clock, ns), up to timeoutMs. False when one has not.
  bool WaitForPicturesSince(const std::vector<size_t>& streams, int64_t since, int timeoutMs,
                            const std::function<void()>& idle);
  // Whether any stream's pictures came with the pointer beside them.
  bool PointerSeen() const;
  // Lends stream i's newest picture to use, which must not keep it.
  void ReadNewest(size_t i, const std::function<void(const TCastPicture&)>& use) const;
  // A stream ended or failed, or the daemon went away.
  bool Failed() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> FImpl;
};
