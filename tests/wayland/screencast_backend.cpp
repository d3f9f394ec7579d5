// A screen-cast service of the tests' own: it stands in for the desktop's ScreenCast portal backend behind
// the real xdg-desktop-portal and publishes known pictures through PipeWire, so that a test can check every
// pixel a recording got. Debian 12's wlroots backend cannot cast a software-rendered output, which is all a
// headless test desktop without a GPU has. It serves org.freedesktop.impl.portal.ScreenCast (version 4) as
// org.freedesktop.impl.portal.desktop.pelimartest: one PipeWire stream (producer and driver) per selected
// monitor, monitor m showing PatternPixel(m, x, y). It logs a line per call, and the line "restored" when
// SelectSources brought our restore_data. It also serves org.freedesktop.impl.portal.GlobalShortcuts, with a
// method Press(s id) of its own that stands for the user pressing a bound shortcut. SIGUSR1 closes every session from the desktop side, SIGTERM and
// SIGINT end the service.
// Options: --monitors=WxH[+X+Y],... (default 640x480; without +X+Y side by side from 0,0),
// --format=BGRx|RGBx|BGRA|RGBA, --stride-padding=N, --fps=N (default 30), --still (one picture when a stream
// starts, sent again a few times in its first 1.5 s), --buffers=memfd|memptr (who allocates: we, as
// compositors do, or PipeWire), --pattern=xy|blocks,
// --start-response=N (answer every Start with N: 1 cancelled, 2 failed), --cursor-modes=N (default 3; with
// 4, metadata, the first monitor's pointer goes beside its pictures), --cursor-meta-size=N (the one size of
// that metadata offered, in bytes: GNOME offers 589872, KDE Plasma 262192; 0 offers none although the mode
// is said to be there), --shortcut-sessions=fail (every GlobalShortcuts.CreateSession answers 2, as a
// backend of another desktop that cannot work here).
// Build with -isystem for the include folders of libpipewire-0.3 and libsystemd: the SPA headers' inline
// functions use C compound literals, which -Wpedantic reports.

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kBusName = "org.freedesktop.impl.portal.desktop.pelimartest";
constexpr const char* kSessionInterface = "org.freedesktop.impl.portal.Session";
// Our restore_data: (vendor, version, <u mask of the selected monitors>). The frontend keeps it behind the
// token and gives back only what our Start returned.
constexpr const char* kRestoreVendor = "pelimartest";
constexpr uint32_t kRestoreVersion = 2;
constexpr uint32_t kSourceMonitor = 1;

[[gnu::format(printf, 1, 2)]] void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}

void Check(int result, const char* what) {
  if (result < 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(-result));
}

template <auto Function>
struct CDeleter {
  void operator()(auto* pointer) const noexcept { Function(pointer); }
};

using BusPtr = std::unique_ptr<sd_bus, CDeleter<sd_bus_flush_close_unref>>;
using EventPtr = std::unique_ptr<sd_event, CDeleter<sd_event_unref>>;
using EventSourcePtr = std::unique_ptr<sd_event_source, CDeleter<sd_event_source_disable_unref>>;
using SlotPtr = std::unique_ptr<sd_bus_slot, CDeleter<sd_bus_slot_unref>>;
using MessagePtr = std::unique_ptr<sd_bus_message, CDeleter<sd_bus_message_unref>>;
using PwLoopPtr = std::unique_ptr<pw_loop, CDeleter<pw_loop_destroy>>;
using PwContextPtr = std::unique_ptr<pw_context, CDeleter<pw_context_destroy>>;
using PwCorePtr = std::unique_ptr<pw_core, CDeleter<pw_core_disconnect>>;

enum class PatternKind { Xy, Blocks };

// Each name tells the order of the bytes in memory; x is padding.
constexpr std::string_view kFormatNames[] = {"BGRx", "RGBx", "BGRA", "RGBA"};
constexpr spa_video_format kFormats[] = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_BGRA,
                                         SPA_VIDEO_FORMAT_RGBA};

struct Monitor {
  int32_t Width = 0, Height = 0, X = 0, Y = 0;
  uint32_t Stride = 0;
  std::vector<uint8_t> Picture;  // one frame, ready to copy
};

struct Config {
  std::vector<Monitor> Monitors;
  size_t Format = 0;  // index into kFormats
  uint32_t StridePadding = 0, Fps = 30, StartResponse = 0, CursorModes = 3, CursorMetaSize = 0;
  bool Still = false, MemFd = true, ShortcutSessionsFail = false;
  PatternKind Pattern = PatternKind::Xy;
};

struct Rgb {
  uint8_t r, g, b;
};

