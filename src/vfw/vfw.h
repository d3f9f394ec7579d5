#pragma once

// The Video for Windows subset that the writer drives: AVI files and their
// streams (AVIFile), with the platform's names, structure layouts and result
// codes, implemented portably. Handles are reference-counted objects.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "base/wintypes.h"

using HRESULT = int32_t;
using LONG = int32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using UINT = uint32_t;
using FOURCC = uint32_t;
using LRESULT = intptr_t;

constexpr FOURCC MakeFourCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) | (static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24);
}

constexpr FOURCC streamtypeVIDEO = MakeFourCC('v', 'i', 'd', 's');
constexpr FOURCC streamtypeAUDIO = MakeFourCC('a', 'u', 'd', 's');

constexpr HRESULT Hr(uint32_t code) {
  return static_cast<HRESULT>(code);
}
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT AVIERR_UNSUPPORTED = Hr(0x80044065);
constexpr HRESULT AVIERR_BADFORMAT = Hr(0x80044066);
constexpr HRESULT AVIERR_MEMORY = Hr(0x80044067);
constexpr HRESULT AVIERR_INTERNAL = Hr(0x80044068);
constexpr HRESULT AVIERR_BADFLAGS = Hr(0x80044069);
constexpr HRESULT AVIERR_BADPARAM = Hr(0x8004406A);
constexpr HRESULT AVIERR_BADSIZE = Hr(0x8004406B);
constexpr HRESULT AVIERR_BADHANDLE = Hr(0x8004406C);
constexpr HRESULT AVIERR_FILEREAD = Hr(0x8004406D);
constexpr HRESULT AVIERR_FILEWRITE = Hr(0x8004406E);
constexpr HRESULT AVIERR_FILEOPEN = Hr(0x8004406F);
constexpr HRESULT AVIERR_COMPRESSOR = Hr(0x80044070);
constexpr HRESULT AVIERR_NOCOMPRESSOR = Hr(0x80044071);
constexpr HRESULT AVIERR_READONLY = Hr(0x80044072);
constexpr HRESULT AVIERR_NODATA = Hr(0x80044073);
constexpr HRESULT AVIERR_BUFFERTOOSMALL = Hr(0x80044074);
constexpr HRESULT AVIERR_CANTCOMPRESS = Hr(0x80044075);
constexpr HRESULT AVIERR_USERABORT = Hr(0x800440C6);
constexpr HRESULT AVIERR_ERROR = Hr(0x800440C7);
constexpr HRESULT REGDB_E_CLASSNOTREG = Hr(0x80040154);

constexpr UINT OF_READ = 0x0000;
constexpr UINT OF_WRITE = 0x0001;
constexpr UINT OF_CREATE = 0x1000;

constexpr DWORD AVIIF_LIST = 0x00000001;
constexpr DWORD AVIIF_KEYFRAME = 0x00000010;

constexpr DWORD AVICOMPRESSF_INTERLEAVE = 0x00000001;
constexpr DWORD AVICOMPRESSF_DATARATE = 0x00000002;
constexpr DWORD AVICOMPRESSF_KEYFRAMES = 0x00000004;
constexpr DWORD AVICOMPRESSF_VALID = 0x00000008;

constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

struct AVISTREAMINFOA {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwCaps;
  WORD wPriority;
  WORD wLanguage;
  DWORD dwScale;
  DWORD dwRate;  // dwRate / dwScale == samples per second
  DWORD dwStart;
  DWORD dwLength;
  DWORD dwInitialFrames;
  DWORD dwSuggestedBufferSize;
  DWORD dwQuality;
  DWORD dwSampleSize;
  RECT rcFrame;
  DWORD dwEditCount;
  DWORD dwFormatChangeCount;
  char szName[64];
};
static_assert(sizeof(AVISTREAMINFOA) == 140);

struct AVICOMPRESSOPTIONS {
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwKeyFrameEvery;  // 0: only the first frame is a key frame
  DWORD dwQuality;        // 0 to 10000
  DWORD dwBytesPerSecond;
  DWORD dwFlags;
  void* lpFormat;
  DWORD cbFormat;
  void* lpParms;
  DWORD cbParms;
  DWORD dwInterleaveEvery;
};

