#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "base/exception.h"
#include "base/file.h"

namespace {

constexpr const char* kRoot = "HKEY_CURRENT_USER";
constexpr const char* kVersion5 = "Windows Registry Editor Version 5.00";
constexpr const char* kVersion4 = "REGEDIT4";

// Names compare with A to Z folded, whatever the locale says of other bytes.
char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

std::string TrimKey(std::string path) {
  while (!path.empty() && path.front() == '\\') path.erase(path.begin());
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hexadecimal digits, the whole text; false for anything else,
// numbers too large for 32 bits included.
bool ParseHex32(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return true;
}

// Bytes as "01,ab, 2f", over lines joined by a backslash at their end.
// A backslash with no line after it is a value cut short.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& bytes) {
  int digits = 0, value = 0;
  bool gap = false;  // blanks after a byte's first digit: no more digits of it
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const int d = HexDigit(c);
    if (d >= 0) {
      if (gap || ++digits > 2) return false;
      value = value << 4 | d;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      gap = digits > 0;
    } else if (c == ',' || c == '\\') {
      if (c == '\\' && (i + 1 >= text.size() || (text[i + 1] != '\r' && text[i + 1] != '\n'))) return false;
      if (digits > 0) bytes.push_back(static_cast<uint8_t>(value));
      digits = value = 0;
      gap = false;
    } else {
      return false;
    }
  }
  if (digits > 0) bytes.push_back(static_cast<uint8_t>(value));
  return true;
}

// A quoted text from at (just after its opening quote); at ends after the closing one.
bool ParseQuoted(std::string_view line, size_t& at, std::string& text) {
  text.clear();
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '\\' && at + 1 < line.size()) {
      text += line[++at];
    } else if (c == '"') {
      ++at;
      return true;
    } else {
      text += c;
    }
  }
  return false;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The name of a value line ("name" or @) and where its data begins, after
// the "=" and blanks; false for lines that are no value (comments,
// garbage). A name written plainly is a view into the line; one with
// escapes is spelled out in buffer.
bool ScanValue(std::string_view text, std::string& buffer, std::string_view& name, size_t& data) {
  size_t at = 1;
  if (text.empty()) return false;
  if (text[0] == '@') {
    name = std::string_view();
  } else if (text[0] != '"') {
    return false;
  } else {
    const size_t close = text.find_first_of("\"\\", 1);
    if (close == std::string_view::npos) return false;
    if (text[close] == '"') {
      name = text.substr(1, close - 1);
      at = close + 1;
    } else {
      if (!ParseQuoted(text, at, buffer)) return false;
      name = buffer;
    }
  }
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at >= text.size() || text[at] != '=') return false;
  for (++at; at < text.size() && (text[at] == ' ' || text[at] == '\t');) ++at;
  data = at;
  return true;
}

// regedit's "name"=- deletes a value when a file is imported: here it is a
// value that is not there.
bool IsDeletion(std::string_view text) {
  std::string buffer;
  std::string_view name;
  size_t data = 0;
  return ScanValue(text, buffer, name, data) && TrimRight(text.substr(data)) == "-";
}

bool DecodeValue(std::string_view text, TRegValue& value) {
  size_t at = 0;
  std::string buffer;
  std::string_view name;
  if (!ScanValue(text, buffer, name, at)) return false;
  value.Name = std::string(name);
  const std::string_view data = TrimRight(text.substr(at));
  value.Data.clear();
  if (data.starts_with("dword:")) {
    uint32_t n = 0;
    if (!ParseHex32(data.substr(6), n)) return false;
    value.Type = TRegType::Dword;
    for (int i = 0; i < 4; ++i) value.Data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    return true;
  }
  if (data.starts_with("hex:")) {
    value.Type = TRegType::Binary;
    return ParseHexBytes(data.substr(4), value.Data);
  }
  if (data.starts_with("hex(")) {
    const size_t close = data.find("):");
    uint32_t type = 0;
    if (close == std::string_view::npos || !ParseHex32(data.substr(4, close - 4), type)) return false;
    value.Type = static_cast<TRegType>(type);
    return ParseHexBytes(data.substr(close + 2), value.Data);
  }
  if (!data.empty() && data[0] == '"') {
    size_t p = 1;
    std::string textValue;
    if (!ParseQuoted(data, p, textValue) || p != data.size()) return false;
    value.Type = TRegType::Sz;
    value.Data.assign(textValue.begin(), textValue.end());
    value.Data.push_back(0);
    return true;
  }
  return false;  // "=-" (a deletion), or what no tool writes
}

