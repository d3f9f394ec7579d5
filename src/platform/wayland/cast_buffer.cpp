#include "platform/wayland/cast_buffer.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

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

// A picture's own timestamp further than this from its arrival is of
// another clock.
constexpr int64_t kPlausibleNs = 5'000'000'000;

// A metadata structure copied out of the buffer: the desktop places it
// where it likes, not where the structure's alignment wants it.
template <typename T>
T Load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The pointer's image into premultiplied ARGB words. bitmap: its header,
// copied from at; room: the bytes from at to the end of the metadata.
void ReadPointerImage(const spa_meta_bitmap& bitmap, const uint8_t* at, size_t room, TCastPicture& picture) {
  const TLayout* layout = LayoutOf(bitmap.format);
  const int32_t width = static_cast<int32_t>(bitmap.size.width),
                height = static_cast<int32_t>(bitmap.size.height);
  if (!layout || width <= 0 || height <= 0 || width > kCastPointerSide || height > kCastPointerSide ||
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

// The pointer from the cursor metadata; true when it told of the pointer.
bool ReadPointer(const spa_meta& meta, TCastPicture& picture) {
  if (!meta.data || meta.size < sizeof(spa_meta_cursor)) return false;
  const auto* bytes = static_cast<const uint8_t*>(meta.data);
  const auto cursor = Load<spa_meta_cursor>(bytes);
  // An id of 0 means nothing new about the pointer.
  if (cursor.id == 0) return false;
  const size_t room = std::min<size_t>(meta.size, kCastCursorMetaSize);
  picture.PointerKnown = true;
  picture.PointerX = cursor.position.x;
  picture.PointerY = cursor.position.y;
  if (cursor.bitmap_offset >= sizeof(spa_meta_cursor) &&
      size_t{cursor.bitmap_offset} + sizeof(spa_meta_bitmap) <= room) {
    const uint8_t* at = bytes + cursor.bitmap_offset;
    const auto bitmap = Load<spa_meta_bitmap>(at);
    // Format 0: no new image, the last stands. No pixels: hidden.
    if (bitmap.format != 0) {
      picture.HotX = cursor.hotspot.x;
      picture.HotY = cursor.hotspot.y;
      ReadPointerImage(bitmap, at, room - cursor.bitmap_offset, picture);
    }
  }
  picture.PointerVisible = picture.PointerWidth > 0;
  return true;
}

}  // namespace

size_t CastFormatCount() {
  return std::size(kLayouts);
}

uint32_t CastFormat(size_t i) {
  return kLayouts[i].Format;
}

TCastBufferRead ReadCastBuffer(const spa_buffer& buffer, const TCastFormat& format, int64_t now,
                               TCastPicture& picture) {
  TCastBufferRead read;
  const spa_meta* cursor = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
  if (cursor) read.PointerReported = ReadPointer(*cursor, picture);
  const spa_meta* headerMeta = spa_buffer_find_meta(&buffer, SPA_META_Header);
  spa_meta_header header{};
  const bool hasHeader = headerMeta && headerMeta->data && headerMeta->size >= sizeof header;
  if (hasHeader) header = Load<spa_meta_header>(static_cast<const uint8_t*>(headerMeta->data));
  if (hasHeader && (header.flags & SPA_META_HEADER_FLAG_CORRUPTED)) return read;
  const TLayout* layout = LayoutOf(format.Format);
  if (buffer.n_datas < 1 || !buffer.datas || !layout) return read;
  const spa_data& d = buffer.datas[0];
  // A buffer with only metadata, or one that does not hold the picture
  // the format promises, leaves the last picture standing.
  if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) ||
      format.Width <= 0 || format.Height <= 0)
    return read;
  const size_t rowBytes = size_t(format.Width) * 4;
  const size_t stride = d.chunk->stride > 0 ? size_t(d.chunk->stride) : rowBytes;
  const size_t offset = d.chunk->offset % std::max<uint32_t>(d.maxsize, 1);
  if (stride < rowBytes || offset + stride * (size_t(format.Height) - 1) + rowBytes > d.maxsize) return read;
  picture.Width = format.Width;
  picture.Height = format.Height;
  picture.Stride = rowBytes;
  picture.RedByte = layout->Red;
  picture.GreenByte = layout->Green;
  picture.BlueByte = layout->Blue;
  picture.Bytes.resize(rowBytes * size_t(format.Height));
  const auto* source = static_cast<const uint8_t*>(d.data) + offset;
  if (stride == rowBytes) {
    std::memcpy(picture.Bytes.data(), source, rowBytes * size_t(format.Height));
  } else {
    for (int32_t y = 0; y < format.Height; ++y)
      std::memcpy(picture.Bytes.data() + rowBytes * size_t(y), source + stride * size_t(y), rowBytes);
  }
  // When the desktop made it: its timestamp, on the monotonic clock as the
  // desktops keep it; when it came, where the timestamp is of another clock.
  // (Both are positive before they are subtracted, so a wild timestamp
  // cannot overflow the difference.)
  const bool plausible = hasHeader && header.pts > 0 && now > 0 && header.pts - now < kPlausibleNs &&
                         now - header.pts < kPlausibleNs;
  picture.Time = plausible ? header.pts : now;
  ++picture.Count;
  read.Picture = true;
  return read;
}
