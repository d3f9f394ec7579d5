#pragma once

#include <cstdint>

#include "image/bitmap.h"

// Something like a desktop, the pictures a screen recorder really takes: a
// gradient background, flat windows with title bars, rows of dark text
// strokes on light ground. The same size always gives the same picture.
TBitmap ScreenLikePicture(int32_t width, int32_t height, TPixelFormat format);

// A picture that tells its index by its colours, in flat blocks that JPEG
// keeps close to their values.
TBitmap Numbered(int32_t width, int32_t height, int index);
