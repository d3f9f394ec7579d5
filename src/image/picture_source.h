#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/exception.h"
#include "base/file.h"

// Bytes of a picture file, read where the decoder asks: from memory or
// straight from the file, so that pixels need not pass through a copy.
class TPictureSource {
 public:
  virtual ~TPictureSource() = default;
  virtual uint64_t Size() = 0;
  // Reads exactly count bytes; raises when the data ends before.
  virtual void ReadAt(uint64_t offset, void* buffer, size_t count) = 0;
};

class TMemorySource final : public TPictureSource {
 public:
  TMemorySource(const uint8_t* data, size_t size) : FData(data), FSize(size) {}
  uint64_t Size() override { return FSize; }
  void ReadAt(uint64_t offset, void* buffer, size_t count) override {
    if (offset > FSize || FSize - offset < count) throw Exception("The picture data ends too early");
    if (count) std::memcpy(buffer, FData + offset, count);
  }

 private:
  const uint8_t* FData;
  size_t FSize;
};

class TFileSource final : public TPictureSource {
 public:
  explicit TFileSource(TFile& file) : FFile(file) {}
  uint64_t Size() override { return FFile.Size(); }
  void ReadAt(uint64_t offset, void* buffer, size_t count) override { FFile.ReadAt(offset, buffer, count); }

 private:
  TFile& FFile;
};
