#include "base/types.h"

#include <array>
#include <string>

#include "base/exception.h"

namespace {
constexpr std::array<int, 7> kPixelFormatBits = {1, 4, 8, 16, 16, 24, 32};  // pf1bit .. pf32bit
}

int PixelFormatBits(TPixelFormat format) {
  if (format < pf1bit || format > pf32bit)
    throw Exception("No bit depth for pixel format " + std::to_string(static_cast<int>(format)));
  return kPixelFormatBits[static_cast<size_t>(format - pf1bit)];
}
