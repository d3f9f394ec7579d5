#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The program with its file version fields set to ms and ls.
std::string ProgramWithVersion(const TTempFolder& folder, uint32_t ms, uint32_t ls) {
  std::string bytes = ReadAll(PELIMAR_EXE);
  const size_t at = bytes.find(std::string("\xbd\x04\xef\xfe\x00\x00\x01\x00", 8));
  if (at == std::string::npos) return "";
  for (int i = 0; i < 4; ++i) {
    bytes[at + 8 + static_cast<size_t>(i)] = static_cast<char>(ms >> (8 * i));
    bytes[at + 12 + static_cast<size_t>(i)] = static_cast<char>(ls >> (8 * i));
  }
  const std::string path = folder.File("pelimar-" + std::to_string(ms) + "-" + std::to_string(ls));
  WriteAll(path, bytes);
  return path;
}

}  // namespace

TEST(ApiFuncs, TheProgramCarriesItsFileVersion) {
  EXPECT_EQ(GetFileVersionText(PELIMAR_EXE), "1.6.0.201");
  TTempFolder folder;
  const std::pair<std::pair<uint32_t, uint32_t>, const char*> versions[] = {
      {{0x00010000, 0x00000000}, "1.0.0.0"},
      {{0xFFFF0000, 0x000CFFFF}, "65535.0.12.65535"},
  };
  for (const auto& [fields, text] : versions) {
    const std::string path = ProgramWithVersion(folder, fields.first, fields.second);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(GetFileVersionText(path), text);
  }
}

TEST(ApiFuncs, AFileWithoutAVersionLeavesTheRecordAlone) {
  TTempFolder folder;
  const std::string program = ReadAll(PELIMAR_EXE);
  const size_t signature = program.find(std::string("\xbd\x04\xef\xfe\x00\x00\x01\x00", 8));
  ASSERT_NE(signature, std::string::npos);
  std::string wrongSignature = program;
  wrongSignature[signature] = 'X';
  WriteAll(folder.File("wrong-signature"), wrongSignature);
  WriteAll(folder.File("cut-short"), program.substr(0, program.size() / 2));
  WriteAll(folder.File("garbage"), std::string("\x7f"
                                               "ELF\x02\x01\x01 and then nothing that makes sense",
                                               40));
  WriteAll(folder.File("empty"), "");
  for (const std::string& path :
       {std::string("/bin/true"), folder.File("wrong-signature"), folder.File("cut-short"),
        folder.File("garbage"), folder.File("empty"), folder.File("missing")}) {
    VS_FIXEDFILEINFO record;
    std::memset(&record, 0xAB, sizeof record);
    ReadFixedFileInfo(path, record);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof record, [](uint8_t b) { return b == 0xAB; })) << path;
  }
  // Only the first eleven fields are copied from a file that has them.
  VS_FIXEDFILEINFO record;
  std::memset(&record, 0xAB, sizeof record);
  ReadFixedFileInfo(PELIMAR_EXE, record);
  EXPECT_EQ(record.dwSignature, kFixedFileInfoSignature);
  EXPECT_EQ(record.dwFileType, 1u);
  EXPECT_EQ(record.dwFileDateMS, 0xABABABABu);
  EXPECT_EQ(record.dwFileDateLS, 0xABABABABu);
}

// The command line: the version from the executable's own record, the
// help, and a clear refusal of what it does not know; none needs a screen.
TEST(CommandLine, VersionHelpAndUnknownOptions) {
  TTempFolder folder;
  auto run = [&](const std::string& arguments, std::string& out, std::string& err) {
    const int status = std::system(("env -u DISPLAY -u WAYLAND_DISPLAY '" + std::string(PELIMAR_EXE) + "' " +
                                    arguments + " >'" + folder.File("out") + "' 2>'" + folder.File("err") + "'")
                                       .c_str());
    out = ReadAll(folder.File("out"));
    err = ReadAll(folder.File("err"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out, err;
  EXPECT_EQ(run("--version", out, err), 0);
  EXPECT_EQ(out, "Pelimar 1.6.0.201\n");
  EXPECT_EQ(run("-platform offscreen --help", out, err), 0);
  EXPECT_NE(out.find("--version"), std::string::npos);
  EXPECT_EQ(run("--record-now", out, err), 2);
  EXPECT_EQ(err, "pelimar: unknown option '--record-now'\nTry 'pelimar --help' for the options.\n");
  EXPECT_EQ(run("video.avi", out, err), 2);
  EXPECT_EQ(err.rfind("pelimar: unexpected argument 'video.avi'", 0), 0u);
}
