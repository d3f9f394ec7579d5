#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <set>

#include "base/exception.h"
#include "base/file.h"
#include "platform/temp_files.h"
#include "test_support.h"

TEST(TempFiles, TempPathComesFromTmpdirWithASlash) {
  {
    TScopedEnv env("TMPDIR", "/var/tmp/x");
    EXPECT_EQ(GetTempPath(), "/var/tmp/x/");
  }
  {
    TScopedEnv env("TMPDIR", "/var/tmp/x/");
    EXPECT_EQ(GetTempPath(), "/var/tmp/x/");
  }
  {
    TScopedEnv env("TMPDIR", "");
    EXPECT_EQ(GetTempPath(), "/tmp/");
  }
  {
    TScopedEnv env("TMPDIR", nullptr);
    EXPECT_EQ(GetTempPath(), "/tmp/");
  }
}

TEST(TempFiles, NamesAreCreatedEmptyAndNeverRepeat) {
  TTempFolder folder;
  const std::regex pattern(folder.Path() + "daw[0-9A-F]{1,4}\\.tmp");
  std::set<std::string> names;
  for (int i = 0; i < 300; ++i) {
    std::string name = GetTempFileName(folder.Path(), "dawson", 0);
    ASSERT_TRUE(std::regex_match(name, pattern)) << name;
    ASSERT_TRUE(names.insert(name).second) << "repeated " << name;
    TFile file(name, TFile::TMode::Read);
    EXPECT_EQ(file.Size(), 0u);
  }
  // With a number given, the name is formed from its low 16 bits and
  // nothing is created (a number that none of the 300 names took).
  unsigned number = 0x2345;
  char expected[16];
  do {
    std::snprintf(expected, sizeof expected, "daw%X.tmp", ++number & 0xFFFF);
  } while (names.count(folder.Path() + expected));
  EXPECT_EQ(GetTempFileName(folder.Path(), "daw", 0x10000 + number), folder.Path() + expected);
  EXPECT_FALSE(FileExists(folder.Path() + expected));
}

TEST(TempFiles, FailuresSayWhere) {
  try {
    GetTempFileName("/nonexistent-folder/", "daw", 0);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("/nonexistent-folder/"), std::string::npos) << e.Message();
  }
}

TEST(TempFiles, AFolderWithEveryNameTakenIsReported) {
  TTempFolder folder;
  for (unsigned n = 1; n <= 0xFFFF; ++n) {
    int fd = ::open(GetTempFileName(folder.Path(), "daw", n).c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  try {
    GetTempFileName(folder.Path(), "daw", 0);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find("No free temporary file name"), std::string::npos) << e.Message();
  }
}
