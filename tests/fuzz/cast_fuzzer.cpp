// libFuzzer target: any bytes as a buffer of a screen cast stream, with
// its header and cursor metadata, its data block and chunk, and the
// stream's format, all from the input. The sizes of the memory are true
// (PipeWire maps what it announces); everything inside may be anything.
#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/wayland/cast_buffer.h"

namespace {

class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  template <typename T>
  T Take() {
    T value{};
    const size_t n = std::min(sizeof value, FSize - FAt);
    std::memcpy(&value, FData + FAt, n);
    FAt += n;
    return value;
  }
  // Up to n bytes, placed misaligned by shift within a buffer of their own.
  std::vector<uint8_t> Bytes(size_t n, size_t shift, const uint8_t*& start) {
    n = std::min(n, FSize - FAt);
    std::vector<uint8_t> bytes(n + shift);
    if (n) std::memcpy(bytes.data() + shift, FData + FAt, n);
    FAt += n;
    start = bytes.data() + shift;
    return bytes;
  }
  size_t Left() const { return FSize - FAt; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FAt = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TInput in(data, size);
  const auto flags = in.Take<uint8_t>();
  TCastFormat format;
  const auto chosen = in.Take<uint8_t>();
  format.Format = chosen < CastFormatCount() ? CastFormat(chosen) : chosen;
  format.Width = in.Take<int16_t>();
  format.Height = in.Take<int16_t>();
  const int64_t now = in.Take<int64_t>();

  std::vector<spa_meta> metas;
  const uint8_t* headerAt = nullptr;
  std::vector<uint8_t> header;
  if (flags & 1) {
    header = in.Bytes(in.Take<uint8_t>(), flags >> 6, headerAt);
    metas.push_back(spa_meta{SPA_META_Header, static_cast<uint32_t>(header.size() - (flags >> 6)),
                             const_cast<uint8_t*>(headerAt)});
  }
  const uint8_t* cursorAt = nullptr;
  std::vector<uint8_t> cursor;
  if (flags & 2) {
    cursor = in.Bytes(in.Take<uint16_t>(), (flags >> 4) & 3, cursorAt);
    metas.push_back(spa_meta{SPA_META_Cursor, static_cast<uint32_t>(cursor.size() - ((flags >> 4) & 3)),
                             const_cast<uint8_t*>(cursorAt)});
  }
  spa_chunk chunk{};
  chunk.offset = in.Take<uint32_t>();
  chunk.size = in.Take<uint32_t>();
  chunk.stride = in.Take<int32_t>();
  chunk.flags = in.Take<int32_t>();
  const uint8_t* pixelsAt = nullptr;
  std::vector<uint8_t> pixels = in.Bytes(in.Left(), 0, pixelsAt);
  spa_data block{};
  block.type = SPA_DATA_MemPtr;
  block.maxsize = static_cast<uint32_t>(pixels.size());
  block.data = (flags & 4) ? nullptr : const_cast<uint8_t*>(pixelsAt);
  block.chunk = (flags & 8) ? nullptr : &chunk;

  spa_buffer buffer{};
  buffer.n_metas = static_cast<uint32_t>(metas.size());
  buffer.metas = metas.data();
  buffer.n_datas = 1;
  buffer.datas = &block;
  TCastPicture picture;
  ReadCastBuffer(buffer, format, now, picture);
  // A second buffer over what the first left, as a stream goes on.
  ReadCastBuffer(buffer, format, now, picture);
  if (picture.PointerPixels.size() != size_t(picture.PointerWidth) * size_t(picture.PointerHeight)) __builtin_trap();
  return 0;
}
