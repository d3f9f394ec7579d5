#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "image/bitmap.h"
#include "vfw/vfw.h"

class TAviFileWriter;

// The pictures of a video written in one pass: the picture of frame index
// (0, 1, ... in order), which must stay as it is until source is called
// twice more. It is called from threads other than the caller's, one call
// at a time.
using TPictureSource = std::function<const TBitmap&(int32_t index)>;

// Progress of a recording: the writer, the frame count reached, and the
// writer's own abort flag, which the handler may set.
using TProgressEvent = std::function<void(TAviFileWriter& Sender, int32_t FrameCount, bool& abort)>;

// Turns a sequence of pictures into an AVI file with one video stream,
// compressed on the fly or while saving, through the Video for Windows
// functions.
class TAviFileWriter {
 public:
  explicit TAviFileWriter(void* owner = nullptr);
  ~TAviFileWriter();
  TAviFileWriter(const TAviFileWriter&) = delete;
  TAviFileWriter& operator=(const TAviFileWriter&) = delete;

  int32_t Height() const { return FHeight; }
  void SetHeight(int32_t value) { FHeight = value; }
  int32_t Width() const { return FWidth; }
  void SetWidth(int32_t value) { FWidth = value; }
  int32_t FrameTime() const { return FFrameTime; }
  void SetFrameTime(int32_t value) { FFrameTime = value; }
  bool Stretch() const { return FStretch; }
  void SetStretch(bool value) { FStretch = value; }
  TPixelFormat PixelFormat() const { return FPixelFormat; }
  // pf1bit, pf4bit, pf8bit, pf24bit and pf32bit; others raise "Pixelformat not supported".
  void SetPixelFormat(TPixelFormat value);
  const std::string& filename() const { return FFilename; }
  void Setfilename(const std::string& value) { FFilename = value; }
  const std::string& WavFileName() const { return FWavFileName; }
  // A path with the extension ".wav" (any letter case), or empty for none.
  void SetWavFileName(const std::string& value);
  bool CompressOnTheFly() const { return FCompressOnTheFly; }
  void SetCompressOnTheFly(bool value) { FCompressOnTheFly = value; }
  TProgressEvent OnProgress;

  // The intermediate file of save-time writing: "~AWTemp.avi" in the
  // user's temporary folder, or in the folder given here (a recording's
  // private folder).
  const std::string& TempFileName() const { return FTempFileName; }
  void SetTempFolder(const std::string& folder);
  // Raises "Not enough disk space for the intermediate file in <folder>:
  // <n> MB are needed, <m> MB are free." when the intermediate file of
  // frames frames at the size and depth set now cannot fit; nothing when
  // frames go straight into the output file.
  void CheckIntermediateSpace(int64_t frames) const;
  // The bytes that the intermediate file of frames frames takes at most.
  uint64_t IntermediateFileSize(int64_t frames) const;
  int32_t FrameCount() const { return FFrameCount; }
  const std::string& FourCC() const { return FFourCC; }
  bool Aborted() const { return FAborted; }

  void InitVideo();
  void AddFrame(const TBitmap& Bitmap);
  void FinalizeVideo();
  void WriteAvi();
  // Writes the video of frames pictures straight into filename, the way
  // InitVideo, AddFrame for each picture, FinalizeVideo and WriteAvi write
  // it at save time, to the same file but without the intermediate file:
  // each picture is taken from source as the save reaches it, fitted as
  // AddFrame fits it, compressed if a compressor is set, with the sound
  // interleaved. OnProgress reports the save; an abort leaves no file.
  void WriteAviDirect(int32_t frames, const TPictureSource& source);
  // Gives up a video that will not be written: streams and file are
  // released and the intermediate file deleted, so that the next InitVideo
  // starts afresh.
  void Discard();
  // One more WAV file for the audio track, starting Delay milliseconds
  // into the video (0 or more); the file is opened by WriteAvi.
  void AddWaveFile(const std::string& FileName, int32_t Delay);

  // "No Compression", then "<FourCC> <name>" for each compressor that takes
  // the frames as they stand now.
  void GetCompressorList(std::vector<std::string>& Lines);
  void SetCompression(const std::string& Code);
  // What a compressor wants of frames of width x height at the depth set
  // now: nothing (it takes them), even sides, sides that are multiples of
  // 4, some other size; or it is not installed at all.
  enum class TSizeNeed { None, EvenSides, SidesOf4, OtherSize, Installed };
  TSizeNeed CompressorNeeds(const std::string& Code, int32_t width, int32_t height) const;
  void ShowCompressorDialog(uintptr_t Owner);

 private:
  void WriteFrame(const TBitmap& Bitmap, bool KeyFrame);
  // The picture as a frame of the video: itself where it is one already,
  // else drawn into frame.
  const TBitmap& FitFrame(const TBitmap& Bitmap, TBitmap& frame) const;
  AVISTREAMINFOA VideoStreamInfo() const;
  void SetCompressOptions();
  void InitStreamFormat(const TBitmap& Bitmap);
  LONG SaveProgressCallback(int Percent);
  BITMAPINFOHEADER QueryHeader() const;
  bool CompressorTakes(FOURCC code, int32_t width, int32_t height) const;
  void ReleaseStreams();
  void OpenWavStream();
  void MergeWaveFiles();
  void CopySamples(PAVISTREAM input, PAVISTREAM output, LONG from, uint32_t count, DWORD sampleSize,
                   uint32_t& written);
  void FillSilence(PAVISTREAM output, uint32_t& written, int32_t start, DWORD sampleSize,
                   const WAVEFORMATEX& format);
  void ReleaseFile();

  PAVIFILE FAviFile = nullptr;
  int32_t FHeight = 0;
  int32_t FWidth = 0;
  bool FStretch = true;
  int32_t FFrameTime = 1000;
  std::string FFilename;
  std::string FWavFileName;
  PAVISTREAM FAudioStream = nullptr;
  PAVISTREAM FVideoStream = nullptr;
  PAVISTREAM FFrameStream = nullptr;
  AVISTREAMINFOA FStreamInfo{};
  int32_t FFrameCount = 0;
  std::string FFourCC;
  TPixelFormat FPixelFormat = pf24bit;
  std::vector<uint8_t> FBitmapInfo;  // header and colour table of the frames
  AVICOMPRESSOPTIONS FCompressOptions{};
  bool FAborted = false;
  int32_t FQuality = 5000;
  bool FInitialized = false;
  bool FFinalized = false;
  std::vector<std::pair<std::string, int32_t>> FWaveList;
  bool FCompressOnTheFly = true;
  std::string FTempFileName;
};

// The four bytes of a code, least significant first: 0x63646976 is "vidc".
std::string FourCCToText(FOURCC code);
// The sample position of a delay in milliseconds at dwRate / dwScale
// samples per second: Delay x (0.001 x rate) in 80-bit extended precision,
// truncated; the low 32 bits of the result.
int32_t DelayToSamples(int32_t Delay, DWORD Rate, DWORD Scale);
// The key-frame interval for a frame time: 1000 / FrameTime, halves to even.
DWORD KeyFrameEvery(int32_t frameTime);
// The frame count reported while saving: FrameCount x 0.01 x Percent in
// 80-bit extended precision, truncated.
int32_t SaveProgressFrames(int32_t frameCount, int percent);