std::string PrintValue(const TRegValue& v) {
  std::string out = (v.Name.empty() ? std::string("@") : Quote(v.Name)) + "=";
  char hex[24];
  if (v.Type == TRegType::Dword && v.Data.size() == 4) {
    const uint32_t n =
        v.Data[0] | (v.Data[1] << 8) | (v.Data[2] << 16) | (static_cast<uint32_t>(v.Data[3]) << 24);
    std::snprintf(hex, sizeof hex, "dword:%08x", n);
    return out + hex;
  }
  if (v.Type == TRegType::Sz && !v.Data.empty() && v.Data.back() == 0 &&
      std::find(v.Data.begin(), v.Data.end() - 1, 0) == v.Data.end() - 1)
    return out + Quote(std::string(v.Data.begin(), v.Data.end() - 1));
  if (v.Type == TRegType::Binary) {
    out += "hex:";
  } else {
    std::snprintf(hex, sizeof hex, "hex(%x):", static_cast<unsigned>(v.Type));
    out += hex;
  }
  for (size_t i = 0; i < v.Data.size(); ++i) {
    std::snprintf(hex, sizeof hex, "%s%02x", i ? "," : "", v.Data[i]);
    out += hex;
  }
  return out;
}

// UTF-16LE and UTF-8 both ways. A lone surrogate goes over as the 3-byte
// form of its code point and comes back as it was, so a file with one is
// written back unchanged.
void PutUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
  };
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    PutUtf8(out, c);
  }
  return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  auto put = [&](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<uint8_t>(text[i]);
    size_t length = b < 0x80             ? 1
                    : (b & 0xE0) == 0xC0 ? 2
                    : (b & 0xF0) == 0xE0 ? 3
                    : (b & 0xF8) == 0xF0 ? 4
                                         : 0;
    uint32_t c = length == 1 ? b : length == 2 ? (b & 0x1Fu) : length == 3 ? (b & 0x0Fu) : (b & 0x07u);
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3Fu);
    }
    if (!valid) {
      put(0xFFFD);
      ++i;
      continue;
    }
    i += length;
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

}  // namespace

THive::THive() {
  FKeys.emplace_back();  // what stands before the first key
  FKeys.back().Ours = false;
}

