#include <gtest/gtest.h>

#include <fstream>

#include "base/exception.h"
#include "base/file.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "test_support.h"

TEST(FrameStore, ExtensionsAreReplacedOnlyInTheFileName) {
  EXPECT_EQ(ChangeFileExt("/tmp/daw1A.tmp", ".jpg"), "/tmp/daw1A.jpg");
  EXPECT_EQ(ChangeFileExt("/tmp/a.b/daw", ".bmp"), "/tmp/a.b/daw.bmp");
  EXPECT_EQ(ChangeFileExt("daw", ".jpg"), "daw.jpg");
}

TEST(FrameStore, APictureNeverReplacesAnotherFile) {
  TTempFolder folder;
  TScopedEnv env("TMPDIR", folder.Path().c_str());
  // Every final name but one is taken already, by files that must survive.
  char name[32];
  for (unsigned n = 1; n <= 0xFFFF; ++n) {
    if (n == 0xABC) continue;
    std::snprintf(name, sizeof name, "daw%X.jpg", n);
    std::ofstream(folder.File(name)) << "x";
  }
  TBitmap picture(8, 8, pf24bit);
  EXPECT_EQ(StorePicture(picture, true), folder.File("dawABC.jpg"));
  EXPECT_EQ(LoadJpegFile(folder.File("dawABC.jpg")).Width(), 8);
  TFile other(folder.File("daw1.jpg"), TFile::TMode::Read);
  EXPECT_EQ(other.Size(), 1u);
  // With no name left the picture is refused with a clear message, and
  // no reserved name is left behind.
  EXPECT_THROW(StorePicture(picture, true), Exception);
  EXPECT_FALSE(FileExists(folder.File("dawABC.tmp")));
  // BMP names are their own.
  std::string bmp = StorePicture(picture, false);
  EXPECT_EQ(bmp.substr(bmp.size() - 4), ".bmp");
}