// The test picture; the tests compute the same. Xy: every pixel of a monitor up to 4096x4096 has its own
// colour, and monitors differ at every pixel: v = (x | y << 12) ^ ((monitor + 1) * 0x9E3779B1 mod 2^24);
// r = v >> 16, g = v >> 8 & 0xff, b = v & 0xff. Blocks: grey 16x16 blocks of 8 widely spaced levels, which
// JPEG keeps nearly whole on its own 16-pixel grid while a picture off by one pixel differs at every edge.
Rgb PatternPixel(PatternKind kind, uint32_t monitor, uint32_t x, uint32_t y) {
  if (kind == PatternKind::Xy) {
    const uint32_t salt = ((monitor + 1) * 0x9E3779B1u) & 0xffffffu;
    const uint32_t value = ((x & 0xfffu) | ((y & 0xfffu) << 12)) ^ salt;
    return {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  }
  const uint32_t bx = x / 16;
  const uint32_t by = y / 16;
  auto level = [](uint32_t step) { return static_cast<uint8_t>((step % 8) * 32 + 16); };
  const uint8_t grey = level(bx + 3 * by + 5 * monitor);
  return {grey, grey, grey};
}

// The bytes past a row's end are 0xcd and the x byte of BGRx/RGBx is 0x00, not 0xff, so that a consumer that
// ignores the stride or takes x for alpha shows it.
void Paint(Monitor& monitor, uint32_t index, const Config& config) {
  const std::string_view order = kFormatNames[config.Format];
  monitor.Stride = static_cast<uint32_t>(monitor.Width) * 4 + config.StridePadding;
  monitor.Picture.assign(size_t{monitor.Stride} * static_cast<size_t>(monitor.Height), 0xcd);
  for (uint32_t y = 0; y < static_cast<uint32_t>(monitor.Height); ++y) {
    for (uint32_t x = 0; x < static_cast<uint32_t>(monitor.Width); ++x) {
      const Rgb rgb = PatternPixel(config.Pattern, index, x, y);
      uint8_t* pixel = monitor.Picture.data() + size_t{y} * monitor.Stride + x * 4;
      pixel[order.find('R')] = rgb.r;
      pixel[1] = rgb.g;
      pixel[order.find('B')] = rgb.b;
      pixel[3] = order[3] == 'A' ? 0xff : 0x00;
    }
  }
}

constexpr uint32_t kPointerSide = 8;
// What the pointer's metadata needs at least, and offers unless told otherwise.
constexpr int32_t kCursorMetaSize =
    sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + kPointerSide * kPointerSide * 4;

// One monitor of one session: a PipeWire producer that drives its graph itself, as a compositor does, so
// frames go out when our timer says so (once, with --still), never because a consumer asked.
class Stream {
 public:
  Stream(pw_core* core, sd_event* event, const Config& config, uint32_t index)
      : FConfig(config), FMonitor(config.Monitors[index]), FIndex(index), FEvent(event) {
    const std::string name = "pelimartest-monitor-" + std::to_string(index);
    FStream =
        pw_stream_new(core, name.c_str(), pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", nullptr));
    if (FStream == nullptr) throw std::runtime_error("pw_stream_new failed");
    static const pw_stream_events kEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = &Stream::OnStateChanged;
      events.add_buffer = &Stream::OnAddBuffer;
      events.remove_buffer = &Stream::OnRemoveBuffer;
      events.process = &Stream::OnProcess;
      return events;
    }();
    pw_stream_add_listener(FStream, &FListener, &kEvents, this);
    // One format and size, and framerate 0/1 with a maximum as compositors announce it: a consumer that
    // cannot take that fails here as it would on a real desktop. Buffers of our picture's size and stride
    // (MemFd: we allocate, MemPtr: PipeWire does), and the header with each frame's sequence number.
    uint8_t buffer[1024];
    spa_pod_builder builder;
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    auto object = [&builder](uint32_t type, uint32_t id, auto... properties) {
      spa_pod_frame frame;
      spa_pod_builder_push_object(&builder, &frame, type, id);
      spa_pod_builder_add(&builder, properties..., 0);
      return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    };
    const spa_rectangle size{static_cast<uint32_t>(FMonitor.Width), static_cast<uint32_t>(FMonitor.Height)};
    const spa_fraction variable{0, 1}, slowest{1, 1}, fastest{config.Fps, 1};
    const int dataType = 1 << (config.MemFd ? SPA_DATA_MemFd : SPA_DATA_MemPtr);
    const spa_pod* params[] = {
        object(SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
               SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
               SPA_FORMAT_VIDEO_format, SPA_POD_Id(kFormats[config.Format]), SPA_FORMAT_VIDEO_size,
               SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable),
               SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest)),
        object(SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
               SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
               SPA_PARAM_BUFFERS_size, SPA_POD_Int(static_cast<int32_t>(FMonitor.Picture.size())),
               SPA_PARAM_BUFFERS_stride, SPA_POD_Int(static_cast<int32_t>(FMonitor.Stride)),
               SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(dataType)),
        object(SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
               SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))),
        object(SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
               SPA_PARAM_META_size, SPA_POD_Int(static_cast<int32_t>(config.CursorMetaSize)))};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    (config.MemFd ? PW_STREAM_FLAG_ALLOC_BUFFERS : 0));
    // The pointer goes beside the picture only where the metadata mode is offered, and metadata room for
    // it is.
    const uint32_t count = (config.CursorModes & 4) && config.CursorMetaSize > 0 ? 4 : 3;
    Check(pw_stream_connect(FStream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, count),
          "pw_stream_connect");
  }

  ~Stream() {
    pw_stream_destroy(FStream);  // with our listener still there: OnRemoveBuffer frees our memfds
    Log("stream of monitor %u (node %u) ended after %llu frame(s)", FIndex, FNodeId, FFrames);
  }

  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  uint32_t Index() const { return FIndex; }
  uint32_t NodeId() const { return FNodeId; }
  bool HasNode() const { return FNodeId != SPA_ID_INVALID; }
  bool HasFailed() const { return FFailed; }

 private:
  static void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* self = static_cast<Stream*>(data);
    if (state == PW_STREAM_STATE_PAUSED && !self->HasNode())
      self->FNodeId = pw_stream_get_node_id(self->FStream);
    if (state == PW_STREAM_STATE_ERROR) Log("stream of monitor %u: %s", self->FIndex, error ? error : "");
    self->FFailed = self->FFailed || state == PW_STREAM_STATE_ERROR;
    // The first frame goes out at once, each time the stream starts streaming.
    self->FTimer.reset();
    self->FStillTries = 0;
    sd_event_source* timer = nullptr;
    if (state == PW_STREAM_STATE_STREAMING &&
        sd_event_add_time_relative(self->FEvent, &timer, CLOCK_MONOTONIC, 0, 0, &Stream::OnTimer, self) >= 0)
      self->FTimer.reset(timer);
  }

  static void OnAddBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<Stream*>(data);
    if (!self->FConfig.MemFd) return;  // PipeWire's own buffer, mapped already
    const size_t size = self->FMonitor.Picture.size();
    const int fd = memfd_create("pelimartest-frame", MFD_CLOEXEC);
    void* mapping = fd < 0 || ftruncate(fd, static_cast<off_t>(size)) < 0
                        ? MAP_FAILED
                        : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
      Log("stream of monitor %u: no memfd buffer: %s", self->FIndex, std::strerror(errno));
      if (fd >= 0) close(fd);
      return;
    }
    // The buffer owns the descriptor and the mapping now; OnRemoveBuffer frees them.
    spa_data& plane = buffer->buffer->datas[0];
    plane = {SPA_DATA_MemFd, SPA_DATA_FLAG_READWRITE, fd, 0, static_cast<uint32_t>(size), mapping,
             plane.chunk};
  }

  static void OnRemoveBuffer(void* data, pw_buffer* buffer) {
    spa_data& plane = buffer->buffer->datas[0];
    if (!static_cast<Stream*>(data)->FConfig.MemFd || plane.type != SPA_DATA_MemFd || !plane.data) return;
    munmap(plane.data, plane.maxsize);
    close(static_cast<int>(plane.fd));
    plane.data = nullptr;
  }

  static void OnProcess(void* data) {
    auto* self = static_cast<Stream*>(data);
    // Without a free buffer (the consumer holds them all) the frame is skipped, as a compositor would.
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->FStream);
    if (buffer == nullptr) return;
    spa_data& plane = buffer->buffer->datas[0];
    const std::vector<uint8_t>& picture = self->FMonitor.Picture;
    const auto size =
        static_cast<uint32_t>(plane.data && plane.maxsize >= picture.size() ? picture.size() : 0);
    if (size != 0) std::memcpy(plane.data, picture.data(), size);
    *plane.chunk = {0, size, static_cast<int32_t>(self->FMonitor.Stride), SPA_CHUNK_FLAG_NONE};
    uint64_t now = 0;
    sd_event_now(self->FEvent, CLOCK_MONOTONIC, &now);
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header))))
      *header = {0, 0, static_cast<int64_t>(now * 1000), 0, self->FFrames};
    // The pointer of the first monitor: an opaque magenta square of kPointerSide pixels, its hot spot at
    // (2, 3), standing at (200, 150).
    if (auto* cursor = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Cursor, static_cast<size_t>(kCursorMetaSize)));
        cursor && self->FIndex == 0) {
      *cursor = {1, 0, {200, 150}, {2, 3}, sizeof(spa_meta_cursor)};
      auto* bitmap = reinterpret_cast<spa_meta_bitmap*>(cursor + 1);
      *bitmap = {
          SPA_VIDEO_FORMAT_BGRA, {kPointerSide, kPointerSide}, kPointerSide * 4, sizeof(spa_meta_bitmap)};
      auto* pixels = reinterpret_cast<uint32_t*>(bitmap + 1);
      std::fill(pixels, pixels + kPointerSide * kPointerSide, 0xFFFF00FFu);  // B, G, R, A = ff 00 ff ff
    }
    pw_stream_queue_buffer(self->FStream, buffer);
    ++self->FFrames;
  }

  static int OnTimer(sd_event_source* source, uint64_t usec, void* data) {
    auto* self = static_cast<Stream*>(data);
    pw_stream_trigger_process(self->FStream);
    // A still screen goes quiet after its first frame. But a frame sent in the first moments of a stream
    // can be lost before the consumer's side runs (PipeWire drops it, under load now and then), and
    // then nothing would ever come: the same picture goes again 0.1, 0.3, 0.7 and 1.5 s after the start,
    // and then never.
    uint64_t next = usec + 1000000u / self->FConfig.Fps;
    if (self->FConfig.Still) {
      if (++self->FStillTries > 4) return 0;
      next = usec + 100000u * (1u << (self->FStillTries - 1));
    }
    // A time source fires once.
    sd_event_source_set_time(source, next);
    sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
    return 0;
  }

  const Config& FConfig;
  const Monitor& FMonitor;
  uint32_t FIndex;
  sd_event* FEvent;
  pw_stream* FStream = nullptr;
  spa_hook FListener{};
  EventSourcePtr FTimer;
  uint32_t FNodeId = SPA_ID_INVALID;
  bool FFailed = false;
  unsigned long long FFrames = 0;
  unsigned FStillTries = 0;  // of a still screen's picture, since the stream last started streaming
};

