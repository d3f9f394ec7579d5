#pragma once

#include <cstddef>
#include <cstdint>

// Opens the bytes as an AVI or WAVE file and reads everything the reader
// offers: every stream's header and format and its samples. Returns the
// open result. For the fuzzer and the corpus of malformed files.
int32_t ExerciseReader(const uint8_t* data, size_t size);