struct TAviFileObject;
struct TAviStreamObject;
using PAVIFILE = TAviFileObject*;
using PAVISTREAM = TAviStreamObject*;
using LPAVICOMPRESSOPTIONS = AVICOMPRESSOPTIONS*;
// The progress callback of AVISaveV: it gets the percentage done and
// carries whatever else it needs itself; a non-zero result
// (AVIERR_USERABORT) stops the save.
using AVISAVECALLBACK = std::function<LONG(int percent)>;

void AVIFileInit();
void AVIFileExit();
HRESULT AVIFileOpenA(PAVIFILE* file, const char* path, UINT mode, const void* handler);
LONG AVIFileAddRef(PAVIFILE file);
// The references left; at 0 the file is closed and, when written, complete.
LONG AVIFileRelease(PAVIFILE file);
// Completes a file opened for writing now (its headers and index go to the
// disk, which is synced) and returns what went wrong, AVIERR_FILEWRITE for
// a late write error such as a full disk; the handle stays until its last
// release, which then finds nothing more to do. A file opened for reading
// gives AVIERR_OK. An addition of this platform: a release alone reports
// nothing.
HRESULT AVIFileFinishWrite(PAVIFILE file);
HRESULT AVIFileCreateStreamA(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFOA* info);
// The lParam-th stream of type fccType (0: of any type).
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, DWORD fccType, LONG lParam);

LONG AVIStreamAddRef(PAVISTREAM stream);
LONG AVIStreamRelease(PAVISTREAM stream);
HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG pos, const void* format, LONG size);
// With no buffer, *size receives the format's size; with one, up to *size bytes are copied.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, LONG pos, void* format, LONG* size);
// Copies no more of the stream header than size bytes.
HRESULT AVIStreamInfoA(PAVISTREAM stream, AVISTREAMINFOA* info, LONG size);
LONG AVIStreamStart(PAVISTREAM stream);
LONG AVIStreamLength(PAVISTREAM stream);
// With no buffer, *bytes and *samples receive what a read would give.
HRESULT AVIStreamRead(PAVISTREAM stream, LONG start, LONG samples, void* buffer, LONG bufferSize, LONG* bytes,
                      LONG* samplesRead);
HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples, const void* buffer, LONG bufferSize,
                       DWORD flags, LONG* samplesWritten, LONG* bytesWritten);
// A copy of the stream that stays readable after the source and its file are released.
HRESULT CreateEditableStream(PAVISTREAM* result, PAVISTREAM source);
// A video stream whose frames are made as they are read: read gives the
// frameSize bytes of frame number frame, which stay as they are until read
// is called twice more, or null when the frame cannot be made. Saving it
// with AVISaveV writes frames that never went into any other file, without
// copying them on the way. The frames are asked for in order, one at a
// time, though not always from the same thread.
using AVIFRAMESOURCE = std::function<const void*(LONG frame)>;
HRESULT AVIMakeSourceStream(PAVISTREAM* stream, const AVISTREAMINFOA& info, const void* format, LONG formatSize,
                            LONG frameSize, AVIFRAMESOURCE read);
// A stream that compresses each frame written to it into source.
HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source, const AVICOMPRESSOPTIONS* options,
                                const void* handler);
// Writes a new AVI file from the streams, each with its options (or none,
// to copy it as it is), with audio interleaved with video. The file appears
// under path only when it is complete, renamed over what stood there (a
// file that a symbolic link at path points to is replaced, not the link),
// with the mode of the user's umask; until then an earlier file at path
// stays as it was.
HRESULT AVISaveV(const char* path, const void* handler, const AVISAVECALLBACK& callback, int streamCount,
                 PAVISTREAM* streams, LPAVICOMPRESSOPTIONS* options);

// The installable-compressor manager. The compressors of this platform are
// libavcodec's encoders, each under its AVI FourCC.

