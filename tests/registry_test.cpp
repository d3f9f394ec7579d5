#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/exception.h"
#include "platform/registry.h"
#include "test_support.h"

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : Config("XDG_CONFIG_HOME", Folder.Path().c_str()) {}
  void WriteHive(const std::string& text) {
    std::string folder = Folder.File("pelimar");
    std::filesystem::create_directories(folder);
    std::ofstream(HivePath(), std::ios::binary) << text;
  }
  TTempFolder Folder;
  TScopedEnv Config;
};

}  // namespace

TEST_F(RegistryTest, ValuesGoToTheHiveFileAndComeBack) {
  EXPECT_EQ(HivePath(), Folder.File("pelimar/HKEY_CURRENT_USER.reg"));
  TRegistry registry;
  EXPECT_FALSE(registry.OpenKey("software\\quorvane\\Sorvek", false));  // first run: no key
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
  registry.WriteInteger("FPS", 8);
  registry.WriteInteger("Compression", -1);
  registry.CloseKey();
  const std::string text = ReadText(HivePath());
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"FPS\"=dword:00000008"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Compression\"=dword:ffffffff"), std::string::npos) << text;
  // Names compare without regard to letter case.
  ASSERT_TRUE(registry.OpenKey("\\SOFTWARE\\Quorvane\\sorvek", false));
  EXPECT_TRUE(registry.ValueExists("fps"));
  EXPECT_EQ(registry.ReadInteger("Fps"), 8);
  EXPECT_EQ(registry.ReadInteger("COMPRESSION"), -1);
  EXPECT_FALSE(registry.ValueExists("ShowArea"));
  EXPECT_EQ(Message([&] { registry.ReadInteger("ShowArea"); }), "Failed to get data for 'ShowArea'");
}

TEST_F(RegistryTest, ValuesOfOtherTypesAreRefusedAsIntegers) {
  WriteHive(
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\r\n"
      "\"Short\"=\"8\"\r\n\"Long\"=\"a longer text\"\r\n\"Quad\"=hex(b):08,00,00,00,00,00,00,00\r\n"
      "\"Two\"=hex:01,\\\r\n  02\r\n@=\"default \\\"quoted\\\" \\\\ text\"\r\n");
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
  EXPECT_EQ(Message([&] { registry.ReadInteger("Short"); }), "Invalid data type for 'Short'");
  EXPECT_EQ(Message([&] { registry.ReadInteger("Long"); }), "Failed to get data for 'Long'");
  EXPECT_EQ(Message([&] { registry.ReadInteger("Quad"); }), "Failed to get data for 'Quad'");
  EXPECT_EQ(Message([&] { registry.ReadInteger("Two"); }), "Invalid data type for 'Two'");
  // Every value survives a save of another one, as it was.
  registry.WriteInteger("FPS", 20);
  THive hive;
  ASSERT_TRUE(THive::Parse(ReadText(HivePath()), hive));
  const std::vector<TRegValue> values = hive.Values("software\\quorvane\\sorvek");
  ASSERT_EQ(values.size(), 6u);
  EXPECT_EQ(values[3].Data, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(std::string(values[4].Data.begin(), values[4].Data.end() - 1), "default \"quoted\" \\ text");
}

TEST_F(RegistryTest, ABrokenHiveIsAKeyThatCannotBeOpenedUntilTheNextSave) {
  for (const std::string& broken :
       {std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software"),
        std::string("\x01\x02 garbage \xff"), std::string("")}) {
    WriteHive(broken);
    TRegistry registry;
    EXPECT_FALSE(registry.OpenKey("software\\quorvane\\Sorvek", false));
    EXPECT_EQ(ReadText(HivePath()), broken);  // left as it is
    ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
    registry.WriteInteger("FPS", 8);
    ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
    EXPECT_EQ(registry.ReadInteger("FPS"), 8);
  }
}

TEST_F(RegistryTest, AFailedSaveLeavesTheEarlierHiveIntact) {
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
  registry.WriteInteger("FPS", 8);
  const std::string before = ReadText(HivePath());
  {
    TFileSizeLimit full(10);  // the disk fills up while the new hive is written
    EXPECT_EQ(Message([&] { registry.WriteInteger("VideoSize", 2); }), "Failed to set data for 'VideoSize'");
  }
  EXPECT_EQ(ReadText(HivePath()), before);
  TScopedEnv nowhere("XDG_CONFIG_HOME", "/dev/null/cannot");
  TRegistry elsewhere;
  ASSERT_TRUE(elsewhere.OpenKey("software\\quorvane\\Sorvek", true));
  EXPECT_EQ(Message([&] { elsewhere.WriteInteger("FPS", 1); }), "Failed to set data for 'FPS'");
}

TEST_F(RegistryTest, AWriterKilledWhileSavingLeavesAWholeHive) {
  const char* names[] = {"IncludeCursor", "UseJpegFormat", "FPS",     "VideoSize",
                         "PixelFormat",   "Compression",   "ShowArea"};
  {
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
    for (const char* name : names) registry.WriteInteger(name, 1);
  }
  // Kill a process that saves the seven values over and over, at moments
  // that fall all over its writes; every time the hive must still read.
  for (int round = 0; round < 40; ++round) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TRegistry registry;
      if (!registry.OpenKey("software\\quorvane\\Sorvek", true)) _exit(1);
      for (int32_t value = 2;; ++value)
        for (const char* name : names) registry.WriteInteger(name, value);
    }
    usleep(static_cast<useconds_t>(500 + (round * 7919) % 20000));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself";
    TRegistry registry;
    ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false)) << ReadText(HivePath());
    for (const char* name : names) EXPECT_GE(registry.ReadInteger(name), 1) << name;
  }
}

