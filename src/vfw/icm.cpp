// The installable-compressor manager over the compressor table.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "vfw/compressor.h"
#include "vfw/vfw.h"

struct TIcHandle {
  std::shared_ptr<TCompressorDriver> Driver;
  UINT Mode = 0;
  std::vector<uint8_t> Input;            // the format of ICM_COMPRESS_BEGIN
  std::unique_ptr<TCompressor> Session;  // between ICM_COMPRESS_BEGIN and _END
  std::vector<TCompressedChunk> Pending;
};

namespace {

void CopyText(WCHAR* target, size_t capacity, const std::string& text) {
  std::fill(target, target + capacity, u'\0');
  for (size_t i = 0; i < text.size() && i < capacity; ++i) target[i] = static_cast<unsigned char>(text[i]);
}

void Describe(const TCompressorDriver& driver, ICINFO& info) {
  ICINFO whole{};
  whole.dwSize = sizeof(ICINFO);
  whole.fccType = ICTYPE_VIDEO;
  whole.fccHandler = driver.Handler();
  whole.dwVersion = 1;
  whole.dwVersionICM = 0x0104;
  CopyText(whole.szName, 16, driver.Name());
  CopyText(whole.szDescription, 128, driver.Description());
  CopyText(whole.szDriver, 128, "libavcodec");
  info = whole;
}

std::vector<std::shared_ptr<TCompressorDriver>> AvailableDrivers() {
  std::vector<std::shared_ptr<TCompressorDriver>> drivers = CompressorDrivers();
  drivers.erase(std::remove_if(drivers.begin(), drivers.end(), [](const auto& d) { return !d->Available(); }),
                drivers.end());
  return drivers;
}

// The header of a query, with its colour table when one follows it.
size_t FormatSize(const BITMAPINFOHEADER* header) {
  size_t size = std::max<uint32_t>(header->biSize, 40);
  if (header->biBitCount <= 8) {
    const size_t entries =
        header->biClrUsed ? std::min<size_t>(header->biClrUsed, 256) : size_t{1} << header->biBitCount;
    size += 4 * entries;
  }
  return size;
}

bool Takes(const TCompressorDriver& driver, const BITMAPINFOHEADER* header, bool withTable) {
  if (!header) return false;
  return driver.Accepts(reinterpret_cast<const uint8_t*>(header), withTable ? FormatSize(header) : 40);
}

LRESULT Compress(TIcHandle& h, const ICCOMPRESS& request) {
  if (!h.Session || !request.lpInput || !request.lpOutput || !request.lpbiOutput) return ICERR_BADPARAM;
  std::vector<TCompressedChunk> chunks;
  const size_t size = static_cast<size_t>(request.lpbiInput ? request.lpbiInput->biSizeImage : 0);
  const size_t frameSize =
      size ? size
           : ((static_cast<size_t>(
                   std::max(h.Input.size() >= 8 ? static_cast<int32_t>(GetLE32(&h.Input[4])) : 0, 0)) *
                   (h.Input.size() >= 16 ? GetLE16(&h.Input[14]) : 0) +
               31) /
              32) *
                 4 *
                 static_cast<size_t>(
                     std::abs(h.Input.size() >= 12 ? static_cast<int32_t>(GetLE32(&h.Input[8])) : 0));
  if (!h.Session->Compress(static_cast<const uint8_t*>(request.lpInput), frameSize,
                           (request.dwFlags & ICCOMPRESS_KEYFRAME) != 0, chunks))
    return ICERR_ERROR;
  h.Pending.insert(h.Pending.end(), chunks.begin(), chunks.end());
  // One frame in, one chunk out: an encoder that holds frames back gives an
  // empty chunk now and its chunks at the end.
  TCompressedChunk chunk;
  if (!h.Pending.empty()) {
    chunk = std::move(h.Pending.front());
    h.Pending.erase(h.Pending.begin());
  }
  if (chunk.Data.size() > request.lpbiOutput->biSizeImage && request.lpbiOutput->biSizeImage != 0)
    return ICERR_BADSIZE;
  if (!chunk.Data.empty()) std::memcpy(request.lpOutput, chunk.Data.data(), chunk.Data.size());
  request.lpbiOutput->biSizeImage = static_cast<DWORD>(chunk.Data.size());
  if (request.lpdwFlags) *request.lpdwFlags = chunk.KeyFrame ? AVIIF_KEYFRAME : 0;
  return ICERR_OK;
}

}  // namespace

BOOL ICInfo(DWORD fccType, DWORD fccHandler, ICINFO* icinfo) {
  if (!icinfo || (fccType != ICTYPE_VIDEO && fccType != 0)) return 0;
  std::vector<std::shared_ptr<TCompressorDriver>> drivers = AvailableDrivers();
  std::shared_ptr<TCompressorDriver> driver;
  if (fccHandler < drivers.size()) {
    driver = drivers[fccHandler];
  } else {
    driver = FindCompressorDriver(fccHandler);
  }
  if (!driver) return 0;
  Describe(*driver, *icinfo);
  return 1;
}

