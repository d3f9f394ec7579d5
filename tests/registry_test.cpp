#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/exception.h"
#include "platform/registry.h"
#include "test_support.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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
  const auto& values = hive.Keys["software\\quorvane\\sorvek"].Values;
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
