#pragma once

#include <cstddef>
#include <cstdint>

#include "vfw/vfw.h"

// A block of 16 sample frames of near-silence for a PCM format: a faint,
// slowly rising low-level signal rather than digital zero. Formats of 1 or
// 2 channels, 8 or 16 bits, at 48000, 44100, 32075, 32000, 22050, 16000 or
// 11025 samples per second have one (mono 16-bit at 32075 has none); only
// nChannels, nSamplesPerSec and wBitsPerSample are looked at. For every
// other format block is null and size 0.
void GetSilenceBlock(const WAVEFORMATEX& format, const uint8_t*& block, size_t& size);