bool THive::Parse(const std::string& bytes, THive& hive) {
  hive = THive();
  std::string_view raw = bytes;
  auto utf16 = [&](std::string_view units) {
    if (units.size() % 2 != 0) hive.FOddByte.assign(units.substr(units.size() - 1));
    hive.FText = Utf16LeToUtf8(units);
  };
  if (raw.starts_with("\xFF\xFE")) {
    hive.FEncoding = TEncoding::Utf16LeBom;
    utf16(raw.substr(2));
  } else if (raw.size() >= 2 && raw[0] != 0 && raw[1] == 0) {
    hive.FEncoding = TEncoding::Utf16Le;
    utf16(raw);
  } else if (raw.starts_with("\xEF\xBB\xBF")) {
    hive.FEncoding = TEncoding::Utf8Bom;
    hive.FText.assign(raw.substr(3));
  } else {
    hive.FEncoding = TEncoding::Utf8;
    hive.FText = bytes;
  }
  const std::string_view text = hive.FText;
  size_t at = 0;
  // The next line: [begin, end) without its line break.
  auto nextLine = [&](size_t& begin, size_t& end) {
    if (at >= text.size()) return false;
    begin = at;
    const size_t newline = text.find('\n', at);
    end = newline == std::string_view::npos ? text.size() : newline;
    at = newline == std::string_view::npos ? text.size() : newline + 1;
    if (end > begin && text[end - 1] == '\r') --end;
    return true;
  };
  size_t begin = 0, end = 0;
  if (!nextLine(begin, end)) return false;
  const std::string_view header = TrimRight(text.substr(begin, end - begin));
  if (header != kVersion5 && header != kVersion4) return false;
  hive.FHeader = std::string(header);
  hive.FLineBreak = end < text.size() && text[end] == '\r' ? "\r\n" : "\n";
  size_t current = 0;
  std::string buffer;
  const std::string root = Lower(std::string(kRoot) + "\\");
  while (nextLine(begin, end)) {
    const std::string_view line = text.substr(begin, end - begin);
    if (TrimRight(line).empty()) continue;  // blank lines are made anew between keys
    if (line[0] == '[') {
      const std::string_view trimmed = TrimRight(line);
      const std::string_view inside = trimmed.substr(1, trimmed.size() - 2);
      TKey key;
      key.LineOffset = begin;
      key.LineLength = end - begin;
      key.Ours = trimmed.size() >= 2 && trimmed.back() == ']' && Lower(inside.substr(0, root.size())) == root;
      if (key.Ours) {
        key.Path = TrimKey(std::string(inside.substr(root.size())));
        const std::string lower = Lower(key.Path);
        auto known = hive.FIndex.find(lower);
        if (known != hive.FIndex.end()) {
          current = known->second;  // a key written twice is one key
          continue;
        }
        hive.FIndex.emplace(lower, hive.FKeys.size());
      }
      current = hive.FKeys.size();
      hive.FKeys.push_back(std::move(key));
      continue;
    }
    // Long hex values go on over lines that end in a backslash, never
    // into a key's line or past a blank one: a file cut short after such a
    // line must not take what is written after it for more of its value.
    std::string_view name;
    size_t data = 0;
    if (TrimRight(line).ends_with('\\') && ScanValue(line, buffer, name, data) &&
        line.substr(data).starts_with("hex")) {
      size_t lastEnd = end;
      for (size_t saved = at; TrimRight(text.substr(begin, lastEnd - begin)).ends_with('\\'); saved = at) {
        size_t nextBegin = 0, nextEnd = 0;
        if (!nextLine(nextBegin, nextEnd)) break;
        const std::string_view next = text.substr(nextBegin, nextEnd - nextBegin);
        const size_t first = next.find_first_not_of(" \t");
        if (first == std::string_view::npos || next[first] == '[') {
          at = saved;
          break;
        }
        lastEnd = nextEnd;
      }
      end = lastEnd;
    }
    TEntry entry;
    entry.Offset = begin;
    entry.Length = end - begin;
    hive.FKeys[current].Entries.push_back(std::move(entry));
  }
  return true;
}

std::string_view THive::Text(const TEntry& entry) const {
  return entry.Owned ? std::string_view(entry.Own)
                     : std::string_view(FText).substr(entry.Offset, entry.Length);
}

std::string_view THive::KeyLine(const TKey& key) const {
  return key.OwnLine.empty() ? std::string_view(FText).substr(key.LineOffset, key.LineLength)
                             : std::string_view(key.OwnLine);
}

std::string THive::Print() const {
  std::string out = FHeader + FLineBreak;
  for (size_t k = 0; k < FKeys.size(); ++k) {
    if (k > 0) {
      out += FLineBreak;
      out += KeyLine(FKeys[k]);
      out += FLineBreak;
    }
    const std::vector<TEntry>& entries = FKeys[k].Entries;
    for (size_t e = 0; e < entries.size(); ++e) {
      out += Text(entries[e]);
      out += FLineBreak;
      // A line that goes on but was cut short: a blank line keeps the
      // next value from being read as its continuation.
      if (e + 1 < entries.size() && TrimRight(Text(entries[e])).ends_with('\\')) out += FLineBreak;
    }
  }
  switch (FEncoding) {
    case TEncoding::Utf8:
      return out;
    case TEncoding::Utf8Bom:
      return "\xEF\xBB\xBF" + out;
    case TEncoding::Utf16Le:
      return Utf8ToUtf16Le(out) + FOddByte;
    case TEncoding::Utf16LeBom:
      return "\xFF\xFE" + Utf8ToUtf16Le(out) + FOddByte;
  }
  return out;
}

