// Export of a recording of 300 JPEG pictures of 1920 x 1080 at 32 bits, in
// pictures per second: the writer alone (the pictures read ahead and saved
// in one pass, output synced), and the whole export as the Save button
// runs it in the window (its file dialog answered), with how long events
// waited meanwhile and how soon a cancel ends it. With --pictures=DIR the
// pictures are only written, as 000.jpg to 299.jpg, for ffmpeg (bench/run).
// Runs on an X server (xvfb-run).
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Main_F.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "platform/recording_folder.h"
#include "sample_pictures.h"
#include "settings_f.h"
#include "writer/AviFileWriter.h"

namespace {

constexpr int kPictures = 300;
using TClock = std::chrono::steady_clock;

std::vector<std::string> WritePictures(const std::string& folder) {
  const TBitmap desktop = ScreenLikePicture(1920 + 4 * kPictures, 1080, pf32bit);
  std::filesystem::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < kPictures; ++i) {
    TBitmap picture(1920, 1080, pf32bit);
    picture.Draw(-4 * i, 0, desktop);  // the screen scrolls, as in a real recording
    char name[16];
    std::snprintf(name, sizeof name, "/%03d.jpg", i);
    paths.push_back(folder + name);
    SaveJpegFile(picture, paths.back());
  }
  return paths;
}

// CPU time of the whole process (all threads), in milliseconds.
double CpuMilliseconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// On a virtual machine that hands freed memory back to its host, the first
// touch of a page costs the host a fault: every run starts alike after
// memory was touched and freed (as bench/run does before ffmpeg).
// Whatever an earlier run left to be written out (the pictures copied, a
// deleted video) is written out first, so it does not compete for the disk.
void Warm() {
  ::sync();
  if (getenv("PELIMAR_NO_WARM")) return;
  if (std::system("dd if=/dev/zero of=/dev/shm/pelimar-warm bs=8M count=768 status=none; "
                  "rm -f /dev/shm/pelimar-warm") != 0)
    std::fprintf(stderr, "warming failed\n");
}

const char* NameOf(const char* code) { return *code ? code : "No Compression"; }

struct TWriterRun {
  double PicturesPerSecond = 0;
  double CpuMs = 0;  // a picture
};