namespace {

// The text as regedit writes it: UTF-16LE with its byte-order mark.
std::string Utf16(const std::string& utf8) {
  TTempFolder folder;
  std::ofstream(folder.File("in"), std::ios::binary) << utf8;
  return "\xFF\xFE" + RunCommand("iconv -f UTF-8 -t UTF-16LE " + folder.File("in"));
}

// The lines of a UTF-16LE file after its mark, blank ones left out.
std::vector<std::string> Utf16Lines(const std::string& path) {
  std::istringstream text(RunCommand("tail -c +3 '" + path + "' | iconv -f UTF-16LE -t UTF-8"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);)
    if (line != "\r" && !line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

// What regedit exports: read where it can be, and everything that is not
// changed written back as it was, in its encoding.
TEST_F(RegistryTest, ExportsOfRegeditAreReadAndKeptAsTheyWere) {
  const std::string original =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "; exported by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\r\n\"Kept\"=dword:00000001\r\n\r\n"
      "[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\r\n"
      "\"IncludeCursor\"=dword:00000001\r\n"
      "\"Name\"=\"\xC3\x84rlig r\xC3\xA4v \xF0\x9D\x84\x9E\"\r\n"
      "\"Quad\"=hex(b):08,00,00,00,00,00,00,00\r\n"
      "\"Expand\"=hex(2):25,00,54,00,\\\r\n  4d,00,50,00,25,00,00,00\r\n"
      "\"Odd\"=hex(100):01,02\r\n"
      "\"FPS\"=hex(zz):08,00,00,00\r\n"
      "\"VideoSize\"=dword:123456789\r\n"
      "this is no value\r\n"
      "\"Twice\"=dword:00000001\r\n\"TWICE\"=dword:00000002\r\n\r\n";
  WriteHive(Utf16(original));
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
  EXPECT_EQ(registry.ReadInteger("IncludeCursor"), 1);
  EXPECT_EQ(registry.ReadInteger("twice"), 2);  // the last one counts
  for (const char* unreadable : {"FPS", "VideoSize", "Quad"})
    EXPECT_EQ(Message([&] { registry.ReadInteger(unreadable); }),
              std::string("Failed to get data for '") + unreadable + "'");
  EXPECT_EQ(Message([&] { registry.ReadInteger("Odd"); }), "Invalid data type for 'Odd'");
  EXPECT_TRUE(registry.ValueExists("FPS"));
  THive hive;
  ASSERT_TRUE(THive::Parse(ReadText(HivePath()), hive));
  EXPECT_EQ(hive.Encoding(), THive::TEncoding::Utf16LeBom);
  TRegValue value;
  ASSERT_EQ(hive.Get("software\\quorvane\\sorvek", "name", value), THive::TLookup::Found);
  EXPECT_EQ(std::string(value.Data.begin(), value.Data.end() - 1), "\xC3\x84rlig r\xC3\xA4v \xF0\x9D\x84\x9E");
  ASSERT_EQ(hive.Get("software\\quorvane\\sorvek", "Expand", value), THive::TLookup::Found);
  EXPECT_EQ(value.Type, TRegType::ExpandSz);
  EXPECT_EQ(value.Data.size(), 12u);

  // Saving a value replaces its line alone; a new one goes to the key's end.
  const std::vector<std::string> before = Utf16Lines(HivePath());
  registry.WriteInteger("FPS", 8);
  registry.WriteInteger("ShowArea", 1);
  std::vector<std::string> expected = before;
  for (std::string& line : expected)
    if (line.rfind("\"FPS\"", 0) == 0) line = "\"FPS\"=dword:00000008\r";
  expected.push_back("\"ShowArea\"=dword:00000001\r");
  EXPECT_EQ(Utf16Lines(HivePath()), expected);
  EXPECT_EQ(ReadText(HivePath()).substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(registry.ReadInteger("FPS"), 8);
  // The same value again changes nothing on the disk.
  const std::string saved = ReadText(HivePath());
  registry.WriteInteger("FPS", 8);
  EXPECT_EQ(ReadText(HivePath()), saved);
}

// Values cut short, continued oddly, or deleted the regedit way; and a hive
// that cannot be read is never written over.
TEST_F(RegistryTest, HexValuesEndWhereTheyShouldAndUnreadableFilesStay) {
  WriteHive(
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\k]\n"
      "\"Spaced\" = hex:01,02,\\\n  03,04\n\"Split\"=hex:0 1,02\n\"Gone\"=-\n\"Open\"=hex:01,\\\n"
      "[HKEY_CURRENT_USER\\next]\n\"Cut\"=hex:01,02,\\");
  THive hive;
  ASSERT_TRUE(THive::Parse(ReadText(HivePath()), hive));
  TRegValue value;
  ASSERT_EQ(hive.Get("k", "Spaced", value), THive::TLookup::Found);
  EXPECT_EQ(value.Data, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(hive.Get("k", "Split", value), THive::TLookup::Unreadable);
  EXPECT_EQ(hive.Get("k", "Gone", value), THive::TLookup::Missing);
  EXPECT_EQ(hive.Get("k", "Open", value), THive::TLookup::Unreadable);
  EXPECT_EQ(hive.Get("next", "Cut", value), THive::TLookup::Unreadable);

  std::filesystem::remove(HivePath());
  std::filesystem::create_directories(HivePath());  // there, but no file to read
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
  EXPECT_EQ(Message([&] { registry.WriteInteger("FPS", 8); }), "Failed to set data for 'FPS'");
  EXPECT_TRUE(std::filesystem::is_directory(HivePath()));
}

TEST_F(RegistryTest, Regedit4FilesAndHivesReachedThroughALinkAreKeptSo) {
  TTempFolder elsewhere;
  const std::string real = elsewhere.File("settings.reg");
  std::ofstream(real, std::ios::binary)
      << "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\n\"FPS\"=dword:0000000c\n";
  chmod(real.c_str(), 0640);
  std::filesystem::create_directories(Folder.File("pelimar"));
  std::filesystem::create_symlink(real, HivePath());
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
  EXPECT_EQ(registry.ReadInteger("FPS"), 12);
  registry.WriteInteger("ShowArea", 0);
  EXPECT_TRUE(std::filesystem::is_symlink(HivePath()));
  EXPECT_EQ(ReadText(real), "REGEDIT4\n\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\n\"FPS\"=dword:0000000c\n"
                            "\"ShowArea\"=dword:00000000\n");
  EXPECT_EQ(std::filesystem::status(real).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
  // A link to a file not there yet: the file is made where it points.
  std::filesystem::remove(real);
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", true));
  registry.WriteInteger("FPS", 3);
  EXPECT_TRUE(std::filesystem::is_symlink(HivePath()));
  EXPECT_NE(ReadText(real).find("\"FPS\"=dword:00000003"), std::string::npos);
}

// A key of 1.8 million values in a 50 MB file reads and saves (a search
// for names that repeat, made quadratic, never ends here).
TEST_F(RegistryTest, AKeyOfMillionsOfValuesIsReadAndSaved) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\r\n";
  char line[64];
  for (int i = 0; i < 1800000; ++i) {
    std::snprintf(line, sizeof line, "\"Value%07d\"=dword:%08x\r\n", i, i);
    text += line;
  }
  text += "\"FPS\"=dword:00000005\r\n";
  ASSERT_GT(text.size(), 50'000'000u);
  WriteHive(text);
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
  EXPECT_EQ(registry.ReadInteger("FPS"), 5);
  EXPECT_EQ(registry.ReadInteger("value1234567"), 1234567);
  registry.WriteInteger("FPS", 6);
  const std::string saved = ReadText(HivePath());
  EXPECT_EQ(saved.size(), text.size());
  EXPECT_TRUE(saved.ends_with("\r\n\"FPS\"=dword:00000006\r\n"));
}

// A file cut short after a line that goes on (its last value's backslash),
// as an editor's slip or a full disk leaves it: the values the program
// writes after it are read back as values of their own, close after close,
// and no name ever holds two lines.
TEST_F(RegistryTest, ValuesWrittenAfterALineThatGoesOnAreTheirOwn) {
  const std::string key = "software\\quorvane\\Sorvek";
  for (const char* end : {"", "\n", "\n\n", "\n  \n\"Other\"=dword:00000002\n"}) {
    WriteHive(std::string("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\") + key +
              "]\n\"fps\"=dword:00000001\n\"FPS\"=dword:00000002\n\"Blob\"=hex:01,02,\\" + end);
    for (int close = 0; close < 3; ++close) {
      TRegistry registry;
      ASSERT_TRUE(registry.OpenKey(key, false)) << ReadText(HivePath());
      if (close > 0) {
        EXPECT_EQ(registry.ReadInteger("FPS"), 7) << ReadText(HivePath());
      }
      registry.WriteValues({TRegistry::IntegerValue("FPS", 7), TRegistry::IntegerValue("ShowArea", 1)});
      EXPECT_EQ(registry.ReadInteger("ShowArea"), 1);
    }
    std::istringstream lines(ReadText(HivePath()));
    int fps = 0;
    for (std::string line; std::getline(lines, line);) fps += strncasecmp(line.c_str(), "\"fps\"", 5) == 0;
    EXPECT_EQ(fps, 1) << ReadText(HivePath());
    THive hive;
    ASSERT_TRUE(THive::Parse(ReadText(HivePath()), hive));
    TRegValue value;
    EXPECT_EQ(hive.Get(key, "Blob", value), THive::TLookup::Unreadable);
    if (std::string(end).find("Other") != std::string::npos) {
      EXPECT_EQ(hive.Get(key, "Other", value), THive::TLookup::Found) << ReadText(HivePath());
    }
  }
}

// Names made to meet in an index hashed by plain FNV-1a (the same lowest
// 20 bits, which is all an index of up to a million slots looks at), and a
// UTF-16 file with one byte too many at its end.
TEST_F(RegistryTest, NamesMadeToMeetInTheIndexAndAnOddLastByte) {
  const uint64_t prime = 1099511628211ull, mask = (1u << 20) - 1;
  uint64_t state = 14695981039346656037ull;
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<std::pair<std::string, std::string>> pairs;  // blocks that lead to the same low bits
  for (int position = 0; position < 16; ++position) {
    std::unordered_map<uint64_t, std::string> reached;
    for (size_t block = 0; pairs.size() == static_cast<size_t>(position); ++block) {
      std::string text;
      uint64_t h = state;
      for (size_t n = block, k = 0; k < 3; ++k, n /= letters.size()) {
        text += letters[n % letters.size()];
        h = (h ^ static_cast<uint8_t>(text.back())) * prime;
      }
      auto [met, fresh] = reached.emplace(h & mask, text);
      if (!fresh) {
        pairs.emplace_back(met->second, text);
        state = h;  // only the low bits matter from here on, and they are the same
      }
    }
  }
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\software\\quorvane\\Sorvek]\n";
  std::unordered_set<uint64_t> slots;
  for (uint32_t choice = 0; choice < (1u << 16); ++choice) {
    std::string name;
    for (int position = 0; position < 16; ++position)
      name += choice >> position & 1 ? pairs[position].second : pairs[position].first;
    slots.insert(THive::NameHash(name) & mask);
    text += "\"" + name + "\"=dword:00000001\n";
  }
  // 65,536 names in a million slots: about 63,500 different ones by chance.
  EXPECT_GT(slots.size(), 60000u);
  EXPECT_EQ(THive::NameHash("ShowArea"), THive::NameHash("SHOWAREA"));
  WriteHive(text + "\"FPS\"=dword:00000005\n");
  TRegistry registry;
  ASSERT_TRUE(registry.OpenKey("software\\quorvane\\Sorvek", false));
  EXPECT_EQ(registry.ReadInteger("fps"), 5);

  const std::string odd = Utf16("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\k]\r\n") + "!";
  WriteHive(odd);
  ASSERT_TRUE(registry.OpenKey("k", false));
  registry.WriteInteger("FPS", 6);
  const std::string saved = ReadText(HivePath());
  EXPECT_TRUE(saved.ends_with(Utf16("\"FPS\"=dword:00000006\r\n").substr(2) + "!")) << saved.size();
  EXPECT_EQ(saved.substr(0, odd.size() - 1), odd.substr(0, odd.size() - 1));
}