const THive::TKey* THive::Find(const std::string& path) const {
  auto known = FIndex.find(Lower(TrimKey(path)));
  return known == FIndex.end() ? nullptr : &FKeys[known->second];
}

bool THive::HasKey(const std::string& path) const {
  return Find(path) != nullptr;
}

void THive::AddKey(const std::string& path) {
  if (HasKey(path)) return;
  TKey key;
  key.Path = TrimKey(path);
  key.OwnLine = "[" + std::string(kRoot) + "\\" + key.Path + "]";
  FIndex.emplace(Lower(key.Path), FKeys.size());
  FKeys.push_back(std::move(key));
}

namespace {

// The index's hash: SipHash-1-3 of the lower-cased name under a key drawn
// at random for each run, so that no file can hold names chosen to meet in
// the index and make every look-up walk them all.
uint64_t RotateLeft(uint64_t x, int bits) {
  return x << bits | x >> (64 - bits);
}

struct TSipKey {
  uint64_t K0 = 0, K1 = 0;
  TSipKey() {
    std::random_device random;
    K0 = static_cast<uint64_t>(random()) << 32 | random();
    K1 = static_cast<uint64_t>(random()) << 32 | random();
  }
};

}  // namespace

uint64_t THive::NameHash(std::string_view name) {
  static const TSipKey key;
  uint64_t v0 = key.K0 ^ 0x736f6d6570736575ull, v1 = key.K1 ^ 0x646f72616e646f6dull;
  uint64_t v2 = key.K0 ^ 0x6c7967656e657261ull, v3 = key.K1 ^ 0x7465646279746573ull;
  auto round = [&] {
    v0 += v1;
    v1 = RotateLeft(v1, 13) ^ v0;
    v0 = RotateLeft(v0, 32);
    v2 += v3;
    v3 = RotateLeft(v3, 16) ^ v2;
    v0 += v3;
    v3 = RotateLeft(v3, 21) ^ v0;
    v2 += v1;
    v1 = RotateLeft(v1, 17) ^ v2;
    v2 = RotateLeft(v2, 32);
  };
  auto word = [&](uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  };
  uint64_t m = 0;
  size_t i = 0;
  for (; i < name.size(); ++i) {
    m |= static_cast<uint64_t>(static_cast<unsigned char>(LowerAscii(name[i]))) << (8 * (i % 8));
    if (i % 8 == 7) {
      word(m);
      m = 0;
    }
  }
  word(m | static_cast<uint64_t>(name.size() & 0xFF) << 56);
  v2 ^= 0xFF;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

namespace {

bool NoCaseEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

}  // namespace

bool THive::EntryName(const TEntry& entry, std::string& buffer, std::string_view& name) const {
  size_t data = 0;
  return ScanValue(Text(entry), buffer, name, data);
}

size_t THive::Slot(const TKey& key, std::string_view name, uint64_t hash) const {
  const size_t mask = key.Slots.size() - 1;
  std::string buffer;
  std::string_view other;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    const auto& [slotHash, entry] = key.Slots[at];
    if (entry == kNoEntry) return at;
    if (slotHash == hash && EntryName(key.Entries[entry], buffer, other) && NoCaseEqual(other, name))
      return at;
  }
}

void THive::Insert(const TKey& key, std::string_view name, size_t entry) const {
  if (2 * (key.Used + 1) > key.Slots.size()) {
    // Twice as many slots, the names placed again by their hashes.
    std::vector<std::pair<uint64_t, size_t>> old(std::max<size_t>(16, key.Slots.size() * 2), {0, kNoEntry});
    old.swap(key.Slots);
    const size_t mask = key.Slots.size() - 1;
    for (const auto& [hash, index] : old) {
      if (index == kNoEntry) continue;
      size_t at = hash & mask;
      while (key.Slots[at].second != kNoEntry) at = (at + 1) & mask;
      key.Slots[at] = {hash, index};
    }
  }
  const uint64_t hash = NameHash(name);
  auto& slot = key.Slots[Slot(key, name, hash)];
  if (slot.second != kNoEntry) key.Repeats = true;
  if (slot.second == kNoEntry) ++key.Used;
  slot = {hash, entry};  // a name written again: the later entry counts
}

