#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The per-user registry: HKEY_CURRENT_USER kept as a hive file in the
// Windows registry-export text format, in $XDG_CONFIG_HOME/pelimar (else
// ~/.config/pelimar). Key and value names compare without regard to letter
// case. Every change rewrites the file atomically (temporary file, fsync,
// rename) under a lock, so a crash or a full disk never leaves a broken
// hive and two instances can read it at once.
//
// The file may come from regedit or any other tool: UTF-16LE (with or
// without its byte-order mark) or UTF-8, "REGEDIT4" or version 5.00, any
// value type. A line that cannot be understood makes that one value
// unreadable and is written back exactly as it was, like every value and
// line that is not changed; the file keeps its encoding.

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
  TRegType Type = TRegType::None;  // any number the file gives
  std::vector<uint8_t> Data;
};

// The hive's text: parsing and printing, for the registry and its tests.
// Parsing takes time in proportion to the file's size.
class THive {
 public:
  enum class TEncoding { Utf8, Utf8Bom, Utf16Le, Utf16LeBom };
  THive();

  // bytes as they stand in the file; false when they are not a registry
  // export (no "Windows Registry Editor Version 5.00" or "REGEDIT4" line
  // first).
  static bool Parse(const std::string& bytes, THive& hive);
  // The file's bytes, in the encoding it was read in (a new hive: UTF-8).
  std::string Print() const;

  TEncoding Encoding() const { return FEncoding; }
  bool HasKey(const std::string& path) const;
  void AddKey(const std::string& path);
  enum class TLookup { Missing, Unreadable, Found };
  TLookup Get(const std::string& path, const std::string& name, TRegValue& value) const;
  // Sets a value of an existing key (made when missing).
  void Set(const std::string& path, const TRegValue& value);
  // The values of a key that can be read, in the file's order.
  std::vector<TRegValue> Values(const std::string& path) const;
  // The hash of a value name in a key's index: the same for names that
  // differ only in the case of A to Z, keyed anew for each run.
  static uint64_t NameHash(std::string_view name);

 private:
  // One value or other line of a key, as it stands in the text: the text
  // lives in FText from Offset, or in Own once the value has been set.
  struct TEntry {
    size_t Offset = 0;
    size_t Length = 0;
    std::string Own;
    bool Owned = false;
  };
  struct TKey {
    std::string Path;  // as written; empty for what comes before the first key
    size_t LineOffset = 0, LineLength = 0;
    std::string OwnLine;
    bool Ours = true;  // under HKEY_CURRENT_USER; other lines are kept, not used
    std::vector<TEntry> Entries;
    // Names to the last entry of each name, made at first use: open
    // addressing over the names' hashes, the names themselves read from
    // the entries when hashes meet. An empty slot holds kNoEntry.
    mutable std::vector<std::pair<uint64_t, size_t>> Slots;
    mutable size_t Used = 0;
    mutable bool Indexed = false;
    mutable bool Repeats = false;  // some name has more than one entry
  };
  static constexpr size_t kNoEntry = static_cast<size_t>(-1);
  std::string_view Text(const TEntry& entry) const;
  std::string_view KeyLine(const TKey& key) const;
  const TKey* Find(const std::string& path) const;
  void MakeIndex(const TKey& key) const;
  // The name of an entry's value, in buffer when it has escapes; false for
  // lines that are no value.
  bool EntryName(const TEntry& entry, std::string& buffer, std::string_view& name) const;
  // The slot of name in the key's index: its entry's, or the empty one
  // where it would go.
  size_t Slot(const TKey& key, std::string_view name, uint64_t hash) const;
  void Insert(const TKey& key, std::string_view name, size_t entry) const;
  size_t FindEntry(const TKey& key, std::string_view name) const;

  std::string FText;  // the file as UTF-8, line breaks as they were
  TEncoding FEncoding = TEncoding::Utf8;
  std::string FOddByte;  // a UTF-16 file's last byte that makes no unit, kept for the end
  std::string FHeader = "Windows Registry Editor Version 5.00";
  std::string FLineBreak = "\r\n";
  std::vector<TKey> FKeys;
  std::unordered_map<std::string, size_t> FIndex;  // lower-case path to its key
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
  // "Failed to get data for '<name>'" when the value is missing, cannot be
  // read or is over 4 bytes; "Invalid data type for '<name>'" when it is of 4 bytes or fewer
  // and not a DWORD.
  int32_t ReadInteger(const std::string& name) const;
  // "Failed to set data for '<name>'" when the hive cannot be written.
  void WriteInteger(const std::string& name, int32_t value);
  // A string value; "Failed to get data for '<name>'" when it is missing
  // or unreadable, "Invalid data type for '<name>'" when it is no string.
  std::string ReadString(const std::string& name) const;
  void WriteString(const std::string& name, const std::string& value);
  // Sets all the values in one rewrite of the hive: after a crash the key
  // has either all of them or none. "Failed to set data for '<name>'"
  // names the first value that changed.
  void WriteValues(const std::vector<TRegValue>& values);
  static TRegValue IntegerValue(const std::string& name, int32_t value);
  static TRegValue StringValue(const std::string& name, const std::string& value);

 private:

  std::string FKey;  // path of the open key; empty when none
  std::string FPath;
  THive FHive;
};