struct Session {
  SlotPtr Object;
  uint32_t PersistMode = 0;
  uint32_t Selected = 0;  // mask of monitor indices
  std::vector<std::unique_ptr<Stream>> Streams;
  std::vector<std::string> Shortcuts;  // the ids bound, for a global-shortcuts session
};

// sd-bus calls the handlers from C; an exception ends here, as an error reply.
template <sd_bus_message_handler_t Handler>
int Guarded(sd_bus_message* message, void* data, sd_bus_error* error) {
  try {
    return Handler(message, data, error);
  } catch (const std::exception& exception) {
    Log("%s failed: %s", sd_bus_message_get_member(message), exception.what());
    return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, exception.what());
  }
}

int ReplyResponse(sd_bus_message* call, uint32_t response) {
  return sd_bus_reply_method_return(call, "ua{sv}", response, 0);
}

class Backend {
 public:
  explicit Backend(Config config) : FConfig(std::move(config)) {
    sd_event* event = nullptr;
    Check(sd_event_new(&event), "sd_event_new");
    FEvent.reset(event);
    for (int signalNumber : {SIGUSR1, SIGTERM, SIGINT}) {
      sd_event_source* source = nullptr;
      Check(sd_event_add_signal(event, &source, signalNumber, &OnSignal, this), "sd_event_add_signal");
      FSignals.emplace_back(source);
    }
    // PipeWire's loop runs inside ours, through its file descriptor.
    FPwLoop.reset(pw_loop_new(nullptr));
    if (FPwLoop) FPwContext.reset(pw_context_new(FPwLoop.get(), nullptr, 0));
    if (FPwContext) FPwCore.reset(pw_context_connect(FPwContext.get(), nullptr, 0));
    if (!FPwCore) throw std::runtime_error(std::string("no PipeWire: ") + std::strerror(errno));
    sd_event_source* source = nullptr;
    Check(sd_event_add_io(event, &source, pw_loop_get_fd(FPwLoop.get()), EPOLLIN, &OnPipeWire, this),
          "sd_event_add_io");
    FPwSource.reset(source);
    sd_bus* bus = nullptr;
    Check(sd_bus_open_user(&bus), "sd_bus_open_user");
    FBus.reset(bus);
    Check(sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL), "sd_bus_attach_event");
    sd_bus_slot* slot = nullptr;
    Check(sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/portal/desktop",
                                   "org.freedesktop.impl.portal.ScreenCast", kScreenCastVtable, this),
          "sd_bus_add_object_vtable");
    FScreenCast.reset(slot);
    Check(sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/portal/desktop",
                                   "org.freedesktop.impl.portal.GlobalShortcuts", kShortcutsVtable, this),
          "sd_bus_add_object_vtable");
    FShortcuts.reset(slot);
    // The name last: the frontend reads our properties once, at its start, which waits for our name.
    Check(sd_bus_request_name(bus, kBusName, 0), "sd_bus_request_name");
    Log("owning %s: %zu monitor(s), %s", kBusName, FConfig.Monitors.size(),
        kFormatNames[FConfig.Format].data());
  }

  int Run() {
    pw_loop_enter(FPwLoop.get());
    const int result = sd_event_loop(FEvent.get());
    pw_loop_leave(FPwLoop.get());
    return result;
  }

 private:
  static int OnPipeWire(sd_event_source*, int, uint32_t, void* data) {
    return pw_loop_iterate(static_cast<Backend*>(data)->FPwLoop.get(), 0);
  }

  static int OnSignal(sd_event_source*, const signalfd_siginfo* info, void* data) {
    auto* self = static_cast<Backend*>(data);
    Log("signal %u", info->ssi_signo);
    if (info->ssi_signo != SIGUSR1) return sd_event_exit(self->FEvent.get(), 0);
    // Closed from the desktop side: the frontend tells the app, and does not call our Close.
    while (!self->FSessions.empty()) {
      const std::string handle = self->FSessions.begin()->first;
      self->FSessions.erase(handle);
      sd_bus_emit_signal(self->FBus.get(), handle.c_str(), kSessionInterface, "Closed", "");
      Log("Closed %s", handle.c_str());
    }
    return 0;
  }

  static int GetProperty(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
                         void* data, sd_bus_error*) {
    const std::string_view name = property;
    const uint32_t value = name == "AvailableSourceTypes"   ? kSourceMonitor
                           : name == "AvailableCursorModes" ? static_cast<Backend*>(data)->FConfig.CursorModes
                                                            : 4;  // version
    return sd_bus_message_append(reply, "u", value);
  }

  static int OnCreateSession(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    const char *request = nullptr, *handle = nullptr;
    Check(sd_bus_message_read(message, "oo", &request, &handle), "CreateSession");
    Log("CreateSession %s", handle);
    sd_bus_slot* slot = nullptr;
    Check(sd_bus_add_object_vtable(self->FBus.get(), &slot, handle, kSessionInterface, kSessionVtable, self),
          "sd_bus_add_object_vtable");
    self->FSessions.emplace(handle, std::make_unique<Session>()).first->second->Object.reset(slot);
    return ReplyResponse(message, 0);
  }

  static int OnSelectSources(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    auto read = [](int result) { Check(result, "SelectSources"); };
    const char *request = nullptr, *handle = nullptr, *appId = nullptr, *vendor = "";
    read(sd_bus_message_read(message, "oos", &request, &handle, &appId));
    const auto found = self->FSessions.find(handle);
    if (found == self->FSessions.end()) return ReplyResponse(message, 2);
    Session& session = *found->second;
    uint32_t cursorMode = 0, version = 0, restored = 0;
    int multiple = 0;
    read(sd_bus_message_enter_container(message, 'a', "{sv}"));
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
      const char* key = nullptr;
      read(sd_bus_message_read(message, "s", &key));
      const std::string_view name = key;
      if (name == "multiple") {
        read(sd_bus_message_read(message, "v", "b", &multiple));
      } else if (name == "cursor_mode") {
        read(sd_bus_message_read(message, "v", "u", &cursorMode));
      } else if (name == "persist_mode") {
        read(sd_bus_message_read(message, "v", "u", &session.PersistMode));
      } else if (name == "restore_data") {
        read(sd_bus_message_read(message, "v", "(suv)", &vendor, &version, "u", &restored));
      } else {
        read(sd_bus_message_skip(message, "v"));
      }
      read(sd_bus_message_exit_container(message));
    }
    read(sd_bus_message_exit_container(message));
    const uint32_t all = (1u << self->FConfig.Monitors.size()) - 1;
    const bool restore = std::strcmp(vendor, kRestoreVendor) == 0 && version == kRestoreVersion &&
                         restored != 0 && (restored & ~all) == 0;
    // Without a token, what a user would pick: every monitor when several are allowed, else the first.
    session.Selected = restore ? restored : multiple ? all : 1;
    Log("SelectSources %s multiple=%d cursor_mode=%u persist_mode=%u monitors=%#x", handle, multiple,
        cursorMode, session.PersistMode, session.Selected);
    if (restore) Log("restored");
    return ReplyResponse(message, 0);
  }

  static int OnStart(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    const char *request = nullptr, *handle = nullptr;
    Check(sd_bus_message_read(message, "oo", &request, &handle), "Start");
    const auto found = self->FSessions.find(handle);
    Session* session = found == self->FSessions.end() ? nullptr : found->second.get();
    const uint32_t response =
        !session || !session->Selected || !session->Streams.empty() ? 2 : self->FConfig.StartResponse;
    Log("Start %s: %s", handle, response ? ("answered " + std::to_string(response)).c_str() : "starting");
    if (response != 0) return ReplyResponse(message, response);
    for (uint32_t index = 0; index < self->FConfig.Monitors.size(); ++index) {
      if ((session->Selected & (1u << index)) == 0) continue;
      session->Streams.push_back(
          std::make_unique<Stream>(self->FPwCore.get(), self->FEvent.get(), self->FConfig, index));
    }
    // The answer names the PipeWire nodes, and a stream learns its node id from the PipeWire daemon, which
    // answers at once; until then D-Bus waits.
    auto& streams = session->Streams;
    while (
        std::any_of(streams.begin(), streams.end(), [](auto& s) { return !s->HasNode() && !s->HasFailed(); }))
      Check(pw_loop_iterate(self->FPwLoop.get(), -1), "pw_loop_iterate");
    const bool failed = std::any_of(streams.begin(), streams.end(), [](auto& s) { return s->HasFailed(); });
    Log("Start %s: answered %d", handle, failed ? 2 : 0);
    return failed ? ReplyResponse(message, 2) : self->SendStartResults(*session, message);
  }

  int SendStartResults(const Session& session, sd_bus_message* call) {
    sd_bus_message* reply = nullptr;
    Check(sd_bus_message_new_method_return(call, &reply), "Start");
    const MessagePtr owner(reply);
    auto append = [](int result) { Check(result, "Start results"); };
    append(sd_bus_message_append(reply, "u", 0u));
    append(sd_bus_message_open_container(reply, 'a', "{sv}"));
    append(sd_bus_message_open_container(reply, 'e', "sv"));
    append(sd_bus_message_append(reply, "s", "streams"));
    append(sd_bus_message_open_container(reply, 'v', "a(ua{sv})"));
    append(sd_bus_message_open_container(reply, 'a', "(ua{sv})"));
    for (const auto& stream : session.Streams) {
      const Monitor& monitor = FConfig.Monitors[stream->Index()];
      append(sd_bus_message_append(reply, "(ua{sv})", stream->NodeId(), 4, "position", "(ii)", monitor.X,
                                   monitor.Y, "size", "(ii)", monitor.Width, monitor.Height, "source_type",
                                   "u", kSourceMonitor, "id", "s", std::to_string(stream->Index()).c_str()));
    }
    for (int level = 0; level < 3; ++level) append(sd_bus_message_close_container(reply));
    // Without restore_data the frontend issues no restore token, whatever persist mode the app asked for.
    if (session.PersistMode != 0)
      append(sd_bus_message_append(reply, "{sv}", "restore_data", "(suv)", kRestoreVendor, kRestoreVersion,
                                   "u", session.Selected));
    append(sd_bus_message_close_container(reply));
    return sd_bus_send(nullptr, reply, nullptr);
  }

  // The frontend calls this before it answers the app, so the streams end before that answer too.
  static int OnClose(sd_bus_message* message, void* data, sd_bus_error*) {
    const std::string handle = sd_bus_message_get_path(message);
    Log("Session.Close %s", handle.c_str());
    static_cast<Backend*>(data)->FSessions.erase(handle);
    return sd_bus_reply_method_return(message, "");
  }

  // Global shortcuts: a session binds what the app asks for, with the trigger it prefers; Press(id), ours
  // alone, is a user pressing that shortcut: Activated goes out for every session that bound it.
  static int OnCreateShortcutsSession(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    const char *request = nullptr, *handle = nullptr;
    Check(sd_bus_message_read(message, "oo", &request, &handle), "CreateSession");
    Log("GlobalShortcuts.CreateSession %s", handle);
    if (self->FConfig.ShortcutSessionsFail) return ReplyResponse(message, 2);
    sd_bus_slot* slot = nullptr;
    Check(sd_bus_add_object_vtable(self->FBus.get(), &slot, handle, kSessionInterface, kSessionVtable, self),
          "sd_bus_add_object_vtable");
    self->FSessions.emplace(handle, std::make_unique<Session>()).first->second->Object.reset(slot);
    // The 1.16 frontend reads "shortcuts" from these results without looking whether it is there.
    return sd_bus_reply_method_return(message, "ua{sv}", 0u, 1, "shortcuts", "a(sa{sv})", 0);
  }

  static int OnBindShortcuts(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    auto read = [](int result) { Check(result, "BindShortcuts"); };
    const char *request = nullptr, *handle = nullptr;
    read(sd_bus_message_read(message, "oo", &request, &handle));
    const auto found = self->FSessions.find(handle);
    if (found == self->FSessions.end()) return ReplyResponse(message, 2);
    std::vector<std::pair<std::string, std::string>> bound;  // id, trigger
    std::string line = "BindShortcuts";
    read(sd_bus_message_enter_container(message, 'a', "(sa{sv})"));
    while (sd_bus_message_enter_container(message, 'r', "sa{sv}") > 0) {
      const char* id = nullptr;
      const char* trigger = "";
      read(sd_bus_message_read(message, "s", &id));
      read(sd_bus_message_enter_container(message, 'a', "{sv}"));
      while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        read(sd_bus_message_read(message, "s", &key));
        if (std::string_view(key) == "preferred_trigger")
          read(sd_bus_message_read(message, "v", "s", &trigger));
        else
          read(sd_bus_message_skip(message, "v"));
        read(sd_bus_message_exit_container(message));
      }
      read(sd_bus_message_exit_container(message));
      read(sd_bus_message_exit_container(message));
      bound.emplace_back(id, trigger);
      line += std::string(" ") + id + "=" + trigger;
    }
    read(sd_bus_message_exit_container(message));
    Log("%s", line.c_str());
    found->second->Shortcuts.clear();
    for (const auto& shortcut : bound) found->second->Shortcuts.push_back(shortcut.first);
    sd_bus_message* reply = nullptr;
    Check(sd_bus_message_new_method_return(message, &reply), "BindShortcuts");
    const MessagePtr owner(reply);
    auto append = [](int result) { Check(result, "BindShortcuts results"); };
    append(sd_bus_message_append(reply, "u", 0u));
    append(sd_bus_message_open_container(reply, 'a', "{sv}"));
    append(sd_bus_message_open_container(reply, 'e', "sv"));
    append(sd_bus_message_append(reply, "s", "shortcuts"));
    append(sd_bus_message_open_container(reply, 'v', "a(sa{sv})"));
    append(sd_bus_message_open_container(reply, 'a', "(sa{sv})"));
    for (const auto& [id, trigger] : bound)
      append(sd_bus_message_append(reply, "(sa{sv})", id.c_str(), 1, "trigger_description", "s", trigger.c_str()));
    for (int level = 0; level < 4; ++level) append(sd_bus_message_close_container(reply));
    return sd_bus_send(nullptr, reply, nullptr);
  }

  static int OnPress(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<Backend*>(data);
    const char* id = nullptr;
    Check(sd_bus_message_read(message, "s", &id), "Press");
    int sent = 0;
    for (const auto& [handle, session] : self->FSessions)
      if (std::find(session->Shortcuts.begin(), session->Shortcuts.end(), id) != session->Shortcuts.end()) {
        Check(sd_bus_emit_signal(self->FBus.get(), "/org/freedesktop/portal/desktop",
                                 "org.freedesktop.impl.portal.GlobalShortcuts", "Activated", "osta{sv}",
                                 handle.c_str(), id, uint64_t{0}, 0),
              "Activated");
        ++sent;
      }
    Log("Press %s: %d session(s)", id, sent);
    return sd_bus_reply_method_return(message, "i", sent);
  }

  // Flags 0: sd-bus does no access control on a user bus.
  static constexpr sd_bus_vtable kScreenCastVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", &Guarded<&OnCreateSession>, 0),
      SD_BUS_METHOD("SelectSources", "oosa{sv}", "ua{sv}", &Guarded<&OnSelectSources>, 0),
      SD_BUS_METHOD("Start", "oossa{sv}", "ua{sv}", &Guarded<&OnStart>, 0),
      SD_BUS_PROPERTY("AvailableSourceTypes", "u", &GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("AvailableCursorModes", "u", &GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("version", "u", &GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kShortcutsVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("CreateSession", "oosa{sv}", "ua{sv}", &Guarded<&OnCreateShortcutsSession>, 0),
      SD_BUS_METHOD("BindShortcuts", "ooa(sa{sv})sa{sv}", "ua{sv}", &Guarded<&OnBindShortcuts>, 0),
      SD_BUS_METHOD("Press", "s", "i", &Guarded<&OnPress>, 0),
      SD_BUS_SIGNAL("Activated", "osta{sv}", 0),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kSessionVtable[] = {SD_BUS_VTABLE_START(0),
                                                     SD_BUS_METHOD("Close", "", "", &Guarded<&OnClose>, 0),
                                                     SD_BUS_SIGNAL("Closed", "", 0), SD_BUS_VTABLE_END};

  // Each member uses only the ones declared before it, and goes first.
  Config FConfig;
  EventPtr FEvent;
  std::vector<EventSourcePtr> FSignals;
  PwLoopPtr FPwLoop;
  PwContextPtr FPwContext;
  PwCorePtr FPwCore;
  EventSourcePtr FPwSource;
  BusPtr FBus;
  SlotPtr FScreenCast;
  SlotPtr FShortcuts;
  std::map<std::string, std::unique_ptr<Session>> FSessions;
};

std::vector<Monitor> ParseMonitors(std::string_view text) {
  std::vector<Monitor> monitors;
  for (int32_t nextX = 0; !text.empty(); nextX = monitors.back().X + monitors.back().Width) {
    const std::string item(text.substr(0, text.find(',')));
    text.remove_prefix(std::min(text.size(), item.size() + 1));
    Monitor& monitor = monitors.emplace_back();
    int sizeEnd = -1, positionEnd = -1;
    const int fields = std::sscanf(item.c_str(), "%dx%d%n+%d+%d%n", &monitor.Width, &monitor.Height, &sizeEnd,
                                   &monitor.X, &monitor.Y, &positionEnd);
    const int end = fields == 2 ? sizeEnd : fields == 4 ? positionEnd : -1;
    if (end != static_cast<int>(item.size()) || monitor.Width <= 0 || monitor.Height <= 0)
      throw std::runtime_error("bad monitor '" + item + "'");
    if (fields == 2) monitor.X = nextX;
  }
  // A session's selection is a mask of 32 bits.
  if (monitors.empty() || monitors.size() > 31) throw std::runtime_error("give 1 to 31 monitors");
  return monitors;
}

Config ParseCommandLine(int argc, char** argv) {
  std::map<std::string_view, std::string_view> options;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    const size_t equals = std::min(argument.find('='), argument.size());
    options[argument.substr(0, equals)] = argument.substr(std::min(equals + 1, argument.size()));
  }
  // Takes an option out of the map, so that whatever is left in the end is unknown.
  auto take = [&](std::string_view key, std::string_view fallback) {
    const auto found = options.find(key);
    if (found == options.end()) return fallback;
    fallback = found->second;
    options.erase(found);
    return fallback;
  };
  auto number = [&](std::string_view key, uint32_t value) {
    const std::string_view text = take(key, "default");
    const char* end = text.data() + text.size();
    if (text != "default" && std::from_chars(text.data(), end, value) != std::from_chars_result{end, {}})
      throw std::runtime_error("bad " + std::string(key) + "=" + std::string(text));
    return value;
  };
  auto choose = [&](std::string_view key, std::initializer_list<std::string_view> values) {
    const std::string_view value = take(key, *values.begin());
    const auto found = std::find(values.begin(), values.end(), value);
    if (found == values.end()) throw std::runtime_error("bad " + std::string(key) + "=" + std::string(value));
    return static_cast<size_t>(found - values.begin());
  };
  Config config;
  config.Format = choose("--format", {kFormatNames[0], kFormatNames[1], kFormatNames[2], kFormatNames[3]});
  config.MemFd = choose("--buffers", {"memfd", "memptr"}) == 0;
  config.Pattern = choose("--pattern", {"xy", "blocks"}) == 0 ? PatternKind::Xy : PatternKind::Blocks;
  config.Still = choose("--still", {"(absent)", ""}) == 1;
  config.StridePadding = number("--stride-padding", config.StridePadding);
  config.Fps = std::max(1u, number("--fps", config.Fps));
  config.StartResponse = number("--start-response", config.StartResponse);
  config.CursorModes = number("--cursor-modes", config.CursorModes);
  config.CursorMetaSize = number("--cursor-meta-size", kCursorMetaSize);
  if (config.CursorMetaSize != 0 && config.CursorMetaSize < static_cast<uint32_t>(kCursorMetaSize))
    throw std::runtime_error("--cursor-meta-size: room for an 8 x 8 pointer at least");
  config.ShortcutSessionsFail = choose("--shortcut-sessions", {"work", "fail"}) == 1;
  config.Monitors = ParseMonitors(take("--monitors", "640x480"));
  if (!options.empty())
    throw std::runtime_error("unknown option " + std::string(options.begin()->first) + "; see " __FILE__);
  for (uint32_t index = 0; index < config.Monitors.size(); ++index)
    Paint(config.Monitors[index], index, config);
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  // sd-event takes these through a signalfd, which needs them blocked in every thread, PipeWire's included.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signalNumber : {SIGUSR1, SIGTERM, SIGINT}) sigaddset(&signals, signalNumber);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  pw_init(&argc, &argv);
  int status = 1;
  try {
    Backend backend(ParseCommandLine(argc, argv));
    status = backend.Run() < 0 ? 1 : 0;
  } catch (const std::exception& exception) {
    Log("screencast_backend: %s", exception.what());
  }
  pw_deinit();
  return status;
}