size_t THive::FindEntry(const TKey& key, std::string_view name) const {
  MakeIndex(key);
  if (key.Slots.empty()) return kNoEntry;
  return key.Slots[Slot(key, name, NameHash(name))].second;
}

void THive::MakeIndex(const TKey& key) const {
  if (key.Indexed) return;
  key.Indexed = true;
  size_t slots = 16;
  while (slots < 2 * key.Entries.size()) slots *= 2;
  key.Slots.assign(slots, {0, kNoEntry});
  std::string buffer;
  std::string_view name;
  for (size_t i = 0; i < key.Entries.size(); ++i)
    if (EntryName(key.Entries[i], buffer, name)) Insert(key, name, i);
}

THive::TLookup THive::Get(const std::string& path, const std::string& name, TRegValue& value) const {
  const TKey* key = Find(path);
  if (!key) return TLookup::Missing;
  const size_t entry = FindEntry(*key, name);
  if (entry == kNoEntry || IsDeletion(Text(key->Entries[entry]))) return TLookup::Missing;
  return DecodeValue(Text(key->Entries[entry]), value) ? TLookup::Found : TLookup::Unreadable;
}

void THive::Set(const std::string& path, const TRegValue& value) {
  AddKey(path);
  TKey& key = FKeys[FIndex.at(Lower(TrimKey(path)))];
  TEntry printed;
  printed.Own = PrintValue(value);
  printed.Owned = true;
  const size_t entry = FindEntry(key, value.Name);
  if (entry != kNoEntry) {
    key.Entries[entry] = std::move(printed);
    if (key.Repeats) {
      // The earlier lines of the name, which the later one hid, go: a name
      // is left with the one line that was set.
      std::string buffer;
      std::string_view name;
      std::vector<TEntry> kept;
      kept.reserve(key.Entries.size());
      for (size_t i = 0; i < key.Entries.size(); ++i)
        if (i == entry || !EntryName(key.Entries[i], buffer, name) || !NoCaseEqual(name, value.Name))
          kept.push_back(std::move(key.Entries[i]));
      const bool removed = kept.size() != key.Entries.size();
      key.Entries = std::move(kept);
      if (removed) {
        key.Indexed = false;
        key.Slots.clear();
        key.Used = 0;
        key.Repeats = false;
      }
    }
  } else {
    key.Entries.push_back(std::move(printed));
    Insert(key, value.Name, key.Entries.size() - 1);
  }
}

std::vector<TRegValue> THive::Values(const std::string& path) const {
  std::vector<TRegValue> values;
  const TKey* key = Find(path);
  if (!key) return values;
  TRegValue value;
  for (const TEntry& entry : key->Entries)
    if (DecodeValue(Text(entry), value)) values.push_back(value);
  return values;
}

std::string HivePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (config && *config) {
    folder = config;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/pelimar/HKEY_CURRENT_USER.reg";
}

namespace {

enum class TLoaded { Hive, NoHive, Unreadable };

// Reads the hive: a missing file is an empty hive; a file that is no
// registry export is NoHive; one that cannot be read (no permission, an
// input error) is Unreadable and must not be written over.
TLoaded LoadHive(const std::string& path, THive& hive) {
  hive = THive();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? TLoaded::Hive : TLoaded::Unreadable;
  std::string bytes;
  char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (n < 0) return TLoaded::Unreadable;
  return THive::Parse(bytes, hive) ? TLoaded::Hive : TLoaded::NoHive;
}

// The folder of a path, made with its parents where missing.
std::string MakeFolderOf(const std::string& path) {
  const std::string folder = FolderOf(path);
  for (size_t at = 1; (at = folder.find('/', at)) != std::string::npos; ++at)
    mkdir(folder.substr(0, at).c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  return folder;
}

// Writes the hive whole under a temporary name beside file, syncs it and
// renames it over file, keeping the mode file had.
bool StoreHive(const std::string& file, const THive& hive) {
  const std::string folder = MakeFolderOf(file);
  // Callers hold the hive's lock, so one fixed name serves; a writer that
  // was killed half-way leaves it behind and the next save reuses it.
  const std::string temporary = file + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
  bool ok = WriteWhole(fd, hive.Print());
  ok = ok && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temporary.c_str(), file.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  if (ok) {
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      ::close(dir);
    }
  }
  return ok;
}

}  // namespace

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
  CloseKey();
  FPath = HivePath();
  const bool readable = LoadHive(FPath, FHive) == TLoaded::Hive;
  if (!readable) {
    if (!canCreate) return false;
    FHive = THive();  // what is no hive is replaced at the next successful save
  }
  if (!FHive.HasKey(path)) {
    if (!canCreate) return false;
    FHive.AddKey(path);
  }
  FKey = path;
  return true;
}

