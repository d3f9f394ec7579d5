#include "vfw/compressor.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

// The table starts with this platform's own drivers.
std::vector<std::shared_ptr<TCompressorDriver>>& Table() {
  static std::vector<std::shared_ptr<TCompressorDriver>> table = BuiltInCompressorDrivers();
  return table;
}

FOURCC Lower(FOURCC code) {
  FOURCC result = 0;
  for (int i = 0; i < 4; ++i)
    result |= static_cast<FOURCC>(std::tolower(static_cast<int>((code >> (8 * i)) & 0xFF))) << (8 * i);
  return result;
}

}  // namespace

void RegisterCompressorDriver(std::shared_ptr<TCompressorDriver> driver, bool first) {
  std::lock_guard<std::mutex> guard(TableLock());
  auto& table = Table();
  table.insert(first ? table.begin() : table.end(), std::move(driver));
}

void UnregisterCompressorDriver(const std::shared_ptr<TCompressorDriver>& driver) {
  std::lock_guard<std::mutex> guard(TableLock());
  auto& table = Table();
  table.erase(std::remove(table.begin(), table.end(), driver), table.end());
}

std::vector<std::shared_ptr<TCompressorDriver>> CompressorDrivers() {
  std::lock_guard<std::mutex> guard(TableLock());
  return Table();
}

std::shared_ptr<TCompressorDriver> FindCompressorDriver(FOURCC handler) {
  for (const auto& driver : CompressorDrivers())
    if (Lower(driver->Handler()) == Lower(handler) && driver->Available()) return driver;
  return nullptr;
}
