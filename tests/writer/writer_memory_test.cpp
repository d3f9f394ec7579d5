// 2000 pictures of 1920 x 1080 through the writer: memory stays flat.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include "sample_pictures.h"
#include "test_support.h"
#include "writer/AviFileWriter.h"

TEST(WriterMemory, TwoThousandFullHdPicturesKeepThePeakWithin64MiB) {
  TTempFolder folder;
  struct statvfs disk{};
  ASSERT_EQ(statvfs(folder.Path().c_str(), &disk), 0);
  const uint64_t free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  if (free < (uint64_t{3} << 30)) GTEST_SKIP() << "needs 3 GiB of free disk, has " << (free >> 20) << " MiB";
  TScopedEnv tmp("TMPDIR", folder.Path().c_str());
  TScopedEnv display("DISPLAY", nullptr);  // the writer's size is set below
  TAviFileWriter writer;
  writer.SetWidth(1920);
  writer.SetHeight(1080);
  writer.SetFrameTime(50);
  writer.SetPixelFormat(pf32bit);
  writer.SetCompression("MJPG");
  writer.Setfilename(folder.File("long.avi"));
  TBitmap picture = ScreenLikePicture(1920, 1080, pf32bit);
  writer.InitVideo();
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  for (int i = 0; i < 2000; ++i) {
    picture.FillRect(TRect(i % 1900, 500, i % 1900 + 20, 520),
                     RGBQUAD{0, 0, 255, 0});  // every picture differs
    writer.AddFrame(picture);
  }
  writer.FinalizeVideo();
  writer.WriteAvi();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  RecordProperty("peak_growth_kib", static_cast<int>(after.ru_maxrss - before.ru_maxrss));
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB more at the peak";
  EXPECT_EQ(RunCommand("ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames -of csv=p=0 '" +
                       folder.File("long.avi") + "'"),
            "2000\n");
}
