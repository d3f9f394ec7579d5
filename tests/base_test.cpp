#include <gtest/gtest.h>

#include "base/exception.h"
#include "base/types.h"

TEST(ErrorBoxText, AddsFullStopOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(ErrorBoxText("Pixelformat not supported"), "Pixelformat not supported.");
  EXPECT_EQ(ErrorBoxText("Video must be initialized."), "Video must be initialized.");
  EXPECT_EQ(ErrorBoxText(""), "");
  // "!", ")", "-" and "," sort before "."; digits, "/" and letters after it.
  EXPECT_EQ(ErrorBoxText("Stop!"), "Stop!");
  EXPECT_EQ(ErrorBoxText("(line 3)"), "(line 3)");
  EXPECT_EQ(ErrorBoxText("a -"), "a -");
  EXPECT_EQ(ErrorBoxText("Err: $8004406F"), "Err: $8004406F.");
  EXPECT_EQ(ErrorBoxText("path/"), "path/.");
  EXPECT_EQ(ErrorBoxText("Err: 5"), "Err: 5.");
  EXPECT_EQ(ErrorBoxText("Fel på fil ö"), "Fel på fil ö.");
}

TEST(PixelFormatBits, GivesTheDepthOfEveryFormatThatHasOne) {
  EXPECT_EQ(PixelFormatBits(pf1bit), 1);
  EXPECT_EQ(PixelFormatBits(pf4bit), 4);
  EXPECT_EQ(PixelFormatBits(pf8bit), 8);
  EXPECT_EQ(PixelFormatBits(pf15bit), 16);
  EXPECT_EQ(PixelFormatBits(pf16bit), 16);
  EXPECT_EQ(PixelFormatBits(pf24bit), 24);
  EXPECT_EQ(PixelFormatBits(pf32bit), 32);
  EXPECT_THROW(PixelFormatBits(pfDevice), Exception);
  EXPECT_THROW(PixelFormatBits(pfCustom), Exception);
  EXPECT_THROW(PixelFormatBits(static_cast<TPixelFormat>(42)), Exception);
  EXPECT_EQ(static_cast<int>(pfCustom), 8);
}

TEST(EAssertionFailed, NamesTextFileAndLine) {
  try {
    Assert(false, "FileOpen failed. Err: $8004406F");
    FAIL() << "no exception";
  } catch (const EAssertionFailed& e) {
    const std::string expected = std::string("FileOpen failed. Err: $8004406F (") + __FILE__ + ", line ";
    EXPECT_EQ(e.Message().substr(0, expected.size()), expected);
    EXPECT_EQ(e.Message().back(), ')');
  }
  EXPECT_NO_THROW(Assert(true, "never"));
}

TEST(TRect, SizesDoNotOverflowAndAreNotNormalised) {
  TRect r(100, 50, 420, 290);
  EXPECT_EQ(r.Width(), 320);
  EXPECT_EQ(r.Height(), 240);
  TRect reversed(10, 10, 5, 2);
  EXPECT_EQ(reversed.Width(), -5);
  EXPECT_EQ(reversed.Height(), -8);
  TRect huge(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
  EXPECT_EQ(huge.Width(), int64_t{UINT32_MAX});
}
