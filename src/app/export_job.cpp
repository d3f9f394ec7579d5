#include "export_job.h"

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "frame_store.h"

namespace {

// The preview box is 64 pixels square; twice that keeps it sharp on a
// scaled screen.
constexpr int32_t kPreviewSide = 128;
// A preview a tenth of a second is all the eye follows; more would only
// cost the export its time.
constexpr auto kPreviewEvery = std::chrono::milliseconds(100);

// The picture made small by taking every n-th pixel: cheap enough to do
// for a picture that is on its way into the file anyway. pixel(x, y)
// gives the picture's pixel as an RGBQUAD.
template <class TPixelOf>
TBitmap Thumbnail(int32_t width, int32_t height, const TPixelOf& pixel) {
  if (width <= 0 || height <= 0) return TBitmap();
  const double scale = std::min(1.0, static_cast<double>(kPreviewSide) / std::max(width, height));
  const int32_t w = std::max(1, static_cast<int32_t>(width * scale));
  const int32_t h = std::max(1, static_cast<int32_t>(height * scale));
  TBitmap small(w, h, pf32bit);
  for (int32_t y = 0; y < h; ++y) {
    const auto sy = static_cast<int32_t>(static_cast<int64_t>(y) * height / h);
    for (int32_t x = 0; x < w; ++x)
      small.SetPixel(x, y, pixel(static_cast<int32_t>(static_cast<int64_t>(x) * width / w), sy));
  }
  return small;
}

TBitmap Thumbnail(const TBitmap& picture) {
  return Thumbnail(picture.Width(), picture.Height(),
                   [&](int32_t x, int32_t y) { return picture.Pixel(x, y); });
}

TBitmap Thumbnail(const TSequencePicture& picture) {
  if (!picture.Bitmap.Empty()) return Thumbnail(picture.Bitmap);
  return Thumbnail(picture.Yuv.Width, picture.Yuv.Height, [&](int32_t x, int32_t y) {
    const uint32_t rgb = JpegYuvPixel(picture.Yuv, x, y);
    return RGBQUAD{static_cast<uint8_t>(rgb), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb >> 16), 0};
  });
}

}  // namespace

TExportJob::TExportJob(TAviFileWriter& writer, std::vector<std::string> frames)
    : FWriter(&writer), FFrames(std::move(frames)) {}

TExportJob::TExportJob(const TShareOptions& share, std::string target, std::vector<std::string> frames)
    : FShare(share), FTarget(std::move(target)), FFrames(std::move(frames)) {}

// The recording's pictures as the sharing formats' writer takes them, each
// pass read afresh from the files.
class TExportJob::TShareFeed final : public TShareSource {
 public:
  explicit TShareFeed(TExportJob& job) : FJob(job) {}
  int32_t Count() const override { return static_cast<int32_t>(FJob.FFrames.size()); }
  void Rewind() override { FSequence.reset(); }
  const TBitmap& Picture(int32_t index, bool final) override {
    const TSequencePicture& picture = Sequence(false).NextPicture();
    FJob.Passing(index, [&] { return Thumbnail(picture); }, FSequence->Unreadable(), final);
    return picture.Bitmap;
  }
  TFrame Frame(int32_t index, bool final) override {
    const TSequencePicture& picture = Sequence(true).NextPicture();
    FJob.Passing(index, [&] { return Thumbnail(picture); }, FSequence->Unreadable(), final);
    return picture.Yuv.Empty() ? TFrame{&picture.Bitmap, nullptr} : TFrame{nullptr, &picture.Yuv};
  }
  bool Progress(int64_t done, int64_t total) override {
    FJob.FFramesDone = static_cast<int32_t>(done * Count() / std::max<int64_t>(total, 1));
    return !FJob.FCancel;
  }

 private:
  // The pass's pictures, read from the first as pixels or as JPEG's planes.
  TPictureSequence& Sequence(bool planes) {
    if (!FSequence) {
      FSequence = std::make_unique<TPictureSequence>(FJob.FFrames, pf32bit, planes);
      if (!FSequence->Start())
        throw Exception("None of the " + std::to_string(FJob.FFrames.size()) +
                        " pictures of the recording could be read");
    }
    return *FSequence;
  }

