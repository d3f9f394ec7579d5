#include "writer/AviFileWriter.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/exception.h"
#include "base/file.h"
#include "image/palette.h"
#include "platform/screen.h"
#include "platform/temp_files.h"

namespace {

std::string Hex8(HRESULT value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(value));
  return text;
}

// The name part of a path, without its folder.
std::string ExtractFileName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string FourCCToText(FOURCC code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return text;
}

DWORD KeyFrameEvery(int32_t frameTime) {
  // nearbyint rounds halves to the even neighbour in the default rounding mode.
  return static_cast<DWORD>(std::nearbyint(1000.0 / frameTime));
}

int32_t SaveProgressFrames(int32_t frameCount, int percent) {
  // Left to right in extended precision; 0.01L is the nearest extended value.
  const long double frames = static_cast<long double>(frameCount) * 0.01L * static_cast<long double>(percent);
  return static_cast<int32_t>(std::trunc(frames));
}

TAviFileWriter::TAviFileWriter(void*) {
  // A tenth of the primary screen; without a screen, a tenth of 640 x 480.
  TPoint screen{640, 480};
  try {
    screen = PrimaryScreenSize();
  } catch (const Exception&) {
  }
  FHeight = screen.Y / 10;
  FWidth = screen.X / 10;
  FFrameTime = 1000;
  FStretch = true;
  AVIFileInit();
  FPixelFormat = pf24bit;
  FQuality = 5000;
  FCompressOnTheFly = true;
  std::string folder = GetTempPath();
  if (folder.empty() || folder.back() != '/') folder += '/';
  FTempFileName = folder + "~AWTemp.avi";
}

TAviFileWriter::~TAviFileWriter() {
  FWaveList.clear();
  FBitmapInfo.clear();
  ReleaseStreams();
  ReleaseFile();
  if (FileExists(FTempFileName)) DeleteFileQuietly(FTempFileName);
  AVIFileExit();
}

void TAviFileWriter::SetPixelFormat(TPixelFormat value) {
  if (value != pf1bit && value != pf4bit && value != pf8bit && value != pf24bit && value != pf32bit)
    throw Exception("Pixelformat not supported");
  FPixelFormat = value;
}

void TAviFileWriter::ReleaseStreams() {
  if (FFrameStream) AVIStreamRelease(FFrameStream);
  if (FVideoStream) AVIStreamRelease(FVideoStream);
  if (FAudioStream) AVIStreamRelease(FAudioStream);
  FFrameStream = FVideoStream = FAudioStream = nullptr;
}

void TAviFileWriter::ReleaseFile() {
  try {
    while (FAviFile && AVIFileRelease(FAviFile) >= 1) {
    }
  } catch (...) {
  }
  FAviFile = nullptr;
}

void TAviFileWriter::InitVideo() {
  // What an unfinished earlier recording left open is released, not
  // forgotten: its file is closed and the intermediate file can go.
  ReleaseStreams();
  ReleaseFile();
  FAborted = false;
  if (FPixelFormat == pfDevice) {
    FAborted = true;
    throw Exception("For adding frames on the fly the pixelformat must be <> pfDevice");
  }
  const std::string path = FCompressOnTheFly ? FFilename : FTempFileName;
  if (FileExists(path) && std::remove(path.c_str()) != 0)
    throw Exception("Could not delete " + path +
                    " file might be in use. Try to close the folder if it's open in Explorer");
  HRESULT r = AVIFileOpenA(&FAviFile, path.c_str(), OF_WRITE | OF_CREATE, nullptr);
  if (r != AVIERR_OK) {
    FAviFile = nullptr;
    throw Exception("Failed to create AVI video file. Err: $" + Hex8(r));
  }
  std::memset(&FStreamInfo, 0, sizeof FStreamInfo);
  FStreamInfo.fccType = streamtypeVIDEO;
  FStreamInfo.fccHandler = FFourCC.empty() ? 0 : mmioStringToFOURCCA(FFourCC.c_str(), 0);
  FStreamInfo.dwFlags = 0;
  FStreamInfo.dwScale = static_cast<DWORD>(FFrameTime);
  FStreamInfo.dwRate = 1000;
  FStreamInfo.dwQuality = static_cast<DWORD>(FQuality);
  FStreamInfo.dwSuggestedBufferSize = 0;
  FStreamInfo.rcFrame = RECT{0, 0, FWidth, FHeight};
  if (AVIFileCreateStreamA(FAviFile, &FVideoStream, &FStreamInfo) != AVIERR_OK) {
    FVideoStream = nullptr;
    throw Exception("Failed to create AVI video stream");
  }
  FFrameCount = 0;
  FInitialized = true;
}

