#pragma once

// Owners of libavcodec's objects, freed on every way out; for the
// compressors here and the videos for sharing.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <memory>

struct TContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct TFrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct TPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using TContext = std::unique_ptr<AVCodecContext, TContextFree>;