void TRegistry::CloseKey() {
  FKey.clear();
}

bool TRegistry::ValueExists(const std::string& name) const {
  TRegValue value;
  return !FKey.empty() && FHive.Get(FKey, name, value) != THive::TLookup::Missing;
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
  TRegValue v;
  if (FKey.empty() || FHive.Get(FKey, name, v) != THive::TLookup::Found || v.Data.size() > 4)
    throw Exception("Failed to get data for '" + name + "'");
  if (v.Type != TRegType::Dword) throw Exception("Invalid data type for '" + name + "'");
  uint32_t n = 0;
  for (size_t i = 0; i < v.Data.size(); ++i) n |= static_cast<uint32_t>(v.Data[i]) << (8 * i);
  return static_cast<int32_t>(n);
}

std::string TRegistry::ReadString(const std::string& name) const {
  TRegValue v;
  if (FKey.empty() || FHive.Get(FKey, name, v) != THive::TLookup::Found)
    throw Exception("Failed to get data for '" + name + "'");
  if (v.Type != TRegType::Sz && v.Type != TRegType::ExpandSz)
    throw Exception("Invalid data type for '" + name + "'");
  std::string text(v.Data.begin(), v.Data.end());
  return text.substr(0, text.find('\0'));
}

TRegValue TRegistry::StringValue(const std::string& name, const std::string& value) {
  TRegValue entry;
  entry.Name = name;
  entry.Type = TRegType::Sz;
  entry.Data.assign(value.begin(), value.end());
  entry.Data.push_back(0);
  return entry;
}

TRegValue TRegistry::IntegerValue(const std::string& name, int32_t value) {
  TRegValue entry;
  entry.Name = name;
  entry.Type = TRegType::Dword;
  for (int i = 0; i < 4; ++i)
    entry.Data.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
  return entry;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  WriteValues({StringValue(name, value)});
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  WriteValues({IntegerValue(name, value)});
}

void TRegistry::WriteValues(const std::vector<TRegValue>& entries) {
  if (entries.empty()) return;
  const std::string& name = entries.front().Name;
  if (FKey.empty()) throw Exception("Failed to set data for '" + name + "'");
  // A link at the hive's name stays a link: the file it points to is the one written.
  const std::string file = FollowLinks(FPath);
  // Another instance may have saved meanwhile: take the hive afresh under the lock.
  MakeFolderOf(file);
  const int lock = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    if (lock >= 0) ::close(lock);
    throw Exception("Failed to set data for '" + name + "'");
  }
  THive current;
  const TLoaded loaded = LoadHive(file, current);
  if (loaded == TLoaded::Unreadable) {
    ::close(lock);
    throw Exception("Failed to set data for '" + name + "'");
  }
  if (loaded == TLoaded::NoHive) current = THive();  // what is no hive is replaced
  // Only a value that changes is set: the others keep their lines as they were.
  const std::string* changed = nullptr;
  for (const TRegValue& entry : entries) {
    TRegValue stored;
    if (current.Get(FKey, entry.Name, stored) == THive::TLookup::Found && stored.Type == entry.Type &&
        stored.Data == entry.Data)
      continue;
    current.Set(FKey, entry);
    if (!changed) changed = &entry.Name;
  }
  const bool ok = !changed || StoreHive(file, current);
  ::close(lock);
  if (!ok) throw Exception("Failed to set data for '" + *changed + "'");
  FHive = std::move(current);
}
