#include "writer/AviFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "base/exception.h"
#include "base/file.h"
#include "image/palette.h"
#include "platform/screen.h"
#include "platform/temp_files.h"
#include "writer/Silence.h"

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
  SetTempFolder(GetTempPath());
}

void TAviFileWriter::SetTempFolder(const std::string& folder) {
  FTempFileName = folder + (folder.empty() || folder.back() != '/' ? "/" : "") + "~AWTemp.avi";
}

uint64_t TAviFileWriter::IntermediateFileSize(int64_t frames) const {
  const uint64_t bits = static_cast<uint64_t>(PixelFormatBits(FPixelFormat));
  const uint64_t stride = (static_cast<uint64_t>(std::max(FWidth, 0)) * bits + 31) / 32 * 4;
  const uint64_t image = stride * static_cast<uint64_t>(std::abs(static_cast<int64_t>(FHeight)));
  // Each frame: its chunk header and padding, its idx1 entry and its entry
  // in an OpenDML standard index; then the headers and an AVIX RIFF with
  // its index header for every GiB, well rounded up.
  const uint64_t perFrame = 8 + image + (image & 1) + 16 + 8;
  const uint64_t total = perFrame * static_cast<uint64_t>(std::max<int64_t>(frames, 0));
  return total + (total >> 30) * 4096 + (uint64_t{1} << 20);
}

void TAviFileWriter::CheckIntermediateSpace(int64_t frames) const {
  if (FCompressOnTheFly) return;
  std::string folder = FTempFileName.substr(0, FTempFileName.find_last_of('/'));
  if (folder.empty()) folder = "/";
  const uint64_t needed = IntermediateFileSize(frames);
  const uint64_t free = FreeDiskSpace(folder);
  if (needed <= free) return;
  constexpr uint64_t kMB = uint64_t{1} << 20;
  throw Exception("Not enough disk space for the intermediate file in " + folder + ": " +
                  std::to_string((needed + kMB - 1) / kMB) + " MB are needed, " + std::to_string(free / kMB) +
                  " MB are free.");
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
  const std::string inUse =
      "Could not delete " + path + " file might be in use. Try to close the folder if it's open in Explorer";
  // Whatever stands at the name goes, a link that leads nowhere included.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && std::remove(path.c_str()) != 0) throw Exception(inUse);
  if (!FCompressOnTheFly) {
    // The intermediate file holds the raw pictures of the screen: made
    // anew, never through a link planted at its name, readable by its
    // owner only.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) throw Exception(inUse);
    if (fd < 0) throw Exception("Failed to create AVI video file. Err: $" + Hex8(AVIERR_FILEOPEN));
    ::close(fd);
  }
  HRESULT r = AVIFileOpenA(&FAviFile, path.c_str(), OF_WRITE | OF_CREATE, nullptr);
  if (r != AVIERR_OK) {
    FAviFile = nullptr;
    throw Exception("Failed to create AVI video file. Err: $" + Hex8(r));
  }
  FStreamInfo = VideoStreamInfo();
  if (AVIFileCreateStreamA(FAviFile, &FVideoStream, &FStreamInfo) != AVIERR_OK) {
    FVideoStream = nullptr;
    throw Exception("Failed to create AVI video stream");
  }
  FFrameCount = 0;
  FInitialized = true;
}

AVISTREAMINFOA TAviFileWriter::VideoStreamInfo() const {
  AVISTREAMINFOA info;
  std::memset(&info, 0, sizeof info);
  info.fccType = streamtypeVIDEO;
  info.fccHandler = FFourCC.empty() ? 0 : mmioStringToFOURCCA(FFourCC.c_str(), 0);
  info.dwFlags = 0;
  info.dwScale = static_cast<DWORD>(FFrameTime);
  info.dwRate = 1000;
  info.dwQuality = static_cast<DWORD>(FQuality);
  info.dwSuggestedBufferSize = 0;
  info.rcFrame = RECT{0, 0, FWidth, FHeight};
  return info;
}

void TAviFileWriter::AddFrame(const TBitmap& Bitmap) {
  if (FAborted) return;
  if (!FInitialized) throw Exception("Video must be initialized.");
  TBitmap frame;
  WriteFrame(FitFrame(Bitmap, frame), true);
}

