#include "writer/Silence.h"

namespace {

struct TSilence {
  uint16_t Channels;
  uint16_t Bits;
  uint32_t Rate;
  int16_t Samples[32];  // 16-bit blocks: the samples, left first for two channels
  uint8_t Fill;         // 8-bit blocks: the value of every byte
};

// clang-format off
constexpr TSilence kBlocks[] = {
  {2, 16, 48000, {0, 6, 1, 7, 0, 6, 1, 7, 1, 7, 1, 7, 2, 7, 2, 7, 2, 8, 2, 7, 2, 9, 3, 9, 3, 8, 4, 8, 4, 9, 4, 9}, 0},
  {2, 16, 44100, {0, 6, 1, 6, 0, 5, 1, 6, 1, 6, 1, 7, 2, 7, 2, 6, 2, 8, 3, 7, 3, 8, 2, 8, 4, 7, 4, 8, 4, 9, 4, 9}, 0},
  {2, 16, 32075, {1, 6, 0, 5, 1, 6, 1, 6, 2, 7, 2, 7, 3, 7, 2, 7, 2, 8, 3, 8, 3, 8, 4, 8, 4, 9, 4, 9, 6, 8, 5, 8}, 0},
  {2, 16, 32000, {0, 5, 0, 6, 1, 6, 2, 6, 2, 7, 2, 7, 2, 8, 2, 8, 2, 8, 3, 8, 3, 9, 4, 9, 5, 9, 5, 9, 4, 9, 5, 9}, 0},
  {2, 16, 22050, {-1, 6, 1, 6, 1, 7, 2, 6, 2, 7, 3, 7, 3, 8, 4, 8, 5, 9, 4, 9, 5, 9, 5, 9, 5, 10, 7, 10, 7, 10, 6, 10}, 0},
  {2, 16, 16000, {-1, 6, 1, 7, 1, 7, 2, 8, 3, 9, 4, 9, 5, 9, 5, 10, 5, 10, 6, 11, 7, 10, 7, 10, 8, 10, 8, 10, 9, 10, 9, 9}, 0},
  {2, 16, 11025, {1, 6, 1, 7, 2, 8, 3, 8, 4, 9, 6, 9, 6, 11, 6, 10, 8, 11, 8, 10, 9, 11, 8, 10, 9, 10, 9, 9, 9, 8, 9, 8}, 0},
  {1, 16, 48000, {0, 0, 1, 0, 1, 2, 2, 1, 3, 3, 3, 2, 4, 4, 4, 4}, 0},
  {1, 16, 44100, {1, 0, 1, 0, 1, 1, 2, 2, 3, 2, 4, 3, 3, 3, 4, 5}, 0},
  {1, 16, 32000, {-1, 0, 1, 2, 2, 2, 2, 3, 3, 4, 3, 4, 5, 5, 5, 5}, 0},
  {1, 16, 22050, {1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5, 7, 7, 7, 7, 7}, 0},
  {1, 16, 16000, {1, 1, 2, 2, 4, 3, 5, 6, 6, 7, 8, 8, 8, 9, 8, 9}, 0},
  {1, 16, 11025, {0, 2, 2, 3, 4, 5, 7, 8, 8, 9, 9, 9, 9, 10, 9, 9}, 0},
  {2, 8, 48000, {}, 128},
  {2, 8, 44100, {}, 127},
  {2, 8, 32075, {}, 128},
  {2, 8, 32000, {}, 128},
  {2, 8, 22050, {}, 128},
  {2, 8, 16000, {}, 127},
  {2, 8, 11025, {}, 128},
  {1, 8, 48000, {}, 128},
  {1, 8, 44100, {}, 128},
  {1, 8, 32075, {}, 127},
  {1, 8, 32000, {}, 127},
  {1, 8, 22050, {}, 127},
  {1, 8, 16000, {}, 128},
  {1, 8, 11025, {}, 127},
};
// clang-format on

// The blocks as bytes, made once: 16-bit samples little-endian.
struct TSilenceBytes {
  uint8_t Bytes[sizeof kBlocks / sizeof kBlocks[0]][64];
  TSilenceBytes() {
    for (size_t i = 0; i < sizeof kBlocks / sizeof kBlocks[0]; ++i) {
      const TSilence& s = kBlocks[i];
      const size_t size = size_t{16} * s.Channels * (s.Bits / 8);
      for (size_t b = 0; b < size; ++b) {
        if (s.Bits == 8) {
          Bytes[i][b] = s.Fill;
        } else {
          const auto sample = static_cast<uint16_t>(s.Samples[b / 2]);
          Bytes[i][b] = static_cast<uint8_t>(b % 2 == 0 ? sample & 0xFF : sample >> 8);
        }
      }
    }
  }
};

}  // namespace

void GetSilenceBlock(const WAVEFORMATEX& format, const uint8_t*& block, size_t& size) {
  static const TSilenceBytes bytes;
  block = nullptr;
  size = 0;
  for (size_t i = 0; i < sizeof kBlocks / sizeof kBlocks[0]; ++i) {
    const TSilence& s = kBlocks[i];
    if (s.Channels == format.nChannels && s.Bits == format.wBitsPerSample &&
        s.Rate == format.nSamplesPerSec) {
      block = bytes.Bytes[i];
      size = size_t{16} * s.Channels * (s.Bits / 8);
      return;
    }
  }
}
