#pragma once

#include <spa/buffer/buffer.h>

#include <cstddef>
#include <cstdint>

#include "platform/wayland/pipewire_cast.h"

// Reading one buffer of a screen cast stream, apart from PipeWire and the
// clock: whatever a desktop puts into a buffer (sizes, offsets, metadata
// that lie) goes through here alone, so it can be tried on any bytes.

// The largest pointer image taken from the cursor metadata. Desktops give
// their metadata one fixed size, as large as their largest pointer needs:
// GNOME 384 x 384, KDE Plasma 256 x 256. A range that leaves it out gets none.
constexpr int32_t kCastPointerSide = 512;
constexpr size_t kCastCursorMetaSize =
    sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t{kCastPointerSide} * kCastPointerSide * 4;

// The raw video formats taken: the 32-bit RGB orders.
size_t CastFormatCount();
uint32_t CastFormat(size_t i);

// What the stream's format says of its pictures; Format is a
// spa_video_format, 0 before one was agreed.
struct TCastFormat {
  uint32_t Format = 0;
  int32_t Width = 0;
  int32_t Height = 0;
};

struct TCastBufferRead {
  bool PointerReported = false;  // the cursor metadata told of the pointer
  bool Picture = false;          // a new picture was taken
};

// Takes what buffer holds into picture: the pointer from its cursor
// metadata, the picture from its first data block when that holds all the
// format promises and is not marked corrupt. What is missing or does not
// fit leaves the earlier picture or pointer standing. now is the monotonic
// clock in ns, the picture's time when its own timestamp is of another
// clock. The metadata's and the data's sizes must be those of memory that
// can be read; everything else in the buffer may be anything.
TCastBufferRead ReadCastBuffer(const spa_buffer& buffer, const TCastFormat& format, int64_t now,
                               TCastPicture& picture);
