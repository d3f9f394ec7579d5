#pragma once

#include <bit>
#include <cstdint>

// One colour channel of a packed pixel, given by its bit mask (as in
// BI_BITFIELDS bitmaps and X visuals), widened to 8 bits by repeating its
// bits: 5-bit 00100 becomes 00100001, as other readers do.
struct TChannelMask {
  uint32_t Mask = 0;
  int Shift = 0;
  int Bits = 0;

  constexpr explicit TChannelMask(uint32_t mask) : Mask(mask) {
    if (mask != 0) {
      Shift = std::countr_zero(mask);
      Bits = std::bit_width(mask >> Shift);
    }
  }

  constexpr uint32_t Value(uint32_t pixel) const {
    if (Bits == 0) return 0;
    uint32_t value = (pixel & Mask) >> Shift;
    if (Bits >= 8) return (value >> (Bits - 8)) & 0xFF;
    uint32_t wide = value << (8 - Bits);
    for (int filled = Bits; filled < 8; filled += Bits) wide |= wide >> Bits;
    return wide & 0xFF;
  }
};