void TAviFileWriter::AddFrame(const TBitmap& Bitmap) {
  if (FAborted) return;
  if (!FInitialized) throw Exception("Video must be initialized.");
  // A picture that is a frame already (size, depth and colour table) is
  // written as it is: drawing it would copy it unchanged.
  if (Bitmap.Width() == FWidth && Bitmap.Height() == FHeight && !Bitmap.Empty() &&
      Bitmap.BitCount() == BitmapBitCount(FPixelFormat) &&
      (Bitmap.BitCount() > 8 || Bitmap.Palette() == StandardPalette(Bitmap.BitCount()))) {
    WriteFrame(Bitmap, true);
    return;
  }
  // The frame: the writer's depth first (it brings its colour table), then the size.
  TBitmap frame;
  frame.SetPixelFormat(FPixelFormat);
  frame.SetWidth(FWidth);
  frame.SetHeight(FHeight);
  if (FStretch) {
    frame.StretchDraw(TRect(0, 0, FWidth, FHeight), Bitmap);
  } else {
    // Centred on black; a larger picture is cut at its edges. An odd
    // difference puts the extra pixel on the right or at the bottom.
    frame.FillRect(TRect(0, 0, FWidth, FHeight), RGBQUAD{0, 0, 0, 0});
    const int32_t dx = (FWidth - Bitmap.Width()) / 2, dy = (FHeight - Bitmap.Height()) / 2;
    frame.CopyRect(TRect(dx, dy, dx + Bitmap.Width(), dy + Bitmap.Height()), Bitmap,
                   TRect(0, 0, Bitmap.Width(), Bitmap.Height()));
  }
  WriteFrame(frame, true);
}

void TAviFileWriter::WriteFrame(const TBitmap& Bitmap, bool KeyFrame) {
  if (FFrameCount == 0) InitStreamFormat(Bitmap);
  if (Bitmap.Empty())
    throw Exception("Failed to retrieve bitmap header and pixels. Err: " + std::to_string(EINVAL));
  const BITMAPINFOHEADER header = Bitmap.InfoHeader();
  HRESULT r;
  try {
    r = AVIStreamWrite(FFrameStream, FFrameCount, 1, Bitmap.Bits(), static_cast<LONG>(header.biSizeImage),
                       KeyFrame ? AVIIF_KEYFRAME : 0, nullptr, nullptr);
  } catch (...) {
    r = AVIERR_ERROR;
  }
  if (r != AVIERR_OK) throw Exception("Failed to add Frame. Err: " + Hex8(r));
  ++FFrameCount;
  if (OnProgress && FFrameCount % 20 == 0) OnProgress(*this, FFrameCount, FAborted);
}

void TAviFileWriter::InitStreamFormat(const TBitmap& Bitmap) {
  if (Bitmap.Empty())
    throw Exception("Failed to retrieve bitmap header and pixels. Err: " + std::to_string(EINVAL));
  FBitmapInfo = Bitmap.DibHeader();
  std::memset(&FCompressOptions, 0, sizeof FCompressOptions);
  if (!FFourCC.empty()) {
    FCompressOptions.fccType = streamtypeVIDEO;
    FCompressOptions.fccHandler = mmioStringToFOURCCA(FFourCC.c_str(), 0);
    FCompressOptions.dwKeyFrameEvery = KeyFrameEvery(FFrameTime);
    FCompressOptions.dwQuality = static_cast<DWORD>(FQuality);
    FCompressOptions.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
    FCompressOptions.lpFormat = FBitmapInfo.data();
    FCompressOptions.cbFormat = static_cast<DWORD>(FBitmapInfo.size());
    if (FCompressOnTheFly) {
      if (AVIMakeCompressedStream(&FFrameStream, FVideoStream, &FCompressOptions, nullptr) != AVIERR_OK) {
        FFrameStream = nullptr;
        throw Exception("Failed to create compressed stream");
      }
    } else {
      FFrameStream = std::exchange(FVideoStream, nullptr);
    }
  } else {
    FFrameStream = std::exchange(FVideoStream, nullptr);
  }
  if (AVIStreamSetFormat(FFrameStream, 0, FBitmapInfo.data(), static_cast<LONG>(FBitmapInfo.size())) !=
      AVIERR_OK)
    throw Exception("Failed to set AVI stream format");
}

void TAviFileWriter::FinalizeVideo() {
  FInitialized = false;
  FFinalized = true;
}

