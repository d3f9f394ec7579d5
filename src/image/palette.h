#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/wintypes.h"

// The colour table that comes with a depth of 1, 4 or 8 bits: black and
// white, the standard 16 colours, and the 256-colour halftone table (the
// 16 standard colours, a 6x6x6 colour cube and 24 greys).
const std::vector<RGBQUAD>& StandardPalette(int bitCount);

// Nearest-colour lookup for reducing colours to a table: 5 bits per
// channel index a 32768-entry table, so a pixel costs one load instead of a
// search over the colours. A colour of the table itself maps to its own index.
class TColorLookup {
 public:
  explicit TColorLookup(const std::vector<RGBQUAD>& palette);

  uint8_t Index(uint8_t red, uint8_t green, uint8_t blue) const {
    return FTable[(static_cast<unsigned>(red >> 3) << 10) | (static_cast<unsigned>(green >> 3) << 5) |
                  (blue >> 3)];
  }

 private:
  std::vector<uint8_t> FTable;
};

// The lookup for a table: shared for the standard tables, built for others.
std::shared_ptr<const TColorLookup> ColorLookupFor(const std::vector<RGBQUAD>& palette);
