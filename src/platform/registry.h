#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The per-user registry: HKEY_CURRENT_USER kept as a hive file in the
// Windows registry-export text format, in $XDG_CONFIG_HOME/pelimar (else
// ~/.config/pelimar). Key and value names compare without regard to letter
// case. Every change rewrites the file atomically (temporary file, fsync,
// rename) under a lock, so a crash or a full disk never leaves a broken
// hive and two instances can read it at once.

enum class TRegType : uint32_t {
  None = 0,
  Sz = 1,
  ExpandSz = 2,
  Binary = 3,
  Dword = 4,
  MultiSz = 7,
  Qword = 11
};

struct TRegValue {
  std::string Name;
  TRegType Type = TRegType::None;
  std::vector<uint8_t> Data;
};

// The hive's text: parsing and printing, for the registry and its tests.
struct THive {
  // Keys by lower-cased path, each with its name as written and its values.
  struct TKey {
    std::string Path;
    std::vector<TRegValue> Values;
  };
  std::map<std::string, TKey> Keys;

  // False when the text is not a registry export.
  static bool Parse(const std::string& text, THive& hive);
  std::string Print() const;
};

std::string HivePath();

class TRegistry {
 public:
  TRegistry() = default;
  ~TRegistry() { CloseKey(); }

  // Opens a key under HKEY_CURRENT_USER ("software\quorvane\Sorvek"); with
  // canCreate a missing key is made. False when it cannot be opened, also
  // when the hive file cannot be read or parsed.
  bool OpenKey(const std::string& path, bool canCreate);
  void CloseKey();
  bool ValueExists(const std::string& name) const;
  // "Failed to get data for '<name>'" when the value is missing or over 4
  // bytes; "Invalid data type for '<name>'" when it is of 4 bytes or fewer
  // and not a DWORD.
  int32_t ReadInteger(const std::string& name) const;
  // "Failed to set data for '<name>'" when the hive cannot be written.
  void WriteInteger(const std::string& name, int32_t value);

 private:
  const TRegValue* Find(const std::string& name) const;
  std::string FKey;  // lower-cased path of the open key; empty when none
  std::string FPath;
  THive FHive;
};
