#include "platform/wayland/pipewire_cast.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "platform/wayland/cast_buffer.h"

namespace {

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
  spa_pod_builder_id(&b, CastFormat(0));
  for (size_t i = 0; i < CastFormatCount(); ++i) spa_pod_builder_id(&b, CastFormat(i));
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

int64_t MonotonicNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void InitPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct TStream {
  TPipeWireCast::TImpl* Owner = nullptr;
  pw_stream* Stream = nullptr;
  spa_hook Listener{};
  TCastFormat Format;
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
    s->Format.Format = info.format;
    s->Format.Width = static_cast<int32_t>(info.size.width);
    s->Format.Height = static_cast<int32_t>(info.size.height);
    uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[] = {
        BufferParam(b), MetaParam(b, SPA_META_Header, sizeof(spa_meta_header), sizeof(spa_meta_header)),
        MetaParam(b, SPA_META_Cursor, kCastCursorMetaSize, sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap))};
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
    const TCastBufferRead read = ReadCastBuffer(buffer, s.Format, MonotonicNow(), s.Newest);
    if (read.PointerReported) s.PointerSeen = true;
    if (read.Picture) s.HasPicture = true;
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