using WCHAR = char16_t;
using BOOL = int32_t;
struct TIcHandle;
using HIC = TIcHandle*;

constexpr DWORD ICTYPE_VIDEO = MakeFourCC('v', 'i', 'd', 'c');
constexpr UINT ICMODE_COMPRESS = 1;
constexpr UINT ICMODE_DECOMPRESS = 2;
constexpr UINT ICMODE_QUERY = 4;

constexpr LRESULT ICERR_OK = 0;
constexpr LRESULT ICERR_DONTDRAW = 1;
constexpr LRESULT ICERR_UNSUPPORTED = -1;
constexpr LRESULT ICERR_BADFORMAT = -2;
constexpr LRESULT ICERR_MEMORY = -3;
constexpr LRESULT ICERR_INTERNAL = -4;
constexpr LRESULT ICERR_BADFLAGS = -5;
constexpr LRESULT ICERR_BADPARAM = -6;
constexpr LRESULT ICERR_BADSIZE = -7;
constexpr LRESULT ICERR_ERROR = -100;

constexpr UINT ICM_USER = 0x4000;
constexpr UINT ICM_COMPRESS_GET_FORMAT = ICM_USER + 4;
constexpr UINT ICM_COMPRESS_GET_SIZE = ICM_USER + 5;
constexpr UINT ICM_COMPRESS_QUERY = ICM_USER + 6;
constexpr UINT ICM_COMPRESS_BEGIN = ICM_USER + 7;
constexpr UINT ICM_COMPRESS = ICM_USER + 8;
constexpr UINT ICM_COMPRESS_END = ICM_USER + 9;
constexpr UINT ICM_CONFIGURE = 0x500A;
constexpr uintptr_t ICMF_CONFIGURE_QUERY = 1;
constexpr DWORD ICCOMPRESS_KEYFRAME = 1;

struct ICINFO {
  DWORD dwSize;
  DWORD fccType;
  DWORD fccHandler;
  DWORD dwFlags;
  DWORD dwVersion;
  DWORD dwVersionICM;
  WCHAR szName[16];
  WCHAR szDescription[128];
  WCHAR szDriver[128];
};
static_assert(sizeof(ICINFO) == 568);

// The frame of an ICM_COMPRESS request.
struct ICCOMPRESS {
  DWORD dwFlags;  // ICCOMPRESS_KEYFRAME: make this a key frame
  BITMAPINFOHEADER* lpbiOutput;
  void* lpOutput;
  BITMAPINFOHEADER* lpbiInput;
  const void* lpInput;
  DWORD* lpckid;
  DWORD* lpdwFlags;  // receives AVIIF_KEYFRAME for a key frame
  LONG lFrameNum;
  DWORD dwFrameSize;
  DWORD dwQuality;
  BITMAPINFOHEADER* lpbiPrev;
  void* lpPrev;
};

// True when a compressor of the type stands at index fccHandler (0, 1, ...)
// of the table, or is named by fccHandler; icinfo receives what it says.
BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* icinfo);
HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT mode);
// Copies no more than size bytes of the compressor's information; returns how many.
LRESULT ICGetInfo(HIC hic, ICINFO* icinfo, DWORD size);
// A compressor (fccHandler, or any when 0) that takes input; null when none does.
HIC ICLocate(DWORD fccType, DWORD fccHandler, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output,
             UINT mode);
// ICM_COMPRESS_QUERY, _GET_FORMAT, _GET_SIZE, _BEGIN, ICM_COMPRESS, _END
// and ICM_CONFIGURE. The input of a query is the header, with the colour
// table behind it where the frames have one.
LRESULT ICSendMessage(HIC hic, UINT message, uintptr_t param1, uintptr_t param2);
LRESULT ICClose(HIC hic);

// Up to four characters as a FourCC: flags 0 keeps the letter case, and a
// shorter text is filled up with blanks.
FOURCC mmioStringToFOURCCA(const char* text, UINT flags);
constexpr UINT MMIO_TOUPPER = 0x0010;
