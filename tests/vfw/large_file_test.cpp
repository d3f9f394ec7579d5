// A real file past 4 GiB: uncompressed 1920 x 1080 x 32 frames across
// several RIFFs, read by ffprobe and by our reader.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstring>
#include <string>
#include <vector>

#include "image/bitmap.h"
#include "test_support.h"
#include "vfw/vfw.h"

TEST(LargeFile, PastFourGiBEveryFrameIsFound) {
  TTempFolder folder;
  struct statvfs disk {};
  ASSERT_EQ(statvfs(folder.Path().c_str(), &disk), 0);
  const uint64_t free = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  if (free < (uint64_t{6} << 30)) GTEST_SKIP() << "needs 6 GiB of free disk, has " << (free >> 20) << " MiB";

  const int32_t width = 1920, height = 1080;
  const int frames = 520;  // 520 x 8,294,400 bytes: about 4.3 GB
  const std::string path = folder.File("large.avi");
  AVIFileInit();
  PAVIFILE file = nullptr;
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_WRITE | OF_CREATE, nullptr), AVIERR_OK);
  AVISTREAMINFOA info{};
  info.fccType = streamtypeVIDEO;
  info.dwScale = 50;
  info.dwRate = 1000;
  PAVISTREAM stream = nullptr;
  ASSERT_EQ(AVIFileCreateStreamA(file, &stream, &info), AVIERR_OK);
  const std::vector<uint8_t> format = TBitmap(width, height, pf32bit).DibHeader();
  ASSERT_EQ(AVIStreamSetFormat(stream, 0, format.data(), 40), AVIERR_OK);
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4, 0x40);
  for (int i = 0; i < frames; ++i) {
    std::memcpy(frame.data(), &i, sizeof i);  // each frame knows its number
    ASSERT_EQ(AVIStreamWrite(stream, i, 1, frame.data(), static_cast<LONG>(frame.size()), AVIIF_KEYFRAME,
                             nullptr, nullptr),
              AVIERR_OK);
  }
  AVIStreamRelease(stream);
  ASSERT_EQ(AVIFileRelease(file), 0);

  EXPECT_EQ(RunCommand("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                       "stream=nb_frames,nb_read_packets -of csv=p=0 '" +
                       path + "'"),
            "520,520\n");
  ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_READ, nullptr), AVIERR_OK);
  ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeVIDEO, 0), AVIERR_OK);
  ASSERT_EQ(AVIStreamLength(stream), frames);
  for (int i : {0, 129, 130, 258, 259, 519}) {
    LONG bytes = 0;
    ASSERT_EQ(AVIStreamRead(stream, i, 1, frame.data(), static_cast<LONG>(frame.size()), &bytes, nullptr),
              AVIERR_OK);
    int number = -1;
    std::memcpy(&number, frame.data(), sizeof number);
    EXPECT_EQ(number, i);
    EXPECT_EQ(bytes, width * height * 4);
  }
  AVIStreamRelease(stream);
  AVIFileRelease(file);
  AVIFileExit();
}
