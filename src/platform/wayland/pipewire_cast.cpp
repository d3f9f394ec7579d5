#include "platform/wayland/pipewire_cast.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/exception.h"

namespace {

// The largest pointer image taken from the metadata. Desktops give their
// metadata one fixed size, as large as their largest pointer needs: GNOME
// 384 x 384, KDE Plasma 256 x 256. A range that leaves it out gets none.
constexpr int32_t kPointerSide = 512;
constexpr size_t kCursorMetaSize =
    sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t{kPointerSide} * kPointerSide * 4;

// Byte offsets of red, green and blue within a pixel of each format taken.
struct TLayout {
  spa_video_format Format;
  int Red, Green, Blue;
};
constexpr TLayout kLayouts[] = {
    {SPA_VIDEO_FORMAT_BGRx, 2, 1, 0}, {SPA_VIDEO_FORMAT_BGRA, 2, 1, 0}, {SPA_VIDEO_FORMAT_RGBx, 0, 1, 2},
    {SPA_VIDEO_FORMAT_RGBA, 0, 1, 2}, {SPA_VIDEO_FORMAT_xRGB, 1, 2, 3}, {SPA_VIDEO_FORMAT_ARGB, 1, 2, 3},
    {SPA_VIDEO_FORMAT_xBGR, 3, 2, 1}, {SPA_VIDEO_FORMAT_ABGR, 3, 2, 1},
};

const TLayout* LayoutOf(uint32_t format) {
  for (const TLayout& l : kLayouts)
    if (l.Format == format) return &l;
  return nullptr;
}

// What we take: raw video in any of the layouts, any size and rate.
const spa_pod* EnumFormat(spa_pod_builder& b) {
  spa_pod_frame object, choice;
  spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(&b, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
  spa_pod_builder_id(&b, kLayouts[0].Format);
  for (const TLayout& l : kLayouts) spa_pod_builder_id(&b, l.Format);
  spa_pod_builder_pop(&b, &choice);
  spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_rectangle(&b, 1920, 1080);
  spa_pod_builder_rectangle(&b, 1, 1);
  spa_pod_builder_rectangle(&b, 16384, 16384);
  spa_pod_builder_pop(&b, &choice);
  spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_fraction(&b, 30, 1);
  spa_pod_builder_fraction(&b, 0, 1);
  spa_pod_builder_fraction(&b, 1000, 1);
  spa_pod_builder_pop(&b, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
}

// Buffers in memory we can map (no DMA-BUF), and the metadata we read.
const spa_pod* BufferParam(spa_pod_builder& b) {
  spa_pod_frame object;
  spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_int(&b, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
}

// Metadata of a size from minimum up to size: a desktop gives the pointer
// in what room its images need.
const spa_pod* MetaParam(spa_pod_builder& b, spa_meta_type type, size_t size, size_t minimum) {
  spa_pod_frame object, choice;
  spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
  spa_pod_builder_prop(&b, SPA_PARAM_META_type, 0);
  spa_pod_builder_id(&b, type);
  spa_pod_builder_prop(&b, SPA_PARAM_META_size, 0);
  spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_int(&b, static_cast<int32_t>(size));
  spa_pod_builder_int(&b, static_cast<int32_t>(minimum));
  spa_pod_builder_int(&b, static_cast<int32_t>(size));
  spa_pod_builder_pop(&b, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
}

// The pointer's image into premultiplied ARGB words. bitmap: its header,
// copied from at, where it may lie unaligned; room: the bytes from at to
// the end of the metadata.
void ReadPointerImage(const spa_meta_bitmap& bitmap, const uint8_t* at, size_t room, TCastPicture& picture) {
  const TLayout* layout = LayoutOf(bitmap.format);
  const int32_t width = static_cast<int32_t>(bitmap.size.width),
                height = static_cast<int32_t>(bitmap.size.height);
  if (!layout || width <= 0 || height <= 0 || width > kPointerSide || height > kPointerSide ||
      bitmap.stride < width * 4 || bitmap.offset < sizeof bitmap ||
      size_t{bitmap.offset} + size_t(bitmap.stride) * (height - 1) + size_t(width) * 4 > room) {
    picture.PointerWidth = picture.PointerHeight = 0;
    picture.PointerPixels.clear();
    return;
  }
  // Alpha is the byte that none of the colours takes.
  const int alpha = 6 - layout->Red - layout->Green - layout->Blue;
  const bool hasAlpha = bitmap.format == SPA_VIDEO_FORMAT_BGRA || bitmap.format == SPA_VIDEO_FORMAT_RGBA ||
                        bitmap.format == SPA_VIDEO_FORMAT_ARGB || bitmap.format == SPA_VIDEO_FORMAT_ABGR;
  picture.PointerWidth = width;
  picture.PointerHeight = height;
  picture.PointerPixels.resize(size_t(width) * height);
  const uint8_t* rows = at + bitmap.offset;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* p = rows + size_t(y) * bitmap.stride + size_t(x) * 4;
      const uint32_t a = hasAlpha ? p[alpha] : 255;
      // The desktop gives straight alpha; drawing wants it multiplied in.
      const auto mul = [a](uint8_t c) { return (uint32_t{c} * a + 127) / 255; };
      picture.PointerPixels[size_t(y) * width + x] =
          (a << 24) | (mul(p[layout->Red]) << 16) | (mul(p[layout->Green]) << 8) | mul(p[layout->Blue]);
    }
}

int64_t MonotonicNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A picture's own timestamp further than this from its arrival is of
// another clock.
constexpr int64_t kPlausibleNs = 5'000'000'000;

void InitPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct TStream {
  TPipeWireCast::TImpl* Owner = nullptr;
  pw_stream* Stream = nullptr;
  spa_hook Listener{};
  const TLayout* Layout = nullptr;
  int32_t Width = 0;
  int32_t Height = 0;
  mutable std::mutex Lock;
  TCastPicture Newest;
  std::atomic<bool> Failed{false};
  std::atomic<bool> HasPicture{false};
  std::atomic<bool> PointerSeen{false};  // the desktop told of the pointer beside a picture
};

struct TPipeWireCast::TImpl {
  pw_thread_loop* Loop = nullptr;
  pw_context* Context = nullptr;
  pw_core* Core = nullptr;
  spa_hook CoreListener{};
  std::vector<std::unique_ptr<TStream>> Streams;
  std::atomic<bool> CoreFailed{false};

  // Also what a constructor that failed half-way has made goes.
  ~TImpl() {
    if (Loop) {
      pw_thread_loop_lock(Loop);
      for (auto& s : Streams)
        if (s->Stream) pw_stream_destroy(s->Stream);
      if (Core) pw_core_disconnect(Core);
      pw_thread_loop_unlock(Loop);
      pw_thread_loop_stop(Loop);
    }
    if (Context) pw_context_destroy(Context);
    if (Loop) pw_thread_loop_destroy(Loop);
  }

  static void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* s = static_cast<TStream*>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) s->Failed = true;
  }

  static void OnParamChanged(void* data, uint32_t id, const spa_pod* param) {
    auto* s = static_cast<TStream*>(data);
    if (id != SPA_PARAM_Format || !param) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &info) < 0)
      return;
    s->Layout = LayoutOf(info.format);
    s->Width = static_cast<int32_t>(info.size.width);
    s->Height = static_cast<int32_t>(info.size.height);
    uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[] = {
        BufferParam(b), MetaParam(b, SPA_META_Header, sizeof(spa_meta_header), sizeof(spa_meta_header)),
        MetaParam(b, SPA_META_Cursor, kCursorMetaSize, sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap))};
    pw_stream_update_params(s->Stream, params, 3);
  }

  static void OnProcess(void* data) {
    auto* s = static_cast<TStream*>(data);
    // Only the newest buffer counts; older ones go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(s->Stream)) {
      if (newest) pw_stream_queue_buffer(s->Stream, newest);
      newest = b;
    }
    if (!newest) return;
    Take(*s, *newest->buffer);
    pw_stream_queue_buffer(s->Stream, newest);
  }

  static void Take(TStream& s, const spa_buffer& buffer) {
    std::lock_guard<std::mutex> lock(s.Lock);
    TCastPicture& picture = s.Newest;
    const spa_meta* cursorMeta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
    if (cursorMeta && cursorMeta->size >= sizeof(spa_meta_cursor)) {
      const auto* cursor = static_cast<const spa_meta_cursor*>(cursorMeta->data);
      const size_t room = std::min<size_t>(cursorMeta->size, kCursorMetaSize);
      // An id of 0 means nothing new about the pointer.
      if (cursor->id != 0) {
        s.PointerSeen = true;
        picture.PointerKnown = true;
        picture.PointerVisible = true;
        picture.PointerX = cursor->position.x;
        picture.PointerY = cursor->position.y;
        if (cursor->bitmap_offset >= sizeof(spa_meta_cursor) &&
            size_t{cursor->bitmap_offset} + sizeof(spa_meta_bitmap) <= room) {
          const uint8_t* at = static_cast<const uint8_t*>(cursorMeta->data) + cursor->bitmap_offset;
          spa_meta_bitmap bitmap;
          std::memcpy(&bitmap, at, sizeof bitmap);
          // Format 0: no new image, the last stands. No pixels: hidden.
          if (bitmap.format != 0) {
            picture.HotX = cursor->hotspot.x;
            picture.HotY = cursor->hotspot.y;
            ReadPointerImage(bitmap, at, room - cursor->bitmap_offset, picture);
          }
        }
        picture.PointerVisible = picture.PointerWidth > 0;
      }
    }
    const auto* header = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return;
    if (buffer.n_datas < 1 || !s.Layout) return;
    const spa_data& d = buffer.datas[0];
    // A buffer with only metadata, or one that does not hold the picture
    // the format promises, leaves the last picture standing.
    if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) ||
        s.Width <= 0 || s.Height <= 0)
      return;
    const size_t rowBytes = size_t(s.Width) * 4;
    const size_t stride = d.chunk->stride > 0 ? size_t(d.chunk->stride) : rowBytes;
    const size_t offset = d.chunk->offset % std::max<uint32_t>(d.maxsize, 1);
    if (stride < rowBytes || offset + stride * (size_t(s.Height) - 1) + rowBytes > d.maxsize) return;
    picture.Width = s.Width;
    picture.Height = s.Height;
    picture.Stride = rowBytes;
    picture.RedByte = s.Layout->Red;
    picture.GreenByte = s.Layout->Green;
    picture.BlueByte = s.Layout->Blue;
    picture.Bytes.resize(rowBytes * size_t(s.Height));
    const auto* source = static_cast<const uint8_t*>(d.data) + offset;
    if (stride == rowBytes) {
      std::memcpy(picture.Bytes.data(), source, rowBytes * size_t(s.Height));
    } else {
      for (int32_t y = 0; y < s.Height; ++y)
        std::memcpy(picture.Bytes.data() + rowBytes * size_t(y), source + stride * size_t(y), rowBytes);
    }
    // When the desktop made it: its timestamp, on the monotonic clock as the
    // desktops keep it; when it came, where the timestamp is of another clock.
    const int64_t came = MonotonicNow();
    picture.Time =
        header && header->pts > 0 && std::llabs(header->pts - came) < kPlausibleNs ? header->pts : came;
    ++picture.Count;
    s.HasPicture = true;
  }

  static void OnCoreError(void* data, uint32_t id, int, int, const char*) {
    if (id == PW_ID_CORE) static_cast<TImpl*>(data)->CoreFailed = true;
  }
};

