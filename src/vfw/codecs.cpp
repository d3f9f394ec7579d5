// The installed video compressors of this platform: libavcodec's encoders,
// each under its AVI FourCC, fed through libswscale. A driver accepts a
// frame format exactly when its encoder opens for it, so the compress query
// never promises what a compress cannot keep.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "image/yuv420.h"
#include "vfw/av_handles.h"
#include "vfw/compressor.h"

namespace {

enum class TQuality { None, QScale, Crf };

struct TCodecEntry {
  FOURCC Handler;
  const char* Encoder;
  AVPixelFormat PixelFormat;
  const char* Name;  // at most 16 characters
  const char* Description;
  TQuality Quality;
};

const TCodecEntry kCodecs[] = {
    {MakeFourCC('M', 'J', 'P', 'G'), "mjpeg", AV_PIX_FMT_YUVJ420P, "Motion JPEG",
     "Motion JPEG (libavcodec mjpeg)", TQuality::QScale},
    {MakeFourCC('H', '2', '6', '4'), "libx264", AV_PIX_FMT_YUV420P, "H.264 x264", "H.264 / AVC (x264)",
     TQuality::Crf},
    {MakeFourCC('F', 'F', 'V', '1'), "ffv1", AV_PIX_FMT_BGR0, "FFV1 lossless", "FFV1 lossless (libavcodec)",
     TQuality::None},
    {MakeFourCC('Z', 'M', 'B', 'V'), "zmbv", AV_PIX_FMT_BGR0, "Zip Motion Block",
     "Zip Motion Blocks Video, lossless", TQuality::None},
    {MakeFourCC('H', 'F', 'Y', 'U'), "huffyuv", AV_PIX_FMT_RGB24, "HuffYUV", "HuffYUV lossless (libavcodec)",
     TQuality::None},
    {MakeFourCC('F', 'F', 'V', 'H'), "ffvhuff", AV_PIX_FMT_RGB24, "FFV HuffYUV",
     "HuffYUV FFmpeg variant, lossless", TQuality::None},
    {MakeFourCC('F', 'M', 'P', '4'), "mpeg4", AV_PIX_FMT_YUV420P, "MPEG-4 ASP", "MPEG-4 part 2 (libavcodec)",
     TQuality::QScale},
    {MakeFourCC('X', 'V', 'I', 'D'), "libxvid", AV_PIX_FMT_YUV420P, "Xvid", "MPEG-4 part 2 (Xvid)",
     TQuality::QScale},
    {MakeFourCC('M', 'S', 'V', 'C'), "msvideo1", AV_PIX_FMT_RGB555LE, "Microsoft Video1", "Microsoft Video 1",
     TQuality::None},
    {MakeFourCC('c', 'v', 'i', 'd'), "cinepak", AV_PIX_FMT_RGB24, "Cinepak", "Cinepak (libavcodec)",
     TQuality::None},
    {MakeFourCC('M', 'P', 'N', 'G'), "png", AV_PIX_FMT_RGB24, "PNG", "PNG pictures, lossless",
     TQuality::None},
};

// What a driver needs of a frame format: the header's fields and the colour table.
struct TInputFormat {
  int32_t Width = 0;
  int32_t Height = 0;
  unsigned Bits = 0;
  std::vector<uint32_t> Palette;  // BGRX words, 2^Bits of them for the indexed depths

