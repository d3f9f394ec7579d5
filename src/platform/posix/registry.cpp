#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/exception.h"

namespace {

constexpr const char* kRoot = "HKEY_CURRENT_USER";
constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string TrimKey(std::string path) {
  while (!path.empty() && path.front() == '\\') path.erase(path.begin());
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!digits.empty()) {
        if (digits.size() > 2) return false;
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
        digits.clear();
      }
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else {
      return false;
    }
  }
  if (!digits.empty()) {
    if (digits.size() > 2) return false;
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
  }
  return true;
}

// A quoted text from at (just after its opening quote); at ends after the closing one.
bool ParseQuoted(const std::string& line, size_t& at, std::string& text) {
  text.clear();
  for (; at < line.size(); ++at) {
    char c = line[at];
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

}  // namespace

bool THive::Parse(const std::string& text, THive& hive) {
  hive.Keys.clear();
  std::istringstream in(text);
  std::string line, pending;
  bool header = false;
  TKey* key = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!header) {
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
      if (line != kHeader) return false;
      header = true;
      continue;
    }
    // Long hex values go on over lines ending in a backslash.
    if (!pending.empty() ||
        (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos)) {
      std::string part = line;
      while (!part.empty() && (part.front() == ' ')) part.erase(part.begin());
      bool more = !part.empty() && part.back() == '\\';
      if (more) part.pop_back();
      pending += part;
      if (more) continue;
      line = pending;
      pending.clear();
    }
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      std::string path = line.substr(1, line.size() - 2);
      const std::string root = std::string(kRoot) + "\\";
      if (Lower(path).rfind(Lower(root), 0) != 0) return false;
      path = TrimKey(path.substr(root.size()));
      TKey& k = hive.Keys[Lower(path)];
      k.Path = path;
      key = &k;
      continue;
    }
    if (!key) return false;
    TRegValue value;
    size_t at = 0;
    if (line[0] == '@') {
      at = 1;
    } else if (line[0] == '"') {
      at = 1;
      if (!ParseQuoted(line, at, value.Name)) return false;
    } else {
      return false;
    }
    if (at >= line.size() || line[at] != '=') return false;
    std::string data = line.substr(at + 1);
    if (data.rfind("dword:", 0) == 0) {
      const std::string digits = data.substr(6);
      if (digits.size() != 8 || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c));
          }))
        return false;
      const uint32_t v = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
      value.Type = TRegType::Dword;
      for (int i = 0; i < 4; ++i) value.Data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    } else if (data.rfind("hex:", 0) == 0) {
      value.Type = TRegType::Binary;
      if (!ParseHexBytes(data.substr(4), value.Data)) return false;
    } else if (data.rfind("hex(", 0) == 0) {
      const size_t close = data.find("):");
      if (close == std::string::npos) return false;
      value.Type = static_cast<TRegType>(std::stoul(data.substr(4, close - 4), nullptr, 16));
      if (!ParseHexBytes(data.substr(close + 2), value.Data)) return false;
    } else if (!data.empty() && data[0] == '"') {
      size_t p = 1;
      std::string textValue;
      if (!ParseQuoted(data, p, textValue) || p != data.size()) return false;
      value.Type = TRegType::Sz;
      value.Data.assign(textValue.begin(), textValue.end());
      value.Data.push_back(0);
    } else {
      return false;
    }
    auto same = std::find_if(key->Values.begin(), key->Values.end(),
                             [&](const TRegValue& v) { return Lower(v.Name) == Lower(value.Name); });
    if (same != key->Values.end())
      *same = std::move(value);
    else
      key->Values.push_back(std::move(value));
  }
  return header && pending.empty();
}