  TExportJob& FJob;
  std::unique_ptr<TPictureSequence> FSequence;
};

TExportJob::~TExportJob() {
  Cancel();
  Wait();
}

void TExportJob::Start() {
  FThread = std::thread([this] { Run(); });
}

void TExportJob::Cancel() {
  std::lock_guard<std::mutex> guard(FLock);
  if (FEnded || FCancel) return;
  FCancel = true;
  FCancelledAt = std::chrono::steady_clock::now();
  FAnswered.notify_all();  // a question still open counts as a no
}

void TExportJob::Wait() {
  if (FThread.joinable()) FThread.join();
}

TBitmap TExportJob::TakePreview() {
  std::lock_guard<std::mutex> guard(FLock);
  if (!FPreviewFresh) return TBitmap();
  FPreviewFresh = false;
  return FPreview;
}

void TExportJob::Answer(bool exportOthers) {
  std::lock_guard<std::mutex> guard(FLock);
  FHasAnswer = true;
  FExportOthers = exportOthers;
  FAnswered.notify_all();
}

std::string TExportJob::Failure() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FFailure;
}

std::chrono::steady_clock::time_point TExportJob::CancelledAt() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FCancelledAt;
}

std::chrono::steady_clock::time_point TExportJob::EndedAt() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FEndedAt;
}

void TExportJob::Progress(int32_t frameCount, bool& abort) {
  FFramesDone = frameCount;
  if (FCancel) abort = true;
}

const TBitmap& TExportJob::Picture(int32_t index, const TBitmap& picture, size_t unreadable) {
  Passing(index, [&] { return Thumbnail(picture); }, unreadable, true);
  return picture;
}

void TExportJob::Passing(int32_t index, const std::function<TBitmap()>& thumbnail, size_t unreadable,
                         bool final) {
  const auto now = std::chrono::steady_clock::now();
  bool preview;
  {
    std::lock_guard<std::mutex> guard(FLock);
    preview = index == 0 || now - FLastPreview >= kPreviewEvery;
    if (preview) FLastPreview = now;
  }
  if (preview) {
    TBitmap small = thumbnail();
    std::lock_guard<std::mutex> guard(FLock);
    FPreview = std::move(small);
    FPreviewFresh = true;
  }
  if (!final || static_cast<size_t>(index) + 1 < FFrames.size()) return;
  // The last picture: only now is it known how many could not be read, and
  // nothing has reached the target yet.
  if (unreadable > 0) {
    FUnreadable = unreadable;
    FStage = TStage::Asking;
    std::unique_lock<std::mutex> lock(FLock);
    FAnswered.wait(lock, [this] { return FHasAnswer || FCancel; });
    if (!FHasAnswer || !FExportOthers) {
      FCancel = true;  // the next report stops the save
      return;
    }
  }
  FStage = TStage::Writing;
}

void TExportJob::Run() {
  TStage end = TStage::Done;
  std::string failure;
  try {
    if (FWriter) {
      // A 32-bit video takes 32-bit pictures as they are.
      TPictureSequence sequence(FFrames, FWriter->PixelFormat() == pf32bit ? pf32bit : pf24bit);
      if (!sequence.Start())
        throw Exception("None of the " + std::to_string(FFrames.size()) +
                        " pictures of the recording could be read");
      FWriter->WriteAviDirect(static_cast<int32_t>(FFrames.size()), [&](int32_t index) -> const TBitmap& {
        const TBitmap& picture = sequence.Next();
        return Picture(index, picture, sequence.Unreadable());
      });
      if (FWriter->Aborted() || FCancel) end = TStage::Cancelled;
    } else {
      TShareFeed feed(*this);
      if (!WriteSharedVideo(FTarget, FShare, feed)) end = TStage::Cancelled;
    }
  } catch (const Exception& e) {
    end = TStage::Failed;
    failure = e.Message();
  } catch (const std::exception& e) {
    end = TStage::Failed;
    failure = e.what();
  }
  {
    std::lock_guard<std::mutex> guard(FLock);
    FFailure = failure;
    FEndedAt = std::chrono::steady_clock::now();
    FStage = end;
    FEnded = true;
  }
  if (OnEnded) OnEnded();
}