HIC ICOpen(DWORD fccType, DWORD fccHandler, UINT mode) {
  if (fccType != ICTYPE_VIDEO && fccType != 0) return nullptr;
  if (mode != ICMODE_COMPRESS && mode != ICMODE_QUERY) return nullptr;  // these drivers only compress
  std::shared_ptr<TCompressorDriver> driver = FindCompressorDriver(fccHandler);
  if (!driver) return nullptr;
  auto* handle = new TIcHandle;
  handle->Driver = std::move(driver);
  handle->Mode = mode;
  return handle;
}

LRESULT ICGetInfo(HIC hic, ICINFO* icinfo, DWORD size) {
  if (!hic || !icinfo) return 0;
  ICINFO whole{};
  Describe(*hic->Driver, whole);
  const size_t copied = std::min<size_t>(size, sizeof whole);
  std::memcpy(icinfo, &whole, copied);
  return static_cast<LRESULT>(copied);
}

HIC ICLocate(DWORD fccType, DWORD fccHandler, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER*,
             UINT mode) {
  if (!input || (fccType != ICTYPE_VIDEO && fccType != 0)) return nullptr;
  if (fccHandler != 0) {
    HIC handle = ICOpen(ICTYPE_VIDEO, fccHandler, mode);
    if (handle && !Takes(*handle->Driver, input, false)) {
      ICClose(handle);
      return nullptr;
    }
    return handle;
  }
  for (const auto& driver : AvailableDrivers())
    if (Takes(*driver, input, false)) return ICOpen(ICTYPE_VIDEO, driver->Handler(), mode);
  return nullptr;
}

LRESULT ICSendMessage(HIC hic, UINT message, uintptr_t param1, uintptr_t param2) {
  if (!hic) return ICERR_BADPARAM;
  auto* input = reinterpret_cast<const BITMAPINFOHEADER*>(param1);
  try {
    switch (message) {
      case ICM_COMPRESS_QUERY:
        // A query may come with the header alone; the colour table is not
        // needed to answer it, and is not read.
        return Takes(*hic->Driver, input, false) ? ICERR_OK : ICERR_BADFORMAT;
      case ICM_CONFIGURE:
        // None of these compressors has a configuration dialog.
        return ICERR_UNSUPPORTED;
      case ICM_COMPRESS_GET_FORMAT:
      case ICM_COMPRESS_BEGIN: {
        if (!Takes(*hic->Driver, input, true)) return ICERR_BADFORMAT;
        const auto* bytes = reinterpret_cast<const uint8_t*>(input);
        std::vector<uint8_t> format(bytes, bytes + FormatSize(input));
        std::unique_ptr<TCompressor> session =
            hic->Driver->Open(format.data(), format.size(), TCompressorSettings{});
        if (!session) return ICERR_BADFORMAT;
        if (message == ICM_COMPRESS_BEGIN) {
          hic->Input = std::move(format);
          hic->Session = std::move(session);
          hic->Pending.clear();
          return ICERR_OK;
        }
        const std::vector<uint8_t> output = session->OutputFormat();
        if (param2) std::memcpy(reinterpret_cast<void*>(param2), output.data(), output.size());
        return static_cast<LRESULT>(output.size());
      }
      case ICM_COMPRESS_GET_SIZE: {
        if (!input) return ICERR_BADPARAM;
        // Never more than the uncompressed frame at 32 bits, plus room for headers.
        return static_cast<LRESULT>(int64_t{std::abs(input->biWidth)} * std::abs(input->biHeight) * 4 +
                                    65536);
      }
      case ICM_COMPRESS:
        if (!param1) return ICERR_BADPARAM;
        return Compress(*hic, *reinterpret_cast<const ICCOMPRESS*>(param1));
      case ICM_COMPRESS_END:
        hic->Session.reset();
        hic->Pending.clear();
        return ICERR_OK;
      default:
        return ICERR_UNSUPPORTED;
    }
  } catch (...) {
    return ICERR_INTERNAL;
  }
}

LRESULT ICClose(HIC hic) {
  delete hic;
  return ICERR_OK;
}

FOURCC mmioStringToFOURCCA(const char* text, UINT flags) {
  char code[4] = {' ', ' ', ' ', ' '};
  for (int i = 0; text && i < 4 && text[i]; ++i)
    code[i] = (flags & MMIO_TOUPPER) ? static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])))
                                     : text[i];
  return MakeFourCC(code[0], code[1], code[2], code[3]);
}