LONG TAviFileWriter::SaveProgressCallback(int Percent) {
  if (OnProgress) OnProgress(*this, SaveProgressFrames(FFrameCount, Percent), FAborted);
  return FAborted ? AVIERR_USERABORT : AVIERR_OK;
}

void TAviFileWriter::WriteAvi() {
  if (FAborted || !FFinalized) {
    if (FVideoStream) AVIStreamRelease(FVideoStream);
    if (FFrameStream) AVIStreamRelease(FFrameStream);
    FVideoStream = FFrameStream = nullptr;
    FWaveList.clear();
    ReleaseFile();
    if (!FFinalized) throw Exception("Video must be finalized");
    return;
  }
  auto cleanUp = [this] {
    ReleaseStreams();
    FWaveList.clear();
    if (FileExists(FTempFileName)) DeleteFileQuietly(FTempFileName);
    ReleaseFile();
    FFinalized = false;
  };
  try {
    if (!FCompressOnTheFly) {
      if (FileExists(FFilename) && std::remove(FFilename.c_str()) != 0)
        throw Exception("File " + ExtractFileName(FFilename) +
                        " could not be deleted. It could be in use by another application.");
      PAVISTREAM streams[1] = {FFrameStream};
      LPAVICOMPRESSOPTIONS options[1] = {FFourCC.empty() ? nullptr : &FCompressOptions};
      // The callback carries this writer itself.
      HRESULT r = AVISaveV(
          FFilename.c_str(), nullptr, [this](int percent) { return SaveProgressCallback(percent); }, 1,
          streams, options);
      if (r != AVIERR_OK && !FAborted) throw Exception("Unable to write output file. Error " + Hex8(r));
    }
  } catch (...) {
    cleanUp();
    throw;
  }
  cleanUp();
}

void TAviFileWriter::Discard() {
  ReleaseStreams();
  ReleaseFile();
  FWaveList.clear();
  if (FileExists(FTempFileName)) DeleteFileQuietly(FTempFileName);
  FInitialized = false;
  FFinalized = false;
  FFrameCount = 0;
}

BITMAPINFOHEADER TAviFileWriter::QueryHeader() const {
  BITMAPINFOHEADER header{};
  header.biSize = 40;
  header.biWidth = FWidth;
  header.biHeight = FHeight;
  header.biPlanes = 1;
  header.biBitCount = static_cast<WORD>(PixelFormatBits(FPixelFormat));
  header.biCompression = BI_RGB;
  return header;
}

void TAviFileWriter::GetCompressorList(std::vector<std::string>& Lines) {
  Lines.clear();
  Lines.push_back("No Compression");
  const BITMAPINFOHEADER header = QueryHeader();
  ICINFO record{};
  record.dwSize = sizeof record;
  for (DWORD i = 0; i <= 200; ++i) {
    if (!ICInfo(ICTYPE_VIDEO, i, &record)) continue;
    HIC handle = ICOpen(ICTYPE_VIDEO, record.fccHandler, ICMODE_QUERY);
    if (!handle) continue;
    if (ICSendMessage(handle, ICM_COMPRESS_QUERY, reinterpret_cast<uintptr_t>(&header), 0) == ICERR_OK) {
      ICGetInfo(handle, &record, sizeof record);
      std::string name;
      for (size_t c = 0; c < 16 && record.szName[c] != u'\0'; ++c)
        name += record.szName[c] < 0x100 ? static_cast<char>(record.szName[c]) : '?';
      Lines.push_back(FourCCToText(record.fccHandler) + " " + name);
    }
    ICClose(handle);
  }
}

void TAviFileWriter::SetCompression(const std::string& Code) {
  const std::string taken = Code.substr(0, 4);
  FFourCC.clear();
  if (taken.empty()) return;
  const BITMAPINFOHEADER header = QueryHeader();
  HIC handle =
      ICLocate(ICTYPE_VIDEO, mmioStringToFOURCCA(taken.c_str(), 0), &header, nullptr, ICMODE_COMPRESS);
  if (!handle) throw Exception("No compressor for " + taken + " available");
  FFourCC = taken;
  ICClose(handle);
}

void TAviFileWriter::ShowCompressorDialog(uintptr_t Owner) {
  if (FFourCC.empty()) return;
  HIC handle = ICOpen(ICTYPE_VIDEO, mmioStringToFOURCCA(FFourCC.c_str(), 0), ICMODE_QUERY);
  if (!handle) return;
  if (ICSendMessage(handle, ICM_CONFIGURE, static_cast<uintptr_t>(-1), ICMF_CONFIGURE_QUERY) == ICERR_OK)
    ICSendMessage(handle, ICM_CONFIGURE, Owner, 0);
  ICClose(handle);
}
