// libFuzzer target: any bytes as an AVI or WAVE file, read through.
#include <cstddef>
#include <cstdint>

#include "vfw/exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ExerciseReader(data, size);
  return 0;
}
