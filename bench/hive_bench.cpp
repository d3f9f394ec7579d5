// The settings file at its worst: a well-formed hive of 50 MB whose key
// holds 1.8 million values. Parsing it, finding a value in it (the first
// look-up builds the key's index), and the whole start of the program's
// settings: opening the key from the file and reading the seven values.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"

namespace {

const std::string& BigHive() {
  static const std::string text = [] {
    std::string t = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\r\n";
    char line[64];
    for (int i = 0; i < 1800000; ++i) {
      std::snprintf(line, sizeof line, "\"Value%07d\"=dword:%08x\r\n", i, i);
      t += line;
    }
    for (const char* name : {"IncludeCursor", "UseJpegFormat", "FPS", "VideoSize", "PixelFormat", "Compression",
                             "ShowArea"})
      t += std::string("\"") + name + "\"=dword:00000001\r\n";
    return t;
  }();
  return text;
}

void ParseBigHive(benchmark::State& state) {
  for (auto _ : state) {
    THive hive;
    benchmark::DoNotOptimize(THive::Parse(BigHive(), hive));
  }
  state.counters["MB"] = static_cast<double>(BigHive().size()) / 1e6;
}
BENCHMARK(ParseBigHive)->Unit(benchmark::kMillisecond)->Iterations(5);

void ParseAndFindInBigHive(benchmark::State& state) {
  for (auto _ : state) {
    THive hive;
    THive::Parse(BigHive(), hive);
    TRegValue value;
    benchmark::DoNotOptimize(hive.Get("software\\quorvane\\Sorvek", "FPS", value));
  }
}
BENCHMARK(ParseAndFindInBigHive)->Unit(benchmark::kMillisecond)->Iterations(5);

void LoadSettingsFromBigHive(benchmark::State& state) {
  const std::string folder = std::filesystem::temp_directory_path() / "pelimar-hive-bench";
  std::filesystem::create_directories(folder + "/pelimar");
  setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  std::ofstream(HivePath(), std::ios::binary) << BigHive();
  for (auto _ : state) {
    TRegistry registry;
    registry.OpenKey("software\\quorvane\\Sorvek", false);
    for (const char* name : {"IncludeCursor", "UseJpegFormat", "FPS", "VideoSize", "PixelFormat", "Compression",
                             "ShowArea"})
      benchmark::DoNotOptimize(registry.ReadInteger(name));
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(LoadSettingsFromBigHive)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
