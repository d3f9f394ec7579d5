#include <gtest/gtest.h>

#include <regex>

#include "Api_Funcs.h"
#include "base/file.h"
#include "test_support.h"

TEST(ApiFuncs, TempDirIsTrimmedAndEndsInASlash) {
  {
    TScopedEnv env("TMPDIR", " \t/var/tmp/pelimar");
    EXPECT_EQ(GetTempDir(), "/var/tmp/pelimar/");
  }
  {
    TScopedEnv env("TMPDIR", "\n/var/tmp/pelimar/");
    EXPECT_EQ(GetTempDir(), "/var/tmp/pelimar/");
  }
}

TEST(ApiFuncs, TempFileIsANewDawFileInTheTempDir) {
  TTempFolder folder;
  TScopedEnv env("TMPDIR", folder.Path().c_str());
  std::string first = GetTempFile(), second = GetTempFile();
  const std::regex pattern(folder.Path() + "daw[0-9A-F]{1,4}\\.tmp");
  EXPECT_TRUE(std::regex_match(first, pattern)) << first;
  EXPECT_NE(first, second);
  EXPECT_TRUE(FileExists(first));
  EXPECT_TRUE(FileExists(second));
}
