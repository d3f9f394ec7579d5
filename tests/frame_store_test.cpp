#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/exception.h"
#include "base/file.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "platform/recording_folder.h"
#include "test_support.h"

// Pictures go into the recording's folder under names that only grow; a
// file or link already at a name is passed by, never written, and a
// picture that cannot be written leaves nothing behind.
TEST(FrameStore, PicturesAreNewPrivateFilesOfTheRecording) {
  TTempFolder folder;
  TScopedEnv env("TMPDIR", folder.Path().c_str());
  std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, TRect(0, 0, 8, 8));
  const TBitmap picture(8, 8, pf24bit);
  EXPECT_EQ(StorePicture(*recording, picture, true), recording->Path() + "daw1.jpg");
  std::ofstream(recording->Path() + "daw2.bmp") << "x";
  ASSERT_EQ(symlink(folder.File("elsewhere").c_str(), (recording->Path() + "daw3.bmp").c_str()), 0);
  const std::string bmp = StorePicture(*recording, picture, false);
  EXPECT_EQ(bmp, recording->Path() + "daw4.bmp");
  EXPECT_EQ(LoadBmpFile(bmp).Width(), 8);
  EXPECT_FALSE(std::filesystem::exists(folder.File("elsewhere")));
  TFile planted(recording->Path() + "daw2.bmp", TFile::TMode::Read);
  EXPECT_EQ(planted.Size(), 1u);
  struct stat st {};
  ASSERT_EQ(stat(bmp.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  {
    TFileSizeLimit full(100);
    EXPECT_THROW(StorePicture(*recording, picture, false), Exception);
  }
  EXPECT_FALSE(std::filesystem::exists(recording->Path() + "daw5.bmp"));
  recording->Remove();
}