namespace {
const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = TPipeWireCast::TImpl::OnStateChanged;
  e.param_changed = TPipeWireCast::TImpl::OnParamChanged;
  e.process = TPipeWireCast::TImpl::OnProcess;
  return e;
}();
const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.error = TPipeWireCast::TImpl::OnCoreError;
  return e;
}();
}  // namespace

TPipeWireCast::TPipeWireCast(int fd, const std::vector<uint32_t>& nodes) : FImpl(std::make_unique<TImpl>()) {
  InitPipeWire();
  TImpl& p = *FImpl;
  p.Loop = pw_thread_loop_new("pelimar-cast", nullptr);
  if (!p.Loop) {
    ::close(fd);
    throw Exception("Cannot read the screen cast: no PipeWire loop");
  }
  p.Context = pw_context_new(pw_thread_loop_get_loop(p.Loop), nullptr, 0);
  if (!p.Context || pw_thread_loop_start(p.Loop) < 0) {
    ::close(fd);
    throw Exception("Cannot read the screen cast: no PipeWire context");
  }
  pw_thread_loop_lock(p.Loop);
  p.Core = pw_context_connect_fd(p.Context, fd, nullptr, 0);
  if (!p.Core) {
    pw_thread_loop_unlock(p.Loop);
    throw Exception("Cannot read the screen cast: the PipeWire daemon does not answer");
  }
  pw_core_add_listener(p.Core, &p.CoreListener, &kCoreEvents, &p);
  for (uint32_t node : nodes) {
    auto s = std::make_unique<TStream>();
    s->Owner = &p;
    s->Stream = pw_stream_new(p.Core, "Pelimar",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!s->Stream) {
      pw_thread_loop_unlock(p.Loop);
      throw Exception("Cannot read the screen cast: no PipeWire stream");
    }
    pw_stream_add_listener(s->Stream, &s->Listener, &kStreamEvents, s.get());
    uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[] = {EnumFormat(b)};
    const int result = pw_stream_connect(
        s->Stream, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    p.Streams.push_back(std::move(s));
    if (result < 0) {
      pw_thread_loop_unlock(p.Loop);
      throw Exception("Cannot read the screen cast: stream " + std::to_string(node) + " does not connect");
    }
  }
  pw_thread_loop_unlock(p.Loop);
}

TPipeWireCast::~TPipeWireCast() = default;

size_t TPipeWireCast::Count() const {
  return FImpl->Streams.size();
}

bool TPipeWireCast::WaitForPictures(int timeoutMs, const std::function<void()>& idle) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Failed()) return false;
    if (std::all_of(FImpl->Streams.begin(), FImpl->Streams.end(),
                    [](const auto& s) { return s->HasPicture.load(); }))
      return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    if (idle) idle();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool TPipeWireCast::WaitForPicturesSince(const std::vector<size_t>& streams, int64_t since, int timeoutMs,
                                         const std::function<void()>& idle) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Failed()) return false;
    if (std::all_of(streams.begin(), streams.end(), [&](size_t i) {
          const TStream& s = *FImpl->Streams.at(i);
          std::lock_guard<std::mutex> lock(s.Lock);
          return s.Newest.Count > 0 && s.Newest.Time >= since;
        }))
      return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    if (idle) idle();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool TPipeWireCast::PointerSeen() const {
  return std::any_of(FImpl->Streams.begin(), FImpl->Streams.end(),
                     [](const auto& s) { return s->PointerSeen.load(); });
}

void TPipeWireCast::ReadNewest(size_t i, const std::function<void(const TCastPicture&)>& use) const {
  const TStream& s = *FImpl->Streams.at(i);
  std::lock_guard<std::mutex> lock(s.Lock);
  use(s.Newest);
}

bool TPipeWireCast::Failed() const {
  if (FImpl->CoreFailed) return true;
  return std::any_of(FImpl->Streams.begin(), FImpl->Streams.end(),
                     [](const auto& s) { return s->Failed.load(); });
}
