#pragma once

// The installable video compressors: one driver per codec, registered in
// one table. A driver answers whether it takes an input format and opens
// compressors; a compressor turns frames into chunks, in order.

#include <memory>
#include <string>
#include <vector>

#include "vfw/vfw.h"

struct TCompressedChunk {
  std::vector<uint8_t> Data;
  bool KeyFrame = false;
};

class TCompressor {
 public:
  virtual ~TCompressor() = default;
  // The output format: a BITMAPINFOHEADER naming the codec, with whatever
  // the codec puts behind it.
  virtual std::vector<uint8_t> OutputFormat() = 0;
  // One frame of input bits in; the chunks that are ready come out, in
  // order (an encoder may hold frames back, never reorder them).
  virtual bool Compress(const uint8_t* bits, size_t size, bool forceKeyFrame,
                        std::vector<TCompressedChunk>& out) = 0;
  // The chunks still held back, at the end of the stream.
  virtual bool Flush(std::vector<TCompressedChunk>& out) = 0;
};

struct TCompressorSettings {
  DWORD Quality = 5000;     // 0 to 10000; 5000 the codec's usual quality
  DWORD KeyFrameEvery = 0;  // 0: the first frame only
};

class TCompressorDriver {
 public:
  virtual ~TCompressorDriver() = default;
  virtual FOURCC Handler() const = 0;
  virtual std::string Name() const = 0;
  virtual std::string Description() const = 0;
  // Whether the codec is there to be used on this machine.
  virtual bool Available() const { return true; }
  // True when frames of this format can be compressed (format: a
  // BITMAPINFOHEADER and its colour table).
  virtual bool Accepts(const uint8_t* format, size_t size) const = 0;
  virtual std::unique_ptr<TCompressor> Open(const uint8_t* format, size_t size,
                                            const TCompressorSettings& settings) = 0;
};

// The table: this platform's drivers (libavcodec's encoders), then those
// registered later, at the end or, when first, at the front.
void RegisterCompressorDriver(std::shared_ptr<TCompressorDriver> driver, bool first = false);
void UnregisterCompressorDriver(const std::shared_ptr<TCompressorDriver>& driver);
std::vector<std::shared_ptr<TCompressorDriver>> BuiltInCompressorDrivers();
std::vector<std::shared_ptr<TCompressorDriver>> CompressorDrivers();
// The driver for a FourCC, letter case ignored; none when there is no such
// driver or its codec is not available.
std::shared_ptr<TCompressorDriver> FindCompressorDriver(FOURCC handler);
