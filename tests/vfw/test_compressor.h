#pragma once

#include <memory>

#include "vfw/compressor.h"

// A compressor for the tests of the video layer: every frame of 24 or 32
// bits becomes a JPEG picture, under the FourCC "MJPG", which players know.
std::shared_ptr<TCompressorDriver> MakeTestJpegDriver();
