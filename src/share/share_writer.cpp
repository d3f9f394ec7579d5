// The videos made for sharing. MP4 (H.264 and AAC) and WebM (AV1 or VP9,
// and Opus) are written by libavformat and libavcodec, from JPEG's own
// YCbCr 4:2:0 planes or from pixels by our own conversion; GIF by our own
// writer, after a first pass that chooses the recording's colours.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "base/file.h"
#include "image/yuv420.h"
#include "platform/wav_file.h"
#include "share/gif_writer.h"
#include "share/share_writer.h"
#include "vfw/av_handles.h"

namespace {

constexpr int kSoundRate = TSoundCapture::kRate;
constexpr int kSoundChannels = TSoundCapture::kChannels;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// A picture as the video takes it: 32 bits, the video's size, centred on
// black when it has another.
const TBitmap& Fitted(const TBitmap& picture, int32_t width, int32_t height, TBitmap& fitted) {
  if (picture.Width() == width && picture.Height() == height &&
      (picture.PixelFormat() == pf32bit || picture.PixelFormat() == pfDevice))
    return picture;
  fitted = TBitmap(width, height, pf32bit);
  fitted.Draw((width - picture.Width()) / 2, (height - picture.Height()) / 2, picture);
  return fitted;
}

struct TFormatFree {
  void operator()(AVFormatContext* f) const {
    if (f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};

// The settings of each format and quality. The rates of the sound are
// those that carry speech and system sounds without a trace of the codec.
struct TCodecChoice {
  const char* Muxer;
  const char* Video;
  const char* Sound;
  int64_t SoundRate;
};

// WebM takes AV1 (SVT-AV1) where the encoder is there and takes the size:
// on screen recordings it made files less than half VP9's, sharper, and
// faster. SVT-AV1 refuses odd sides and anything under 64 x 64, which VP9
// takes as they are.
bool UseAv1(const TShareOptions& options) {
  return options.Format == TVideoFormat::WebM && options.Width % 2 == 0 && options.Height % 2 == 0 &&
         options.Width >= 64 && options.Height >= 64 && avcodec_find_encoder_by_name("libsvtav1");
}

TCodecChoice ChoiceFor(const TShareOptions& options) {
  if (options.Format == TVideoFormat::WebM)
    return TCodecChoice{"webm", UseAv1(options) ? "libsvtav1" : "libvpx-vp9", "libopus", 96000};
  return TCodecChoice{"mp4", "libx264", "aac", 128000};
}

// Screen content is mostly still and sharp-edged: a constant quality
// keeps text readable and costs little where nothing moves.
int CrfFor(const TShareOptions& options) {
  const int steps[3][3] = {{30, 24, 18}, {42, 34, 26}, {40, 32, 24}};  // x264, VP9, AV1
  const int codec = options.Format != TVideoFormat::WebM ? 0 : UseAv1(options) ? 2 : 1;
  return steps[codec][std::clamp(static_cast<int>(options.Quality), 0, 2)];
}

class TAvVideo {
 public:
  TAvVideo(const std::string& path, const TShareOptions& options, int32_t count)
      : FCount(count), FOptions(options) {
    const TCodecChoice choice = ChoiceFor(options);
    AVFormatContext* format = nullptr;
    if (avformat_alloc_output_context2(&format, nullptr, choice.Muxer, nullptr) < 0 || !format)
      throw Exception(std::string("Cannot make a video of the kind ") + choice.Muxer);
    FFormat.reset(format);
    // H.264 in 4:2:0 takes even sides: an odd one gets one more row or
    // column, a copy of the last.
    const bool even = options.Format == TVideoFormat::Mp4;
    FWidth = even ? (options.Width + 1) / 2 * 2 : options.Width;
    FHeight = even ? (options.Height + 1) / 2 * 2 : options.Height;
    OpenVideo(choice);
    if (!options.SoundFile.empty()) OpenSound(choice);
    // By its name, which the index's move to the front opens again.
    FFormat->url = av_strdup(("file:" + path).c_str());
    if (!FFormat->url) throw std::bad_alloc();
    if (avio_open(&FFormat->pb, FFormat->url, AVIO_FLAG_WRITE) < 0) throw Exception("Cannot create " + path);
    AVDictionary* muxing = nullptr;
    // The index goes to the front, so a browser plays while it loads.
    if (options.Format == TVideoFormat::Mp4) av_dict_set(&muxing, "movflags", "+faststart", 0);
    const int r = avformat_write_header(FFormat.get(), &muxing);
    av_dict_free(&muxing);
    Check(r);
    FPacket.reset(av_packet_alloc());
    FFrame.reset(av_frame_alloc());
    if (!FPacket || !FFrame) throw std::bad_alloc();
  }

  // A picture of the options' size, as pixels or as JPEG's planes.
  void Add(const TBitmap* picture, const TYuv420Picture* yuv, int32_t index) {
    AVFrame* f = FFrame.get();
    av_frame_unref(f);
    f->format = AV_PIX_FMT_YUV420P;
    f->width = FWidth;
    f->height = FHeight;
    if (av_frame_get_buffer(f, 0) < 0) throw std::bad_alloc();
    TYuvPlanes planes;
    for (int k = 0; k < 3; ++k) {
      planes.Data[k] = f->data[k];
      planes.Stride[k] = f->linesize[k];
    }
    if (yuv)
      JpegYuvToVideo(*yuv, planes);
    else
      BgrToYuv420(picture->Bits(), picture->Stride(), 4, picture->Width(), picture->Height(), false, planes);
    // The added column and row repeat the last ones; chroma already covers them.
    if (FWidth > FOptions.Width)
      for (int32_t y = 0; y < FOptions.Height; ++y) {
        uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
        row[FWidth - 1] = row[FWidth - 2];
      }
    if (FHeight > FOptions.Height)
      std::memcpy(f->data[0] + static_cast<ptrdiff_t>(FHeight - 1) * f->linesize[0],
                  f->data[0] + static_cast<ptrdiff_t>(FHeight - 2) * f->linesize[0],
                  static_cast<size_t>(FWidth));
    f->pts = int64_t{index} * FOptions.FrameTime;
    f->pkt_duration = FOptions.FrameTime;
    Encode(FVideo.get(), FVideoStream, f);
    // The sound up to the end of this picture goes in beside it.
    if (FSound) AddSound((int64_t{index} + 1) * FOptions.FrameTime * kSoundRate / 1000);
  }

  void Finish() {
    Encode(FVideo.get(), FVideoStream, nullptr);
    if (FSound) {
      FlushSound();
      Encode(FSound.get(), FSoundStream, nullptr);
    }
    Check(av_write_trailer(FFormat.get()));
    Check(avio_closep(&FFormat->pb));
  }

 private:
  void Check(int r) const {
    if (r < 0) throw Exception("The video could not be written: " + AvError(r));
    if (FFormat->pb && FFormat->pb->error < 0)
      throw Exception("The video could not be written: " + AvError(FFormat->pb->error));
  }

  void OpenVideo(const TCodecChoice& choice) {
    const AVCodec* codec = avcodec_find_encoder_by_name(choice.Video);
    if (!codec) throw Exception(std::string("The video codec ") + choice.Video + " is not installed");
    FVideo.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = FVideo.get();
    c->width = FWidth;
    c->height = FHeight;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, 1000};
    c->framerate = AVRational{1000, FOptions.FrameTime};
    c->gop_size = std::max(1, 10000 / FOptions.FrameTime);  // a key picture every ten seconds
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    c->thread_count = 0;
    if (FFormat->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    const std::string crf = std::to_string(CrfFor(FOptions));
    av_dict_set(&options, "crf", crf.c_str(), 0);
    if (UseAv1(FOptions)) {
      av_dict_set(&options, "preset", "10", 0);
    } else if (FOptions.Format == TVideoFormat::WebM) {
      c->bit_rate = 0;  // constant quality, no rate to keep
      av_dict_set(&options, "deadline", "good", 0);
      av_dict_set(&options, "cpu-used", "4", 0);
      av_dict_set(&options, "row-mt", "1", 0);
    } else {
      av_dict_set(&options, "preset", "faster", 0);
    }
    const int r = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (r < 0)
      throw Exception(std::string("The video codec ") + choice.Video + " refused the video: " + AvError(r));
    FVideoStream = NewStream(c);
  }

  // The file's stream for what an opened encoder makes.
  AVStream* NewStream(const AVCodecContext* c) {
    AVStream* stream = avformat_new_stream(FFormat.get(), nullptr);
    if (!stream) throw std::bad_alloc();
    stream->time_base = c->time_base;
    Check(avcodec_parameters_from_context(stream->codecpar, c));
    return stream;
  }

  void OpenSound(const TCodecChoice& choice) {
    const AVCodec* codec = avcodec_find_encoder_by_name(choice.Sound);
    if (!codec) throw Exception(std::string("The sound codec ") + choice.Sound + " is not installed");
    FWav = std::make_unique<TWavReader>(FOptions.SoundFile);
    FSound.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = FSound.get();
    c->sample_rate = kSoundRate;
    av_channel_layout_default(&c->ch_layout, kSoundChannels);
    c->bit_rate = choice.SoundRate;
    c->time_base = AVRational{1, kSoundRate};
    // The first of the codec's sample formats that we can give it.
    c->sample_fmt = AV_SAMPLE_FMT_NONE;
    for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
      if (*f == AV_SAMPLE_FMT_S16 || *f == AV_SAMPLE_FMT_FLT || *f == AV_SAMPLE_FMT_FLTP) {
        c->sample_fmt = *f;
        break;
      }
    if (c->sample_fmt == AV_SAMPLE_FMT_NONE)
      throw Exception(std::string("The sound codec ") + choice.Sound + " takes no samples we have");
    if (FFormat->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int r = avcodec_open2(c, codec, nullptr);
    if (r < 0)
      throw Exception(std::string("The sound codec ") + choice.Sound + " refused the sound: " + AvError(r));
    FSoundStream = NewStream(c);
    FChunk = c->frame_size > 0 ? c->frame_size : 1024;
  }

  // Sound frames up to frame end of the track, in the codec's chunks.
  void AddSound(int64_t end) {
    while (FSoundDone + FChunk <= end) SendSound(FChunk);
  }

  void FlushSound() {
    const int64_t end = int64_t{FCount} * FOptions.FrameTime * kSoundRate / 1000;
    AddSound(end);
    if (end > FSoundDone) SendSound(static_cast<int>(end - FSoundDone));
  }

  void SendSound(int frames) {
    AVCodecContext* c = FSound.get();
    // A last short chunk is filled up with silence where the codec takes
    // only whole ones; the track's length says where the sound ends.
    const bool small = (c->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    const int size = frames < FChunk && !small ? FChunk : frames;
    FSamples.assign(static_cast<size_t>(size) * kSoundChannels, 0);
    FWav->Read(FSoundDone, frames, FSamples.data());
    AVFrame* f = FFrame.get();
    av_frame_unref(f);
    f->format = c->sample_fmt;
    f->nb_samples = size;
    f->sample_rate = kSoundRate;
    if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(f, 0) < 0)
      throw std::bad_alloc();
    const size_t n = static_cast<size_t>(size) * kSoundChannels;
    if (c->sample_fmt == AV_SAMPLE_FMT_S16) {
      std::memcpy(f->data[0], FSamples.data(), n * 2);
    } else if (c->sample_fmt == AV_SAMPLE_FMT_FLT) {
      auto* out = reinterpret_cast<float*>(f->data[0]);
      for (size_t i = 0; i < n; ++i) out[i] = FSamples[i] / 32768.0f;
    } else {
      for (int ch = 0; ch < kSoundChannels; ++ch) {
        auto* out = reinterpret_cast<float*>(f->data[ch]);
        for (int i = 0; i < size; ++i)
          out[i] = FSamples[static_cast<size_t>(i) * kSoundChannels + ch] / 32768.0f;
      }
    }
    f->pts = FSoundDone;
    FSoundDone += frames;
    Encode(c, FSoundStream, f);
  }

  void Encode(AVCodecContext* c, AVStream* stream, AVFrame* frame) {
    int r = avcodec_send_frame(c, frame);
    if (r < 0) throw Exception("The video could not be encoded: " + AvError(r));
    for (;;) {
      r = avcodec_receive_packet(c, FPacket.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) throw Exception("The video could not be encoded: " + AvError(r));
      // Each picture lasts its frame time, the last one too: without it a
      // reader would give the last picture no time and drop it.
      if (c == FVideo.get() && FPacket->duration <= 0) FPacket->duration = FOptions.FrameTime;
      av_packet_rescale_ts(FPacket.get(), c->time_base, stream->time_base);
      FPacket->stream_index = stream->index;
      Check(av_interleaved_write_frame(FFormat.get(), FPacket.get()));
    }
  }

 private:
  int32_t FCount;  // pictures in all
  TShareOptions FOptions;
  std::unique_ptr<AVFormatContext, TFormatFree> FFormat;
  TContext FVideo, FSound;
  AVStream* FVideoStream = nullptr;
  AVStream* FSoundStream = nullptr;
  std::unique_ptr<AVPacket, TPacketFree> FPacket;
  std::unique_ptr<AVFrame, TFrameFree> FFrame;
  std::unique_ptr<TWavReader> FWav;
  std::vector<int16_t> FSamples;
  int FChunk = 1024;
  int64_t FSoundDone = 0;
  int32_t FWidth = 0, FHeight = 0;
};

bool WriteAv(const std::string& path, const TShareOptions& options, TShareSource& source) {
  const int32_t count = source.Count();
  TAvVideo video(path, options, count);
  TBitmap pixels, fitted;
  for (int32_t i = 0; i < count; ++i) {
    // JPEG's planes go in as they are, which spares two colour conversions
    // and keeps the colour JPEG stored; a picture of another size is fitted
    // as pixels.
    const TShareSource::TFrame frame = source.Frame(i, true);
    if (frame.Yuv && frame.Yuv->Width == options.Width && frame.Yuv->Height == options.Height) {
      video.Add(nullptr, frame.Yuv, i);
    } else {
      const TBitmap& picture = frame.Yuv ? (pixels = JpegYuvToBitmap(*frame.Yuv)) : *frame.Bitmap;
      video.Add(&Fitted(picture, options.Width, options.Height, fitted), nullptr, i);
    }
    if (!source.Progress(i + 1, count)) return false;
  }
  video.Finish();
  return true;
}

bool WriteGif(int fd, const std::string& path, const TShareOptions& options, TShareSource& source) {
  const int32_t count = source.Count();
  const int64_t steps = ShareSteps(TVideoFormat::Gif, count);
  const TGifSettings settings = GifSettingsFor(options.Quality);
  TBitmap fitted, previous;
  TGifColours colours;
  for (int32_t i = 0; i < count; ++i) {
    colours.Count(Fitted(source.Picture(i, false), options.Width, options.Height, fitted));
    if (!source.Progress(i + 1, steps)) return false;
  }
  source.Rewind();
  TGifEncoder gif(
      [&](const uint8_t* data, size_t size) {
        if (!WriteWhole(fd, std::string(reinterpret_cast<const char*>(data), size)))
          throw Exception("The video could not be written to " + path + ": " + std::strerror(errno));
      },
      options.Width, options.Height, colours.Palette(settings.Colours), settings);
  // What changed is found against a copy of the picture before: a source
  // may hand every picture over in the same bitmap.
  for (int32_t i = 0; i < count; ++i) {
    const TBitmap& picture = Fitted(source.Picture(i, true), options.Width, options.Height, fitted);
    gif.Add(picture, i > 0 ? &previous : nullptr, TGifEncoder::Delay(i, options.FrameTime));
    previous = picture;
    if (!source.Progress(count + i + 1, steps)) return false;
  }
  gif.Finish();
  return true;
}

}  // namespace

int64_t ShareSteps(TVideoFormat format, int32_t count) {
  return format == TVideoFormat::Gif ? 2 * int64_t{count} : count;
}

bool WriteSharedVideo(const std::string& target, const TShareOptions& options, TShareSource& source) {
  if (source.Count() <= 0) throw Exception("A video needs at least one frame");
  if (options.Width <= 0 || options.Height <= 0 || options.FrameTime <= 0)
    throw Exception("A video of " + std::to_string(options.Width) + " x " + std::to_string(options.Height) +
                    " pixels and " + std::to_string(options.FrameTime) + " ms a picture cannot be made");
  // The codecs' own reports would only fill the terminal.
  av_log_set_level(AV_LOG_ERROR);
  setenv("SVT_LOG", "0", 0);
  TSaveFile file(target);
  const bool done = options.Format == TVideoFormat::Gif ? WriteGif(file.Descriptor(), target, options, source)
                                                        : WriteAv(file.Temporary(), options, source);
  if (!done) return false;
  file.Commit();
  return true;
}