std::string THive::Print() const {
  std::ostringstream out;
  out << kHeader << "\r\n";
  for (const auto& [lower, key] : Keys) {
    out << "\r\n[" << kRoot << "\\" << key.Path << "]\r\n";
    for (const TRegValue& v : key.Values) {
      out << (v.Name.empty() ? std::string("@") : Quote(v.Name)) << "=";
      char hex[16];
      if (v.Type == TRegType::Dword && v.Data.size() == 4) {
        uint32_t n =
            v.Data[0] | (v.Data[1] << 8) | (v.Data[2] << 16) | (static_cast<uint32_t>(v.Data[3]) << 24);
        std::snprintf(hex, sizeof hex, "dword:%08x", n);
        out << hex;
      } else if (v.Type == TRegType::Sz && !v.Data.empty() && v.Data.back() == 0 &&
                 std::find(v.Data.begin(), v.Data.end() - 1, 0) == v.Data.end() - 1) {
        out << Quote(std::string(v.Data.begin(), v.Data.end() - 1));
      } else {
        if (v.Type == TRegType::Binary) {
          out << "hex:";
        } else {
          std::snprintf(hex, sizeof hex, "hex(%x):", static_cast<unsigned>(v.Type));
          out << hex;
        }
        for (size_t i = 0; i < v.Data.size(); ++i) {
          std::snprintf(hex, sizeof hex, "%s%02x", i ? "," : "", v.Data[i]);
          out << hex;
        }
      }
      out << "\r\n";
    }
  }
  return out.str();
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

// Reads the hive; false when the file is there but unreadable or broken.
bool LoadHive(const std::string& path, THive& hive) {
  hive.Keys.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return access(path.c_str(), F_OK) != 0;  // no file yet: an empty hive
  std::stringstream text;
  text << in.rdbuf();
  return THive::Parse(text.str(), hive);
}

// The folder of a path, made with its parents where missing.
std::string MakeFolderOf(const std::string& path) {
  const std::string folder = path.substr(0, path.find_last_of('/'));
  for (size_t at = 1; (at = folder.find('/', at)) != std::string::npos; ++at)
    mkdir(folder.substr(0, at).c_str(), 0700);
  mkdir(folder.c_str(), 0700);
  return folder;
}

// Writes the hive whole under a temporary name, syncs it and renames it over.
bool StoreHive(const std::string& path, const THive& hive) {
  const std::string folder = MakeFolderOf(path);
  // Callers hold the hive's lock, so one fixed name serves; a writer that
  // was killed half-way leaves it behind and the next save reuses it.
  const std::string temporary = path + ".new";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = hive.Print();
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ok && fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(temporary.c_str());
  if (ok) {
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
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
  const bool readable = LoadHive(FPath, FHive);
  const std::string key = Lower(TrimKey(path));
  if (!readable) {
    if (!canCreate) return false;
    FHive.Keys.clear();  // a broken hive is replaced at the next successful save
  }
  if (FHive.Keys.count(key) == 0) {
    if (!canCreate) return false;
    FHive.Keys[key].Path = TrimKey(path);
  }
  FKey = key;
  return true;
}

void TRegistry::CloseKey() {
  FKey.clear();
}

const TRegValue* TRegistry::Find(const std::string& name) const {
  auto key = FHive.Keys.find(FKey);
  if (FKey.empty() || key == FHive.Keys.end()) return nullptr;
  for (const TRegValue& v : key->second.Values)
    if (Lower(v.Name) == Lower(name)) return &v;
  return nullptr;
}

bool TRegistry::ValueExists(const std::string& name) const {
  return Find(name) != nullptr;
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
  const TRegValue* v = Find(name);
  if (!v || v->Data.size() > 4) throw Exception("Failed to get data for '" + name + "'");
  if (v->Type != TRegType::Dword) throw Exception("Invalid data type for '" + name + "'");
  uint32_t n = 0;
  for (size_t i = 0; i < v->Data.size(); ++i) n |= static_cast<uint32_t>(v->Data[i]) << (8 * i);
  return static_cast<int32_t>(n);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  if (FKey.empty()) throw Exception("Failed to set data for '" + name + "'");
  // Another instance may have saved meanwhile: take the hive afresh under the lock.
  const std::string lockPath = FPath + ".lock";
  MakeFolderOf(FPath);
  int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock >= 0) flock(lock, LOCK_EX);
  THive current;
  if (!LoadHive(FPath, current)) current.Keys.clear();
  TRegValue entry;
  entry.Name = name;
  entry.Type = TRegType::Dword;
  for (int i = 0; i < 4; ++i)
    entry.Data.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
  THive::TKey& key = current.Keys[FKey];
  if (key.Path.empty()) key.Path = FHive.Keys[FKey].Path;
  auto same = std::find_if(key.Values.begin(), key.Values.end(),
                           [&](const TRegValue& v) { return Lower(v.Name) == Lower(name); });
  if (same != key.Values.end())
    *same = entry;
  else
    key.Values.push_back(entry);
  const bool ok = StoreHive(FPath, current);
  if (lock >= 0) ::close(lock);
  if (!ok) throw Exception("Failed to set data for '" + name + "'");
  FHive = std::move(current);
}