// The writer alone, as the export job drives it.
TWriterRun WriterOnly(const std::vector<std::string>& pictures, const char* code, const std::string& output) {
  Warm();
  TAviFileWriter writer;
  const auto start = TClock::now();
  const double cpuStart = CpuMilliseconds();
  writer.SetCompressOnTheFly(false);
  writer.SetStretch(false);
  writer.SetFrameTime(125);
  writer.Setfilename(output);
  writer.SetPixelFormat(pf32bit);
  writer.SetWidth(1920);
  writer.SetHeight(1080);
  writer.SetCompression(code);
  TPictureSequence sequence(pictures, pf32bit);
  sequence.Start();
  writer.WriteAviDirect(kPictures, [&](int32_t) -> const TBitmap& { return sequence.Next(); });
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  std::remove(output.c_str());
  return TWriterRun{kPictures / seconds, (CpuMilliseconds() - cpuStart) / kPictures};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string List(const std::vector<double>& values) {
  std::string text;
  for (double value : values) {
    char number[32];
    std::snprintf(number, sizeof number, "%s%.1f", text.empty() ? "" : " ", value);
    text += number;
  }
  return text;
}

// A recording of the pictures as a program that died would leave it, so
// that the window offers it and saves it through its Save button.
void LeaveRecording(const std::vector<std::string>& pictures) {
  std::unique_ptr<TRecordingFolder> recording = TRecordingFolder::Create(0, 125, TRect(0, 0, 1920, 1080));
  for (const std::string& picture : pictures) {
    const std::string path = recording->NewPictureFile(".jpg");
    std::filesystem::copy_file(picture, path, std::filesystem::copy_options::overwrite_existing);
    recording->AddPicture(path);
  }
}

struct TGuiRun {
  double PicturesPerSecond = 0;
  double ClearingMs = 0;  // clearing the recording away after the video was complete
  double SlowestEventMs = 0;
  double CancelMs = -1;  // from the click on "Cancel export" to the export's end in the window
};

// The whole export in the window: the offer answered with "Save...", the
// file dialog with the output; timed from the dialog's answer to the
// export's end. With cancelAt, "Cancel export" is clicked when the bar
// reaches that many pictures.
TGuiRun GuiExport(TMainForm& form, const std::vector<std::string>& pictures, int compressionLine,
                  const std::string& output, int cancelAt = -1) {
  LeaveRecording(pictures);
  SettingsForm->PixelFormatCBX->setCurrentIndex(6);  // 32 bit
  SettingsForm->PixelFormatCBXChange();
  SettingsForm->CompressionCBX->setCurrentIndex(compressionLine);
  Warm();
  TGuiRun run;
  TClock::time_point start{}, cancelled{};
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (form.SaveDialog1->isVisible()) {
      form.SaveDialog1->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(output));
      start = TClock::now();
      static_cast<QDialog*>(form.SaveDialog1)->accept();
      poll.setInterval(cancelAt >= 0 ? 5 : 50);  // a harness that costs the export little
      return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      for (QAbstractButton* button : box->buttons())
        if (button->text() == "Save..." || box->button(QMessageBox::Yes) == button) button->click();
      return;
    }
    if (cancelAt >= 0 && form.Exporting() && cancelled == TClock::time_point{} &&
        form.ProgressBar1->value() >= cancelAt) {
      cancelled = TClock::now();
      form.SaveBtn->click();
    }
  });
  poll.start(5);
  // Events sent to the window every 50 ms meanwhile: how long each waited.
  auto slowest = std::make_shared<double>(0);
  QTimer sender;
  QObject::connect(&sender, &QTimer::timeout, [&form, slowest] {
    const auto sent = TClock::now();
    QMetaObject::invokeMethod(
        &form,
        [slowest, sent] {
          *slowest = std::max(*slowest, std::chrono::duration<double, std::milli>(TClock::now() - sent).count());
        },
        Qt::QueuedConnection);
  });
  sender.start(50);
  form.OfferAbandonedRecordings();  // returns once the export has ended
  const auto end = TClock::now();
  sender.stop();
  poll.stop();
  QCoreApplication::processEvents();  // what was sent before the end
  run.SlowestEventMs = *slowest;
  // To the end of the export, as the writer alone is timed; clearing the
  // recording's pictures away after it is told apart.
  run.PicturesPerSecond = kPictures / std::chrono::duration<double>(form.LastExportEnd() - start).count();
  run.ClearingMs = std::chrono::duration<double, std::milli>(end - form.LastExportEnd()).count();
  if (cancelled != TClock::time_point{})
    run.CancelMs = std::chrono::duration<double, std::milli>(end - cancelled).count();
  std::remove(output.c_str());
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  const char* dir = getenv("TMPDIR");
  const std::string temp = dir && *dir ? dir : "/tmp";
  if (argc > 1 && std::strncmp(argv[1], "--pictures=", 11) == 0) {
    WritePictures(argv[1] + 11);
    return 0;
  }
  // Settings and recordings of the benchmark's own, gone at the end.
  const std::string home = temp + "/pelimar-export-bench-home";
  std::filesystem::create_directories(home);
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  setenv("TMPDIR", home.c_str(), 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("Pelimar");
  QApplication::setQuitOnLastWindowClosed(false);
  const std::vector<std::string> pictures = WritePictures(home + "/pictures");
  const std::string output = temp + "/pelimar-export-bench.avi";
  if (argc > 1 && std::strncmp(argv[1], "--writer=", 9) == 0) {
    // One codec through the writer alone, for a profiler.
    const TWriterRun run = WriterOnly(pictures, argv[1] + 9, output);
    std::printf("export, %s: %.1f pictures/s (CPU %.1f ms a picture)\n", NameOf(argv[1] + 9),
                run.PicturesPerSecond, run.CpuMs);
  } else {
    TMainForm form;
    form.show();
    // The disk makes single runs of the same export differ by up to a
    // tenth: three of each, taken in turns, and their medians compared.
    const char* codes[] = {"", "MJPG", "H264"};
    for (const char* code : codes) {
      const bool slow = std::strcmp(code, "H264") == 0;
      const int line = *code ? SettingsForm->CompressionCBX->findText(code, Qt::MatchStartsWith) : 0;
      std::vector<double> writer, cpu, gui, waited, clearing;
      for (int i = 0; i < (slow ? 1 : 3); ++i) {
        const TWriterRun alone = WriterOnly(pictures, code, output);
        writer.push_back(alone.PicturesPerSecond);
        cpu.push_back(alone.CpuMs);
        const TGuiRun run = GuiExport(form, pictures, line, output);
        gui.push_back(run.PicturesPerSecond);
        waited.push_back(run.SlowestEventMs);
        clearing.push_back(run.ClearingMs);
      }
      std::printf("export, %s: %.1f pictures/s by the writer alone (%s; CPU %.1f ms a picture)\n", NameOf(code),
                  Median(writer), List(writer).c_str(), Median(cpu));
      std::printf(
          "  through the window's Save button: %.1f pictures/s (%s), %+.1f%% against the writer alone; events "
          "waited at most %.1f ms; then %.0f ms to clear the recording away\n",
          Median(gui), List(gui).c_str(), (Median(gui) / Median(writer) - 1) * 100,
          *std::max_element(waited.begin(), waited.end()), Median(clearing));
      std::fflush(stdout);
    }
    for (int percent : {10, 50}) {
      const TGuiRun cancelled = GuiExport(form, pictures, 0, output, kPictures * percent / 100);
      std::printf("cancel at %d%%: the export ended %.0f ms after the click on \"Cancel export\"\n", percent,
                  cancelled.CancelMs);
    }
    form.close();
  }
  std::filesystem::remove_all(home);
  return 0;
}