  bool Parse(const uint8_t* format, size_t size) {
    if (!format || size < 40 || GetLE32(format) < 40) return false;
    Width = static_cast<int32_t>(GetLE32(format + 4));
    Height = static_cast<int32_t>(GetLE32(format + 8));
    Bits = GetLE16(format + 14);
    if (GetLE16(format + 12) != 1 || GetLE32(format + 16) != BI_RGB) return false;
    // Bottom-up frames only, and no larger than the pictures we hold.
    if (Width <= 0 || Height <= 0 || Width > 32768 || Height > 32768) return false;
    if (Bits != 1 && Bits != 4 && Bits != 8 && Bits != 24 && Bits != 32) return false;
    if (Bits <= 8) {
      const size_t entries = size_t{1} << Bits;
      const size_t headerSize = GetLE32(format);
      Palette.assign(entries, 0);
      for (size_t i = 0; i < entries; ++i) {
        if (headerSize + 4 * i + 4 <= size) {
          Palette[i] = GetLE32(format + headerSize + 4 * i) & 0xFFFFFFu;
        } else {
          const auto grey = static_cast<uint32_t>(i * 255 / (entries - 1));
          Palette[i] = grey | (grey << 8) | (grey << 16);  // a frame format without its table: greys
        }
      }
    }
    return true;
  }
  size_t Stride() const { return ((static_cast<size_t>(Width) * Bits + 31) / 32) * 4; }
};

int QScaleFor(DWORD quality) {
  // 5000 is the usual q 4; 10000 the best, 0 the worst.
  quality = std::min<DWORD>(quality, 10000);
  if (quality >= 5000) return 4 - static_cast<int>((quality - 5000) * 3 / 5000);
  return 4 + static_cast<int>((5000 - quality) * 27 / 5000);
}

int CrfFor(DWORD quality) {
  // 5000 is x264's own default of 23; 10000 gives 10, 0 gives 51.
  quality = std::min<DWORD>(quality, 10000);
  if (quality >= 5000) return 23 - static_cast<int>((quality - 5000) * 13 / 5000);
  return 23 + static_cast<int>((5000 - quality) * 28 / 5000);
}

struct TSwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// An encoder opened for frames of one size.
TContext OpenEncoder(const TCodecEntry& entry, int32_t width, int32_t height,
                     const TCompressorSettings& settings) {
  const AVCodec* codec = avcodec_find_encoder_by_name(entry.Encoder);
  if (!codec) return nullptr;
  TContext context(avcodec_alloc_context3(codec));
  if (!context) return nullptr;
  AVCodecContext* c = context.get();
  c->width = width;
  c->height = height;
  c->pix_fmt = entry.PixelFormat;
  c->time_base = AVRational{1, 25};
  c->max_b_frames = 0;  // one frame in, one chunk out, in order
  // Key frames are forced where they belong; the encoder adds none of its own.
  c->gop_size = settings.KeyFrameEvery > 0
                    ? static_cast<int>(std::min<DWORD>(settings.KeyFrameEvery, 1 << 30))
                    : (1 << 30);
  c->thread_count = 0;
  if (entry.PixelFormat == AV_PIX_FMT_YUVJ420P) c->color_range = AVCOL_RANGE_JPEG;
  if (entry.Quality == TQuality::QScale) {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = QScaleFor(settings.Quality) * FF_QP2LAMBDA;
  } else if (entry.Quality == TQuality::Crf) {
    av_opt_set_double(c->priv_data, "crf", CrfFor(settings.Quality), 0);
  }
  if (avcodec_open2(c, codec, nullptr) < 0) return nullptr;
  return context;
}

class TAvCompressor final : public TCompressor {
 public:
  TAvCompressor(const TCodecEntry& entry, TInputFormat input, TContext context,
                const TCompressorSettings& settings)
      : FEntry(entry), FInput(std::move(input)), FContext(std::move(context)), FSettings(settings) {
    FFrame.reset(av_frame_alloc());
    FPacket.reset(av_packet_alloc());
    FFrame->format = FEntry.PixelFormat;
    FFrame->width = FInput.Width;
    FFrame->height = FInput.Height;
    if (av_frame_get_buffer(FFrame.get(), 0) < 0) throw std::bad_alloc();
    // 32-bit frames as BGRA: swscale has its fastest paths for it; the fourth byte is not used.
    const AVPixelFormat source = FInput.Bits == 32 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
    FDirect = FInput.Bits >= 24 &&
              (FEntry.PixelFormat == AV_PIX_FMT_YUVJ420P || FEntry.PixelFormat == AV_PIX_FMT_YUV420P);
    if (!FDirect) {
      FScale.reset(sws_getContext(FInput.Width, FInput.Height, source, FInput.Width, FInput.Height,
                                  FEntry.PixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
      if (!FScale) throw std::bad_alloc();
    }
    if (FInput.Bits <= 8)
      FExpanded.resize(static_cast<size_t>(FInput.Width) * 3 * static_cast<size_t>(FInput.Height));
  }

  std::vector<uint8_t> OutputFormat() override {
    const AVCodecContext* c = FContext.get();
    const size_t extra = c->extradata ? static_cast<size_t>(c->extradata_size) : 0;
    std::vector<uint8_t> h(40 + extra, 0);
    PutLE32(&h[0], static_cast<uint32_t>(40 + extra));     // biSize, with the codec's data behind it
    PutLE32(&h[4], static_cast<uint32_t>(FInput.Width));   // biWidth
    PutLE32(&h[8], static_cast<uint32_t>(FInput.Height));  // biHeight
    PutLE16(&h[12], 1);                                    // biPlanes
    PutLE16(&h[14], static_cast<uint16_t>(c->bits_per_coded_sample > 0 ? c->bits_per_coded_sample
                                                                       : 24));  // biBitCount
    PutLE32(&h[16], FEntry.Handler);                                            // biCompression
    PutLE32(&h[20],
            static_cast<uint32_t>(FInput.Width) * static_cast<uint32_t>(FInput.Height) * 3);  // biSizeImage
    if (extra) std::memcpy(&h[40], c->extradata, extra);
    return h;
  }

  bool Compress(const uint8_t* bits, size_t size, bool forceKeyFrame,
                std::vector<TCompressedChunk>& out) override {
    if (size < FInput.Stride() * static_cast<size_t>(FInput.Height)) return false;
    if (!NewFrameBuffer()) return false;
    // The frame's rows are stored bottom-up: read from the last row back.
    if (FDirect) {
      TYuvPlanes planes;
      for (int k = 0; k < 3; ++k) {
        planes.Data[k] = FFrame->data[k];
        planes.Stride[k] = FFrame->linesize[k];
      }
      BgrToYuv420(bits, FInput.Stride(), FInput.Bits / 8, FInput.Width, FInput.Height,
                  FEntry.PixelFormat == AV_PIX_FMT_YUVJ420P, planes);
      return Send(forceKeyFrame, out);
    }
    const uint8_t* top;
    int stride;
    if (FInput.Bits <= 8) {
      Expand(bits);
      top = FExpanded.data();
      stride = FInput.Width * 3;
    } else {
      top = bits + FInput.Stride() * static_cast<size_t>(FInput.Height - 1);
      stride = -static_cast<int>(FInput.Stride());
    }
    sws_scale(FScale.get(), &top, &stride, 0, FInput.Height, FFrame->data, FFrame->linesize);
    return Send(forceKeyFrame, out);
  }

  // Every pixel of the frame is written anew: where the encoder still
  // holds the last one, a fresh buffer takes its place, with no copy of it.
  bool NewFrameBuffer() {
    if (av_frame_is_writable(FFrame.get())) return true;
    av_frame_unref(FFrame.get());
    FFrame->format = FEntry.PixelFormat;
    FFrame->width = FInput.Width;
    FFrame->height = FInput.Height;
    return av_frame_get_buffer(FFrame.get(), 0) >= 0;
  }

  bool Send(bool forceKeyFrame, std::vector<TCompressedChunk>& out) {
    const bool key = forceKeyFrame || FIndex == 0 ||
                     (FSettings.KeyFrameEvery > 0 && FIndex % FSettings.KeyFrameEvery == 0);
    FFrame->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    FFrame->key_frame = key ? 1 : 0;
    FFrame->pts = FIndex++;
    // Encoders with a fixed quantiser take it from each frame.
    FFrame->quality = FContext->global_quality;
    if (avcodec_send_frame(FContext.get(), FFrame.get()) < 0) return false;
    return Drain(out);
  }

  bool Flush(std::vector<TCompressedChunk>& out) override {
    if (avcodec_send_frame(FContext.get(), nullptr) < 0) return false;
    return Drain(out);
  }

 private:
  // The indexed frame as top-down BGR rows, through its colour table.
  void Expand(const uint8_t* bits) {
    const size_t stride = FInput.Stride();
    for (int32_t y = 0; y < FInput.Height; ++y) {
      const uint8_t* row = bits + stride * static_cast<size_t>(FInput.Height - 1 - y);
      uint8_t* out = FExpanded.data() + static_cast<size_t>(y) * static_cast<size_t>(FInput.Width) * 3;
      for (int32_t x = 0; x < FInput.Width; ++x) {
        unsigned index;
        if (FInput.Bits == 8)
          index = row[x];
        else if (FInput.Bits == 4)
          index = (row[x / 2] >> ((x % 2) ? 0 : 4)) & 0x0F;
        else
          index = (row[x / 8] >> (7 - x % 8)) & 1;
        const uint32_t c = FInput.Palette[index];
        out[3 * x] = static_cast<uint8_t>(c);
        out[3 * x + 1] = static_cast<uint8_t>(c >> 8);
        out[3 * x + 2] = static_cast<uint8_t>(c >> 16);
      }
    }
  }

  bool Drain(std::vector<TCompressedChunk>& out) {
    for (;;) {
      int r = avcodec_receive_packet(FContext.get(), FPacket.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return false;
      out.push_back(TCompressedChunk{std::vector<uint8_t>(FPacket->data, FPacket->data + FPacket->size),
                                     (FPacket->flags & AV_PKT_FLAG_KEY) != 0});
      av_packet_unref(FPacket.get());
    }
  }

  const TCodecEntry& FEntry;
  TInputFormat FInput;
  TContext FContext;
  TCompressorSettings FSettings;
  std::unique_ptr<AVFrame, TFrameFree> FFrame;
  std::unique_ptr<AVPacket, TPacketFree> FPacket;
  std::unique_ptr<SwsContext, TSwsFree> FScale;
  bool FDirect = false;  // 4:2:0 from 24 or 32 bits: converted here, not by libswscale
  std::vector<uint8_t> FExpanded;
  int64_t FIndex = 0;
};

class TAvDriver final : public TCompressorDriver {
 public:
  explicit TAvDriver(const TCodecEntry& entry) : FEntry(entry) {}
  FOURCC Handler() const override { return FEntry.Handler; }
  std::string Name() const override { return FEntry.Name; }
  std::string Description() const override { return FEntry.Description; }
  bool Available() const override { return avcodec_find_encoder_by_name(FEntry.Encoder) != nullptr; }

  bool Accepts(const uint8_t* format, size_t size) const override {
    TInputFormat input;
    if (!input.Parse(format, size) || !Available()) return false;
    // The encoder decides which sizes it takes; its answer is kept.
    std::lock_guard<std::mutex> guard(FLock);
    auto key = std::make_pair(input.Width, input.Height);
    auto known = FSizes.find(key);
    if (known != FSizes.end()) return known->second;
    const bool opens = OpenEncoder(FEntry, input.Width, input.Height, TCompressorSettings{}) != nullptr;
    FSizes[key] = opens;
    return opens;
  }

  std::unique_ptr<TCompressor> Open(const uint8_t* format, size_t size,
                                    const TCompressorSettings& settings) override {
    TInputFormat input;
    if (!input.Parse(format, size)) return nullptr;
    TContext context = OpenEncoder(FEntry, input.Width, input.Height, settings);
    if (!context) return nullptr;
    return std::make_unique<TAvCompressor>(FEntry, std::move(input), std::move(context), settings);
  }

 private:
  const TCodecEntry& FEntry;
  mutable std::mutex FLock;
  mutable std::map<std::pair<int32_t, int32_t>, bool> FSizes;
};

}  // namespace

std::vector<std::shared_ptr<TCompressorDriver>> BuiltInCompressorDrivers() {
  // Trial opens that refuse a size are expected; what matters reaches the
  // caller as an ICERR code, so the library keeps quiet on the terminal.
  av_log_set_level(AV_LOG_FATAL);
  std::vector<std::shared_ptr<TCompressorDriver>> drivers;
  for (const TCodecEntry& entry : kCodecs) drivers.push_back(std::make_shared<TAvDriver>(entry));
  return drivers;
}