const TBitmap& TAviFileWriter::FitFrame(const TBitmap& Bitmap, TBitmap& frame) const {
  // A picture that is a frame already (size, depth and colour table) is
  // written as it is: drawing it would copy it unchanged.
  if (Bitmap.Width() == FWidth && Bitmap.Height() == FHeight && !Bitmap.Empty() &&
      Bitmap.BitCount() == BitmapBitCount(FPixelFormat) &&
      (Bitmap.BitCount() > 8 || Bitmap.Palette() == StandardPalette(Bitmap.BitCount())))
    return Bitmap;
  // The frame: the writer's depth first (it brings its colour table), then the size.
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
  return frame;
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
  SetCompressOptions();
  if (!FFourCC.empty()) {
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

void TAviFileWriter::SetCompressOptions() {
  std::memset(&FCompressOptions, 0, sizeof FCompressOptions);
  if (FFourCC.empty()) return;
  FCompressOptions.fccType = streamtypeVIDEO;
  FCompressOptions.fccHandler = mmioStringToFOURCCA(FFourCC.c_str(), 0);
  FCompressOptions.dwKeyFrameEvery = KeyFrameEvery(FFrameTime);
  FCompressOptions.dwQuality = static_cast<DWORD>(FQuality);
  FCompressOptions.dwFlags = AVICOMPRESSF_KEYFRAMES | AVICOMPRESSF_VALID;
  FCompressOptions.lpFormat = FBitmapInfo.data();
  FCompressOptions.cbFormat = static_cast<DWORD>(FBitmapInfo.size());
}

void TAviFileWriter::WriteAviDirect(int32_t frames, const TPictureSource& source) {
  // Whatever an earlier video left open goes first, as InitVideo lets it go.
  ReleaseStreams();
  ReleaseFile();
  FInitialized = false;
  FFinalized = false;
  FAborted = false;
  FFrameCount = 0;
  if (FPixelFormat == pfDevice) throw Exception("For adding frames on the fly the pixelformat must be <> pfDevice");
  if (frames <= 0) throw Exception("A video needs at least one frame");
  // The first frame sets the format, as it does when frames are added.
  TBitmap fittedFirst;
  const TBitmap& first = FitFrame(source(0), fittedFirst);
  if (first.Empty())
    throw Exception("Failed to retrieve bitmap header and pixels. Err: " + std::to_string(EINVAL));
  FBitmapInfo = first.DibHeader();
  SetCompressOptions();
  FStreamInfo = VideoStreamInfo();
  AVISTREAMINFOA info = FStreamInfo;
  info.dwLength = static_cast<DWORD>(frames);
  const auto frameSize = static_cast<LONG>(first.InfoHeader().biSizeImage);
  // The save reads the frames on threads of its own: what goes wrong there
  // is carried back whole, not as an error code.
  std::exception_ptr failure;
  // Fitted frames take turns, as the pictures do: each stays until the
  // source has been called twice more.
  TBitmap fitted[2];
  AVIFRAMESOURCE read = [&](LONG index) -> const void* {
    try {
      const TBitmap& frame = index == 0 ? first : FitFrame(source(index), fitted[index % 2]);
      if (frame.Empty() || static_cast<LONG>(frame.InfoHeader().biSizeImage) != frameSize)
        throw Exception("Failed to retrieve bitmap header and pixels. Err: " + std::to_string(EINVAL));
      return frame.Bits();
    } catch (...) {
      failure = std::current_exception();
      return nullptr;
    }
  };
  if (AVIMakeSourceStream(&FFrameStream, info, FBitmapInfo.data(), static_cast<LONG>(FBitmapInfo.size()),
                          frameSize, std::move(read)) != AVIERR_OK) {
    FFrameStream = nullptr;
    throw Exception("Failed to create AVI video stream");
  }
  FFrameCount = frames;
  FFinalized = true;
  // Written as a save, whichever way frames would be added.
  const bool onTheFly = std::exchange(FCompressOnTheFly, false);
  try {
    WriteAvi();
  } catch (...) {
    FCompressOnTheFly = onTheFly;
    if (failure) std::rethrow_exception(failure);
    throw;
  }
  FCompressOnTheFly = onTheFly;
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
  // Returns what completing the file said: on the fly it is the output.
  auto cleanUp = [this]() -> HRESULT {
    ReleaseStreams();
    FWaveList.clear();
    if (FileExists(FTempFileName)) DeleteFileQuietly(FTempFileName);
    const HRESULT closed = FAviFile ? AVIFileFinishWrite(FAviFile) : AVIERR_OK;
    ReleaseFile();
    FFinalized = false;
    return closed;
  };
  try {
    if (!FCompressOnTheFly && FWavFileName.empty() && !FWaveList.empty())
      FWavFileName = FWaveList.front().first;
    if (FCompressOnTheFly)
      MergeWaveFiles();
    else if (!FWavFileName.empty())
      OpenWavStream();
    if (!FCompressOnTheFly) {
      // The save writes beside the file and renames over it at the end, so
      // a failure leaves the earlier file as it was; only a folder of that
      // name cannot be replaced.
      struct stat st {};
      if (::stat(FFilename.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw Exception("File " + ExtractFileName(FFilename) +
                        " could not be deleted. It could be in use by another application.");
      const int count = FWavFileName.empty() ? 1 : 2;
      PAVISTREAM streams[2] = {FFrameStream, FAudioStream};
      LPAVICOMPRESSOPTIONS options[2] = {FFourCC.empty() ? nullptr : &FCompressOptions, nullptr};
      // The callback carries this writer itself.
      HRESULT r = AVISaveV(
          FFilename.c_str(), nullptr, [this](int percent) { return SaveProgressCallback(percent); }, count,
          streams, options);
      if (r != AVIERR_OK && !FAborted) throw Exception("Unable to write output file. Error " + Hex8(r));
    }
  } catch (...) {
    cleanUp();
    throw;
  }
  const HRESULT closed = cleanUp();
  // The index and headers of an output written on the fly go out last: a
  // full disk then must not pass for a finished file, nor leave a broken one.
  if (FCompressOnTheFly && closed != AVIERR_OK) {
    DeleteFileQuietly(FFilename);
    throw Exception("Unable to write output file. Error " + Hex8(closed));
  }
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

bool TAviFileWriter::CompressorTakes(FOURCC code, int32_t width, int32_t height) const {
  BITMAPINFOHEADER header = QueryHeader();
  header.biWidth = width;
  header.biHeight = height;
  HIC handle = ICLocate(ICTYPE_VIDEO, code, &header, nullptr, ICMODE_COMPRESS);
  if (handle) ICClose(handle);
  return handle != nullptr;
}

TAviFileWriter::TSizeNeed TAviFileWriter::CompressorNeeds(const std::string& Code, int32_t width,
                                                          int32_t height) const {
  const FOURCC code = mmioStringToFOURCCA(Code.substr(0, 4).c_str(), 0);
  if (CompressorTakes(code, width, height)) return TSizeNeed::None;
  HIC installed = ICOpen(ICTYPE_VIDEO, code, ICMODE_QUERY);
  if (!installed) return TSizeNeed::Installed;
  ICClose(installed);
  auto roundUp = [](int32_t value, int32_t step) { return (value + step - 1) / step * step; };
  if (CompressorTakes(code, roundUp(width, 2), roundUp(height, 2))) return TSizeNeed::EvenSides;
  if (CompressorTakes(code, roundUp(width, 4), roundUp(height, 4))) return TSizeNeed::SidesOf4;
  return TSizeNeed::OtherSize;
}

void TAviFileWriter::SetCompression(const std::string& Code) {
  const std::string taken = Code.substr(0, 4);
  FFourCC.clear();
  if (taken.empty()) return;
  const TSizeNeed need = CompressorNeeds(taken, FWidth, FHeight);
  if (need == TSizeNeed::None) {
    FFourCC = taken;
    return;
  }
  if (need == TSizeNeed::Installed) throw Exception("No compressor for " + taken + " available");
  // There, but not for frames of this size: said before anything is
  // written, with what would help.
  const std::string refused = taken + " cannot compress pictures of " + std::to_string(FWidth) + " x " +
                              std::to_string(FHeight) + "; choose another compression";
  if (need == TSizeNeed::EvenSides) throw Exception(refused + " or an area with even sides.");
  if (need == TSizeNeed::SidesOf4) throw Exception(refused + " or an area whose sides are multiples of 4.");
  throw Exception(refused + ".");
}

void TAviFileWriter::ShowCompressorDialog(uintptr_t Owner) {
  if (FFourCC.empty()) return;
  HIC handle = ICOpen(ICTYPE_VIDEO, mmioStringToFOURCCA(FFourCC.c_str(), 0), ICMODE_QUERY);
  if (!handle) return;
  if (ICSendMessage(handle, ICM_CONFIGURE, static_cast<uintptr_t>(-1), ICMF_CONFIGURE_QUERY) == ICERR_OK)
    ICSendMessage(handle, ICM_CONFIGURE, Owner, 0);
  ICClose(handle);
}

namespace {

// The extension of a path: from its last "." on, when no separator follows
// that "."; else empty. Only A to Z are lower-cased.
std::string LowerExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find_first_of("/\\:", dot) != std::string::npos) return "";
  std::string extension = path.substr(dot);
  for (char& c : extension)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return extension;
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

const char* const kNotWav = "WavFileName must name a file with the .wav extension";

// Releases what a merge holds, on every way out of it.
struct TMergeHandles {
  PAVIFILE InputFile = nullptr;
  PAVISTREAM Input = nullptr;
  PAVISTREAM Output = nullptr;
  void ReleaseInput() {
    if (Input) AVIStreamRelease(Input);
    if (InputFile) AVIFileRelease(InputFile);
    Input = nullptr;
    InputFile = nullptr;
  }
  ~TMergeHandles() {
    ReleaseInput();
    if (Output) AVIStreamRelease(Output);
  }
};

std::vector<uint8_t> ReadStreamFormat(PAVISTREAM stream) {
  LONG size = 0;
  HRESULT r = AVIStreamReadFormat(stream, 0, nullptr, &size);
  Assert(r == AVIERR_OK, "ReadFormat failed. Err: $" + Hex8(r));
  std::vector<uint8_t> format(static_cast<size_t>(std::max<LONG>(size, 0)));
  r = AVIStreamReadFormat(stream, 0, format.data(), &size);
  Assert(r == AVIERR_OK, "ReadFormat failed. Err: $" + Hex8(r));
  return format;
}

// nChannels, nSamplesPerSec and wBitsPerSample of a format block; zeros
// where the block is too short to hold them.
WAVEFORMATEX WaveFormatOf(const std::vector<uint8_t>& block) {
  WAVEFORMATEX format{};
  std::memcpy(&format, block.data(), std::min(block.size(), sizeof format));
  return format;
}

}  // namespace

int32_t DelayToSamples(int32_t Delay, DWORD Rate, DWORD Scale) {
  const double samplesPerSecond =
      static_cast<double>(static_cast<long double>(Rate) / static_cast<long double>(Scale));
  const long double perMillisecond = 0.001L * static_cast<long double>(samplesPerSecond);
  const long double position = perMillisecond * static_cast<long double>(Delay);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(position))));
}

void TAviFileWriter::SetWavFileName(const std::string& value) {
  if (LowerAscii(value) == LowerAscii(FWavFileName)) return;
  if (!value.empty() && LowerExtension(value) != ".wav") throw Exception(kNotWav);
  FWavFileName = value;
}

void TAviFileWriter::AddWaveFile(const std::string& FileName, int32_t Delay) {
  if (LowerExtension(FileName) != ".wav") throw Exception(kNotWav);
  // Audio cannot start before the video does.
  if (Delay < 0)
    throw Exception("The audio file " + FileName + " cannot start " +
                    std::to_string(-static_cast<int64_t>(Delay)) +
                    " ms before the video; its delay must be 0 or more");
  FWaveList.emplace_back(FileName, Delay);
}

void TAviFileWriter::OpenWavStream() {
  PAVIFILE file = nullptr;
  HRESULT r = AVIFileOpenA(&file, FWavFileName.c_str(), OF_READ, nullptr);
  if (r != AVIERR_OK) {
    FWavFileName.clear();
    switch (static_cast<uint32_t>(r)) {
      case 0x80040154u:
        throw Exception(
            "According to the registry, the type of audio file specified in AVIFileOpen does not have a "
            "handler "
            "to process it.");
      case 0x80044066u:
        throw Exception("The file could not be read, indicating a corrupt file or an unrecognized format.");
      case 0x80044067u:
        throw Exception("The file could not be opened because of insufficient memory.");
      case 0x8004406Du:
        throw Exception("A disk error occurred while reading the audio file.");
      case 0x8004406Fu:
        throw Exception("A disk error occurred while opening the audio file.");
      default:
        throw Exception("Unknown error opening audio file");
    }
  }
  PAVISTREAM stream = nullptr;
  const bool found = AVIFileGetStream(file, &stream, streamtypeAUDIO, 0) == AVIERR_OK;
  const bool copied = found && CreateEditableStream(&FAudioStream, stream) == AVIERR_OK;
  if (stream) AVIStreamRelease(stream);
  AVIFileRelease(file);
  if (!found) throw Exception("Unable to get audio stream");
  if (!copied) {
    FAudioStream = nullptr;
    throw Exception("Failed to create editable AVI audio stream");
  }
}

void TAviFileWriter::MergeWaveFiles() {
  if (FWaveList.empty() && !FWavFileName.empty()) AddWaveFile(FWavFileName, 0);
  if (FWaveList.empty()) return;
  std::stable_sort(FWaveList.begin(), FWaveList.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  TMergeHandles handles;
  AVISTREAMINFOA reference{};
  WAVEFORMATEX referenceFormat{};
  uint32_t written = 0;
  HRESULT r;
  for (size_t i = 0; i < FWaveList.size(); ++i) {
    handles.ReleaseInput();
    const std::string& path = FWaveList[i].first;
    r = AVIFileOpenA(&handles.InputFile, path.c_str(), OF_READ, nullptr);
    if (r != AVIERR_OK) handles.InputFile = nullptr;
    Assert(r == AVIERR_OK, "FileOpen failed. Err: $" + Hex8(r));
    r = AVIFileGetStream(handles.InputFile, &handles.Input, streamtypeAUDIO, 0);
    if (r != AVIERR_OK) handles.Input = nullptr;
    Assert(r == AVIERR_OK, "GetStream failed. Err: $" + Hex8(r));
    AVISTREAMINFOA info{};
    r = AVIStreamInfoA(handles.Input, &info, 204);
    Assert(r == AVIERR_OK, "StreamInfo failed. Err: $" + Hex8(r));
    const bool first = i == 0;
    // Later files must match the first one, else they are left out.
    if (!first && (info.fccType != reference.fccType || info.dwScale != reference.dwScale ||
                   info.dwRate != reference.dwRate || info.dwSampleSize != reference.dwSampleSize))
      continue;
    const WAVEFORMATEX format = WaveFormatOf(ReadStreamFormat(handles.Input));
    if (!first && (format.nChannels != referenceFormat.nChannels ||
                   format.wBitsPerSample != referenceFormat.wBitsPerSample))
      continue;
    const int32_t start = DelayToSamples(FWaveList[i].second, info.dwRate, info.dwScale);
    if (first) {
      reference = info;
      reference.dwStart = 0;
      reference.dwLength = 0;
      r = AVIFileCreateStreamA(FAviFile, &handles.Output, &reference);
      if (r != AVIERR_OK) handles.Output = nullptr;
      Assert(r == AVIERR_OK, "CreateStream failed. Err: $" + Hex8(r));
      std::vector<uint8_t> block = ReadStreamFormat(handles.Input);
      r = AVIStreamSetFormat(handles.Output, 0, block.data(), static_cast<LONG>(block.size()));
      Assert(r == AVIERR_OK, "SetFormat failed. Err: $" + Hex8(r));
      referenceFormat = WaveFormatOf(block);
    }
    if (static_cast<uint32_t>(start) > written)
      FillSilence(handles.Output, written, start, reference.dwSampleSize, referenceFormat);

    uint32_t count = static_cast<uint32_t>(AVIStreamLength(handles.Input));
    if (i + 1 < FWaveList.size()) {
      const auto next =
          static_cast<uint32_t>(DelayToSamples(FWaveList[i + 1].second, info.dwRate, info.dwScale));
      if (next < static_cast<uint32_t>(start) + count) count = next - static_cast<uint32_t>(start);
    }
    CopySamples(handles.Input, handles.Output, static_cast<LONG>(info.dwStart), count, reference.dwSampleSize,
                written);
  }
}

void TAviFileWriter::CopySamples(PAVISTREAM input, PAVISTREAM output, LONG from, uint32_t count,
                                 DWORD sampleSize, uint32_t& written) {
  if (count == 0) return;
  HRESULT r;
  if (sampleSize == 0) {
    // Every sample is a chunk of its own size: one read and write each.
    std::vector<uint8_t> sample;
    for (uint32_t k = 0; k < count; ++k) {
      LONG bytes = 0;
      r = AVIStreamRead(input, from + static_cast<LONG>(k), 1, nullptr, 0, &bytes, nullptr);
      Assert(r == AVIERR_OK, "StreamRead failed. Err: $" + Hex8(r));
      sample.resize(static_cast<size_t>(std::max<LONG>(bytes, 0)));
      r = AVIStreamRead(input, from + static_cast<LONG>(k), 1, sample.data(), bytes, nullptr, nullptr);
      Assert(r == AVIERR_OK, "StreamRead failed. Err: $" + Hex8(r));
      r = AVIStreamWrite(output, static_cast<LONG>(written), 1, sample.data(), bytes, 0, nullptr, nullptr);
      Assert(r == AVIERR_OK, "StreamWrite failed. Err: $" + Hex8(r));
      ++written;
    }
    return;
  }
  const uint64_t size = uint64_t{count} * sampleSize;
  Assert(size <= static_cast<uint64_t>(INT32_MAX), "StreamRead failed. Err: $" + Hex8(AVIERR_BADSIZE));
  std::vector<uint8_t> block(static_cast<size_t>(size));
  r = AVIStreamRead(input, from, static_cast<LONG>(count), block.data(), static_cast<LONG>(size), nullptr,
                    nullptr);
  Assert(r == AVIERR_OK, "StreamRead failed. Err: $" + Hex8(r));
  r = AVIStreamWrite(output, static_cast<LONG>(written), static_cast<LONG>(count), block.data(),
                     static_cast<LONG>(size), 0, nullptr, nullptr);
  Assert(r == AVIERR_OK, "StreamWrite failed. Err: $" + Hex8(r));
  written += count;
}

void TAviFileWriter::FillSilence(PAVISTREAM output, uint32_t& written, int32_t start, DWORD sampleSize,
                                 const WAVEFORMATEX& format) {
  const uint8_t* silence = nullptr;
  size_t blockSize = 0;
  GetSilenceBlock(format, silence, blockSize);
  // No silence for the format, or samples of no fixed size: the gap is
  // dropped and the file follows what came before directly.
  if (!silence || sampleSize == 0) return;
  const size_t length = std::max<size_t>(sampleSize, blockSize);
  // Whole copies of the block, and the start of one more where a sample is
  // larger than the block and no multiple of it.
  std::vector<uint8_t> buffer(length);
  for (size_t at = 0; at < length; at += blockSize)
    std::memcpy(buffer.data() + at, silence, std::min(blockSize, length - at));
  const auto n = static_cast<int64_t>(length / sampleSize);
  int64_t position = written;
  HRESULT r;
  while (position + n < start) {
    r = AVIStreamWrite(output, static_cast<LONG>(position), static_cast<LONG>(n), buffer.data(),
                       static_cast<LONG>(length), 0, nullptr, nullptr);
    Assert(r == AVIERR_OK, "StreamWrite failed. Err: $" + Hex8(r));
    position += n;
    written += static_cast<uint32_t>(n);
  }
  const int64_t rest = start - position;
  if (rest > 0) {
    r = AVIStreamWrite(output, static_cast<LONG>(position), static_cast<LONG>(rest), buffer.data(),
                       static_cast<LONG>(length), 0, nullptr, nullptr);
    Assert(r == AVIERR_OK, "StreamWrite failed. Err: $" + Hex8(r));
    written += static_cast<uint32_t>(rest);
  }
}
