// Saving a recording as an AVI file, read back with ffprobe and ffmpeg.
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QRegularExpression>
#include <QTest>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "Main_F.h"
#include "base/file.h"
#include "export_job.h"
#include "export_progress.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "image_box.h"
#include "platform/recording_folder.h"
#include "platform/registry.h"
#include "qt_support.h"
#include "qt_test_support.h"
#include "recording_session.h"
#include "sample_pictures.h"
#include "save_dialog.h"
#include "settings_f.h"
#include "test_support.h"
#include "x_server.h"

namespace {

// Chooses a filter of the file dialog as a user does, by its index.
void ChooseFilter(QFileDialog& dialog, int index) {
  auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
  types->setCurrentIndex(index);
  emit types->activated(index);
  emit types->textActivated(types->itemText(index));
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The files of the temporary folder that this process holds open.
std::vector<std::string> OpenFiles(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind(folder, 0) == 0) files.push_back(target);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

class TestExport : public TWindowSuite {
  Q_OBJECT

 public:
  using TWindowSuite::TWindowSuite;

 private:
  // A stopped recording of the given pictures, stored as the ticks store
  // them: JPEG files where jpeg says so, else BMP.
  void Record(const std::vector<TBitmap>& pictures, bool jpeg) {
    Record(pictures, std::vector<bool>(pictures.size(), jpeg));
  }
  void Record(const std::vector<TBitmap>& pictures, const std::vector<bool>& jpeg) {
    TRecordingSession& session = Form->FSession;
    TRecordingStart start;
    start.Started = 1765000000000;
    start.FrameTime = 125;
    start.Area = TRect(0, 0, pictures.at(0).Width(), pictures.at(0).Height());
    QVERIFY(session.Begin(start));
    for (size_t i = 0; i < pictures.size(); ++i) session.AddPicture(pictures[i], jpeg[i], int64_t(i), 125);
    QVERIFY(session.Stop(125));
    Form->ShowState();
  }
  std::vector<TBitmap> NumberedPictures(int count, int32_t width = 64, int32_t height = 48) {
    std::vector<TBitmap> pictures;
    for (int i = 0; i < count; ++i) pictures.push_back(Numbered(width, height, i));
    return pictures;
  }
  // Presses Save and answers the file dialog with path, or cancels it when
  // path is empty; message boxes are answered with answer.
  QStringList Save(const std::string& path, QMessageBox::StandardButton answer = QMessageBox::Ok) {
    TMessageBoxes boxes(answer);
    StartSave(path);
    Form->WaitForExport();
    return boxes.Texts;
  }
  // Presses Save and answers the file dialog with path: the export runs on.
  void StartSave(const std::string& path) {
    QTimer::singleShot(0, [this, path] {
      QTRY_VERIFY(Form->SaveDialog1->isVisible());
      if (path.empty()) {
        Form->SaveDialog1->reject();
      } else {
        Form->SaveDialog1->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(Form->SaveDialog1)->accept();  // as the Save button does
        // Still open after a "no" to replacing a file: give up.
        if (Form->SaveDialog1->isVisible()) Form->SaveDialog1->reject();
      }
    });
    Form->SaveBtn->click();
  }

  // Holds the export on its own thread at the first progress report for
  // which stop says so, until the test lets it go or the export is
  // cancelled: what the window does meanwhile cannot race the export.
  struct THold {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Reached = false;
    bool Released = false;
    void Release() {
      std::lock_guard<std::mutex> guard(Lock);
      Released = true;
      Changed.notify_all();
    }
  };
  void HoldExport(THold& hold, std::function<bool(int32_t)> stop) {
    Form->AviWriter->OnProgress = [this, &hold, stop](TAviFileWriter& sender, int32_t frameCount,
                                                      bool& abort) {
      const TExportJob& job = *Form->Export->Job();  // there until the export has ended
      if (stop(frameCount)) {
        std::unique_lock<std::mutex> lock(hold.Lock);
        if (!hold.Reached) {
          hold.Reached = true;
          while (!hold.Released && job.CancelledAt() == std::chrono::steady_clock::time_point{})
            hold.Changed.wait_for(lock, std::chrono::milliseconds(5));
        }
      }
      Form->AviWriterProgress(sender, frameCount, abort);
    };
  }
  bool Reached(THold& hold) {
    std::lock_guard<std::mutex> guard(hold.Lock);
    return hold.Reached;
  }
  void VerifyNothingWritten(const std::string& path) {
    QVERIFY(!std::filesystem::exists(path));
    QVERIFY(!std::filesystem::exists(Form->AviWriter->TempFileName()));
    for (const std::string& file : EverythingUnder(Temp->Path()))
      QVERIFY2(file.find(".pelimar-") == std::string::npos, file.c_str());  // no half-written save
  }
  void VerifyRecordingKept(size_t count) {
    QCOMPARE(Form->Frames().size(), count);
    for (const std::string& path : Form->Frames()) QVERIFY(std::filesystem::exists(path));
    QVERIFY(Form->SaveBtn->isEnabled());
    QVERIFY(Form->SizeLabel->text() != "Disk space: 0  bytes (temp)" || Form->DiskUse() == 0);
  }
  void VerifyRecordingGone(const std::vector<std::string>& pictures) {
    QVERIFY(Form->Frames().empty());
    for (const std::string& path : pictures) QVERIFY(!std::filesystem::exists(path));
    QVERIFY(!Form->SaveBtn->isEnabled());
    QCOMPARE(Form->SizeLabel->text(), QString("Disk space: 0  bytes (temp)"));
  }

 private slots:
  void CancellingTheDialogKeepsTheRecording() {
    Record(NumberedPictures(3), true);
    Form->UpdateSizeLabel(12345);
    QVERIFY(Save("").isEmpty());
    VerifyRecordingKept(3);
    QCOMPARE(Form->SizeLabel->text(), QString("Disk space: 12 kb (temp)"));
  }

  // No line or line 0 means no compressor; any other line its first four
  // characters. The frame time is the rate as it stands when saving.
  void TheFileHasOneFramePerPictureWithTheChosenCompressorAndRate() {
    struct TCase {
      int line;
      const char* codec;
      int rate;
      const char* frameRate;
    } cases[] = {{-1, "rawvideo", 8, "1/8"}, {0, "rawvideo", 10, "1/10"}, {1, "mjpeg", 3, "333/1000"}};
    for (const TCase& c : cases) {
      const std::vector<TBitmap> pictures = NumberedPictures(5);
      Record(pictures, true);
      const std::vector<std::string> files = Form->Frames();
      SettingsForm->FPSSpin->setValue(c.rate);
      SettingsForm->CompressionCBX->setCurrentIndex(c.line);
      if (c.line == 1) QVERIFY(SettingsForm->CompressionCBX->currentText().startsWith("MJPG "));
      const std::string path = Temp->File("video" + std::to_string(c.line) + ".avi");
      QVERIFY(Save(path).isEmpty());
      QCOMPARE(QString::fromStdString(Form->AviWriter->FourCC()), QString(c.line < 1 ? "" : "MJPG"));
      VerifyRecordingGone(files);
      QCOMPARE(Form->ProgressLabel->text(), QString("Done..."));
      const std::string probe = ProbeVideo(path);
      QVERIFY2(probe.find(std::string("codec_name=") + c.codec) != std::string::npos, probe.c_str());
      QVERIFY2(probe.find("width=64\nheight=48\n") != std::string::npos, probe.c_str());
      QVERIFY2(probe.find(std::string("time_base=") + c.frameRate) != std::string::npos, probe.c_str());
      QVERIFY2(probe.find("nb_read_frames=5") != std::string::npos, probe.c_str());
    }
  }

  // The bar follows the save to its last report; the preview is a picture
  // of the recording as it was decoded for the file.
  void ProgressAndPreviewFollowTheExport() {
    for (int count : {45, 40, 1}) {
      Record(NumberedPictures(count), true);
      const std::vector<std::string> files = Form->Frames();
      const TBitmap first = LoadPictureFile(files[0], pf32bit);
      std::vector<QImage> decoded;
      for (const std::string& file : files)
        decoded.push_back(ToQImage(LoadPictureFile(file, pf32bit)).convertToFormat(QImage::Format_RGB32));
      std::vector<int32_t> reports;  // made on the export's thread, read once it ended
      Form->AviWriter->OnProgress = [&](TAviFileWriter& sender, int32_t frameCount, bool& abort) {
        reports.push_back(frameCount);
        Form->AviWriterProgress(sender, frameCount, abort);
      };
      const std::string path = Temp->File("progress" + std::to_string(count) + ".avi");
      QVERIFY(Save(path).isEmpty());
      QCOMPARE(Form->ProgressBar1->maximum(), count);
      QVERIFY(!reports.empty());
      QVERIFY(std::is_sorted(reports.begin(), reports.end()));
      // The save's last report is 45 of 45, but 39 of 40 (40 x 0.01 x 100
      // falls just short in binary); the label says "Done..." either way.
      if (count == 45) QCOMPARE(reports.back(), 45);
      if (count == 40) QCOMPARE(reports.back(), 39);
      QCOMPARE(Form->ProgressBar1->value(), reports.back());
      QCOMPARE(Form->ProgressLabel->text(), QString("Done..."));
      const QImage preview = Form->StatusImg->Picture().convertToFormat(QImage::Format_RGB32);
      QVERIFY(std::find(decoded.begin(), decoded.end(), preview) != decoded.end());
      QVERIFY(ProbeVideo(path).find("nb_read_frames=" + std::to_string(count)) != std::string::npos);
      // The first frame is the first picture, as JPEG gave it back.
      QVERIFY(FrameBytes(path, 0) == PictureBytes(first));
    }
  }

  // The video takes the first picture's size; others are centred on black
  // or cropped, never scaled. JPEG and BMP pictures mix in one recording.
  void PicturesOfOtherSizesAndKindsAreCentred() {
    const std::vector<TBitmap> pictures = {Numbered(40, 30, 1), Numbered(60, 50, 2), Numbered(20, 10, 3)};
    Record(pictures, std::vector<bool>{false, true, false});
    SettingsForm->JpegCB->setChecked(true);
    // The JPEG picture as it decodes, cropped to the middle of it.
    TBitmap cropped(40, 30, pf32bit);
    cropped.Draw(-10, -10, LoadPictureFile(Form->Frames()[1], pf32bit));
    TBitmap centred(40, 30, pf32bit);
    centred.FillRect(TRect(0, 0, 40, 30), RGBQUAD{0, 0, 0, 0});
    centred.Draw(10, 10, pictures[2]);
    const std::string path = Temp->File("sizes.avi");
    QVERIFY(Save(path).isEmpty());
    QVERIFY(ProbeVideo(path).find("width=40\nheight=30\ntime_base=1/8\nnb_read_frames=3") !=
            std::string::npos);
    QVERIFY(FrameBytes(path, 0) == PictureBytes(pictures[0]));
    QVERIFY(FrameBytes(path, 1) == PictureBytes(cropped));
    QVERIFY(FrameBytes(path, 2) == PictureBytes(centred));
  }

  // A failed export keeps the recording, leaves the writer with nothing
  // open and the file it was to replace as it was, so the next try starts
  // afresh and succeeds.
  void AFailedExportKeepsTheRecordingAndTheFileItWasToReplace() {
    Record(NumberedPictures(25, 63, 47), true);
    SettingsForm->PixelFormatCBX->setCurrentIndex(4);  // "16 bit"
    QCOMPARE(Save(Temp->File("refused.avi")), QStringList{"Pixelformat not supported."});
    const std::vector<std::string> descriptors = OpenFiles(Temp->Path());
    VerifyRecordingKept(25);
    QVERIFY(!std::filesystem::exists(Temp->File("refused.avi")));

    // H.264 takes no odd sides: said before anything is written. The file
    // at the target survives it.
    SettingsForm->PixelFormatCBX->setCurrentIndex(6);  // "32 bit"
    SettingsForm->PixelFormatCBXChange();
    SettingsForm->CompressionCBX->setCurrentIndex(
        SettingsForm->CompressionCBX->findText("H264", Qt::MatchStartsWith));
    const std::string path = Temp->File("existing.avi");
    std::ofstream(path) << "keep me";
    const QStringList messages = Save(path, QMessageBox::Yes);
    QCOMPARE(messages.size(), 2);  // replace it?, then the failure
    QCOMPARE(messages[1],
             QString("H264 cannot compress pictures of 63 x 47; choose another compression or an "
                     "area with even sides."));
    VerifyRecordingKept(25);
    QCOMPARE(ReadText(path), std::string("keep me"));
    QVERIFY(!std::filesystem::exists(Form->AviWriter->TempFileName()));
    QCOMPARE(EverythingUnder(Temp->Path() + "pelimar-" + std::to_string(geteuid())).size(), size_t{27});
    QCOMPARE(OpenFiles(Temp->Path()), descriptors);
    for (const std::string& file : EverythingUnder(Temp->Path()))
      QVERIFY2(file.find(".pelimar-") == std::string::npos, file.c_str());  // no half-written save

    SettingsForm->CompressionCBX->setCurrentIndex(0);
    QCOMPARE(Save(path, QMessageBox::Yes).size(), 1);
    QVERIFY(ProbeVideo(path).find("nb_read_frames=25") != std::string::npos);
    QVERIFY(Form->Frames().empty());
  }

  // The compression is the user's choice: after a video of odd sides was
  // saved, the next recording of odd sides still lists H.264 where it
  // was, marked with what it needs and still chosen; Save then says why it
  // cannot, before anything is written, and the choice is what is kept.
  void TheCompressionChoiceStaysTheUsers() {
    auto choose = [](const char* code) {
      const int line = SettingsForm->CompressionCBX->findText(code, Qt::MatchStartsWith);
      SettingsForm->CompressionCBX->setCurrentIndex(line);
      return line;
    };
    // The dialog as the user opens it and closes it again, untouched.
    auto shown = [this] {
      QString chosen;
      QTimer::singleShot(0, [&chosen] {
        QTRY_VERIFY(SettingsForm->isVisible());
        chosen = SettingsForm->CompressionCBX->currentText();
        SettingsForm->accept();
      });
      Form->SpeedButton3Click();
      return chosen;
    };
    const QString mjpg = SettingsForm->CompressionCBX->itemText(choose("MJPG"));
    Record(NumberedPictures(3, 401, 261), true);
    QCOMPARE(shown(), mjpg);
    QVERIFY(Save(Temp->File("odd.avi")).isEmpty());
    QCOMPARE(FrameCountOf(Temp->File("odd.avi")), 3);
    const int h264 = choose("H264");
    const QString line = SettingsForm->CompressionCBX->itemText(h264);
    QVERIFY(h264 > 0);
    Record(NumberedPictures(3, 401, 261), true);
    QCOMPARE(shown(), line + " (needs even sides)");
    QCOMPARE(SettingsForm->CompressionCBX->currentIndex(), h264);
    QVERIFY(SettingsForm->CompressionCBX->findText(mjpg) > 0);  // it takes any size: no mark
    QCOMPARE(
        Save(Temp->File("refused.avi")),
        QStringList{"H264 cannot compress pictures of 401 x 261; choose another compression or an area with "
                    "even sides."});
    VerifyRecordingKept(3);
    QVERIFY(!std::filesystem::exists(Temp->File("refused.avi")));
    // A recording of even sides takes it, without a mark.
    Record(NumberedPictures(3, 402, 262), true);
    QCOMPARE(shown(), line);
    QVERIFY(Save(Temp->File("even.avi")).isEmpty());
    QVERIFY(ProbeVideo(Temp->File("even.avi")).find("codec_name=h264") != std::string::npos);
    CloseWindow(Form);
    QVERIFY(ReadText(HivePath())
                .find(QString("\"Compression\"=dword:%1").arg(h264, 8, 16, QChar('0')).toStdString()) !=
            std::string::npos);
  }

  // The save says what it does: "Compressing..." while the pictures are
  // compressed, "Writing file..." while the file is written, which is the
  // whole save without compression.
  void TheSaveSaysWhatItDoes() {
    struct TCase {
      const char* Code;
      bool AtTheEnd;
      const char* Said;
    } cases[] = {
        {"", false, "Writing file..."}, {"MJPG", false, "Compressing..."}, {"MJPG", true, "Writing file..."}};
    for (const TCase& c : cases) {
      SettingsForm->CompressionCBX->setCurrentIndex(
          *c.Code ? SettingsForm->CompressionCBX->findText(c.Code, Qt::MatchStartsWith) : 0);
      Record(NumberedPictures(40), true);
      THold hold;
      HoldExport(hold, [this, &c](int32_t frames) {
        return c.AtTheEnd ? Form->Export->Job()->Stage() == TExportJob::TStage::Writing : frames >= 20;
      });
      StartSave(Temp->File("said.avi"));
      QTRY_VERIFY(Reached(hold));
      QTRY_COMPARE(Form->ProgressLabel->text(), QString(c.Said));
      hold.Release();
      Form->WaitForExport();
      QCOMPARE(Form->ProgressLabel->text(), QString("Done..."));
      std::filesystem::remove(Temp->File("said.avi"));
    }
  }

  // Pictures gone or damaged before the export: asked once; a no keeps all
  // as it was, a yes gives a video of every frame, the unreadable ones
  // repeating the picture before them.
  void UnreadablePicturesAreAskedAboutOnce() {
    Record(NumberedPictures(25), true);
    const std::vector<std::string> files = Form->Frames();
    std::filesystem::remove(files[0]);
    std::filesystem::remove(files[22]);
    std::ofstream(files[10]) << "not a picture";
    const std::string path = Temp->File("gaps.avi");
    QCOMPARE(Save(path, QMessageBox::No),
             QStringList{"3 of the 25 pictures could not be read. Export the others?"});
    QCOMPARE(Form->Frames(), files);  // the recording stays as it is
    QVERIFY(Form->SaveBtn->isEnabled());
    QVERIFY(!std::filesystem::exists(path));
    QVERIFY(!std::filesystem::exists(Form->AviWriter->TempFileName()));

    QCOMPARE(Save(path, QMessageBox::Yes).size(), 1);
    VerifyRecordingGone(files);
    QVERIFY(ProbeVideo(path).find("width=64\nheight=48\ntime_base=1/8\nnb_read_frames=25") !=
            std::string::npos);
    std::vector<std::string> pictures(25);
    Record(NumberedPictures(25), true);  // the same pictures again, to compare with
    for (size_t i = 0; i < 25; ++i) pictures[i] = PictureBytes(LoadPictureFile(Form->Frames()[i], pf32bit));
    for (int frame : {0, 1, 9, 10, 11, 21, 22, 23}) {
      const size_t shown = frame == 0 ? 1 : frame == 10 ? 9 : frame == 22 ? 21 : static_cast<size_t>(frame);
      QVERIFY2(FrameBytes(path, frame) == pictures[shown], qPrintable(QString::number(frame)));
    }

    // None left at all: said so, and the recording stays.
    for (const std::string& file : Form->Frames()) std::filesystem::remove(file);
    QCOMPARE(Save(Temp->File("nothing.avi")),
             QStringList{"None of the 25 pictures of the recording could be read."});
    QCOMPARE(Form->FrameCount(), 25);
    QVERIFY(Form->SaveBtn->isEnabled());
    Form->ClearFrames();
  }

  // The video replaces what a link at the chosen name points to and keeps
  // the mode that file had, whatever the umask; while it is made, the
  // recording's folder and files are the user's alone.
  void SavedFilesKeepTheModeOfWhatTheyReplaceThroughALink() {
    Record(NumberedPictures(20), true);
    const std::string real = Temp->File("real.avi"), link = Temp->File("link.avi");
    std::ofstream(real) << "an older video";
    std::filesystem::permissions(real, std::filesystem::perms(0604));
    std::filesystem::create_symlink(real, link);
    std::vector<unsigned> modes;
    Form->AviWriter->OnProgress = [&](TAviFileWriter& sender, int32_t frameCount, bool& abort) {
      if (modes.empty())
        for (const std::string& file : EverythingUnder(Form->Session().Folder()->Path()))
          modes.push_back(ModeOf(file));
      Form->AviWriterProgress(sender, frameCount, abort);
    };
    const mode_t old = umask(027);
    const QStringList messages = Save(link, QMessageBox::Yes);
    umask(old);
    QCOMPARE(messages.size(), 1);  // replace it?
    QVERIFY(std::filesystem::is_symlink(link));
    QCOMPARE(ModeOf(real), 0604u);
    QVERIFY(ProbeVideo(real).find("nb_read_frames=20") != std::string::npos);
    // The journal and 20 pictures: the frames go nowhere but into the video.
    QCOMPARE(modes, std::vector<unsigned>(21, 0600u));
  }

  // The frames go straight into the video: a full disk at the target is
  // said, leaves nothing there, and keeps the recording.
  void AFullDiskAtTheTargetLeavesNothingThere() {
    TSmallDisk disk(2048);
    if (!disk.Mounted()) QSKIP("mounting a small disk needs root");
    Record(NumberedPictures(25, 640, 480), true);
    const QStringList messages = Save(disk.Path() + "full.avi");
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].startsWith("Unable to write output file. Error "), qPrintable(messages[0]));
    VerifyRecordingKept(25);
    QCOMPARE(EverythingUnder(disk.Path()), std::vector<std::string>());
    Form->ClearFrames();
  }

  // Cancelled at a tenth, at half and while the file is completed: nothing
  // at the target or beside it, the recording as it was, and the next
  // export makes the whole video.
  void ACancelledExportLeavesNothingAndKeepsTheRecording() {
    constexpr int kCount = 60;
    Record(NumberedPictures(kCount), true);
    const std::vector<std::string> files = Form->Frames();
    const std::string path = Temp->File("cancelled.avi");
    std::function<bool(int32_t)> stops[] = {
        [](int32_t frames) { return frames >= kCount / 10; },
        [](int32_t frames) { return frames >= kCount / 2; },
        [this](int32_t) { return Form->Export->Job()->Stage() == TExportJob::TStage::Writing; }};
    for (auto& stop : stops) {
      THold hold;
      HoldExport(hold, stop);
      TMessageBoxes boxes;
      StartSave(path);
      QTRY_VERIFY(Reached(hold));
      QVERIFY(Form->Exporting());
      if (&stop == &stops[2]) QTRY_COMPARE(Form->ProgressLabel->text(), QString("Writing file..."));
      // Meanwhile nothing that would change the recording can be pressed.
      QVERIFY(!Form->SetAreaBtn->isEnabled() && !Form->RecordBtn->isEnabled() &&
              !Form->SettingsBtn->isEnabled());
      QCOMPARE(Form->SaveBtn->text(), QString("Cancel export"));
      Form->SaveBtn->click();
      Form->WaitForExport();
      QCOMPARE(boxes.Texts, QStringList());
      QCOMPARE(Form->ProgressLabel->text(), QString("Cancelled..."));
      QCOMPARE(Form->SaveBtn->text(), QString("S&ave recording to disk..."));
      QVERIFY(Form->SetAreaBtn->isEnabled() && Form->SettingsBtn->isEnabled());
      VerifyNothingWritten(path);
      QCOMPARE(Form->Frames(), files);
      VerifyRecordingKept(kCount);
    }
    Form->AviWriter->OnProgress = [this](TAviFileWriter& sender, int32_t frames, bool& abort) {
      Form->AviWriterProgress(sender, frames, abort);
    };
    QVERIFY(Save(path).isEmpty());
    QVERIFY(ProbeVideo(path).find("nb_read_frames=" + std::to_string(kCount)) != std::string::npos);
    VerifyRecordingGone(files);
  }

  // Closing the window while a video is saved asks first: a no lets the
  // export finish, a yes stops it with nothing written.
  void ClosingDuringAnExportAsks() {
    for (QMessageBox::StandardButton answer : {QMessageBox::No, QMessageBox::Yes}) {
      Record(NumberedPictures(30), true);
      const std::string path = Temp->File(answer == QMessageBox::No ? "kept.avi" : "closed.avi");
      THold hold;
      HoldExport(hold, [](int32_t frames) { return frames >= 3; });
      TMessageBoxes boxes(answer);
      StartSave(path);
      QTRY_VERIFY(Reached(hold));
      Form->close();
      QCOMPARE(boxes.Texts, QStringList{"A video is being saved. Stop saving it and close?"});
      if (answer == QMessageBox::No) {
        QVERIFY(Form->isVisible());
        QVERIFY(Form->Exporting());
        hold.Release();
        Form->WaitForExport();
        QVERIFY(ProbeVideo(path).find("nb_read_frames=30") != std::string::npos);
      } else {
        QVERIFY(!Form->Exporting());
        QVERIFY(!Form->isVisible());
        VerifyNothingWritten(path);
      }
    }
  }

  // The window goes on handling what it is sent while a long export runs.
  void TheWindowAnswersDuringAnExport() {
    std::vector<TBitmap> pictures;
    const TBitmap desktop = ScreenLikePicture(640 + 2 * 300, 480, pf32bit);
    for (int i = 0; i < 300; ++i) {
      TBitmap picture(640, 480, pf32bit);
      picture.Draw(-2 * i, 0, desktop);
      pictures.push_back(std::move(picture));
    }
    Record(pictures, true);
    struct TSeen {
      int HandledDuring = 0;
      std::chrono::steady_clock::duration Slowest{};
    };
    auto seen = std::make_shared<TSeen>();  // also for what is still queued at the end
    TMainForm* form = Form.get();
    QTimer sender;
    QObject::connect(&sender, &QTimer::timeout, [form, seen] {
      const auto sent = std::chrono::steady_clock::now();
      // A move of the pointer over the window, handled when the queue gets to it.
      QTest::mouseMove(form->SaveBtn, QPoint(10 + seen->HandledDuring % 20, 10));
      QMetaObject::invokeMethod(
          form,
          [form, seen, sent] {
            if (form->Exporting()) ++seen->HandledDuring;
            seen->Slowest = std::max(seen->Slowest, std::chrono::steady_clock::now() - sent);
          },
          Qt::QueuedConnection);
    });
    sender.start(20);
    QVERIFY(Save(Temp->File("long.avi")).isEmpty());
    sender.stop();
    QCoreApplication::processEvents();
    qInfo("%d events handled during the export, the slowest after %.1f ms", seen->HandledDuring,
          std::chrono::duration<double, std::milli>(seen->Slowest).count());
    QVERIFY(seen->HandledDuring >= 5);
    QVERIFY(ProbeVideo(Temp->File("long.avi")).find("nb_read_frames=300") != std::string::npos);
  }

  // Replacing a file needs a yes; a no returns to the dialog.
  void AnExistingFileIsReplacedOnlyWhenTheUserSaysSo() {
    const std::string path = Temp->File("existing.avi");
    std::ofstream(path) << "keep me";
    Record(NumberedPictures(2), true);
    QStringList asked = Save(path, QMessageBox::No);
    QCOMPARE(asked.size(), 1);
    QVERIFY2(asked[0].contains("already exists"), qPrintable(asked[0]));
    VerifyRecordingKept(2);
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    QCOMPARE(text, std::string("keep me"));
    QCOMPARE(Save(path, QMessageBox::Yes).size(), 1);
    QVERIFY(ProbeVideo(path).find("nb_read_frames=2") != std::string::npos);
    // The name chosen last is proposed again.
    Record(NumberedPictures(1), true);
    QTimer::singleShot(0, [this, path] {
      QTRY_VERIFY(Form->SaveDialog1->isVisible());
      QCOMPARE(Form->SaveDialog1->selectedFiles().value(0), QString::fromStdString(path));
      Form->SaveDialog1->reject();
    });
    Form->SaveBtn->click();
  }

  // "Alla filer (*.*)" lists every file, those without an extension too,
  // and keeps the name's own extension; its caption stays as it is.
  void AllFilesListsEveryFile() {
    const std::string folder = Temp->File("listed");
    std::filesystem::create_directory(folder);
    for (const char* name : {"notes", "clip.avi", "a.txt"}) std::ofstream(folder + "/" + name) << name;
    Record(NumberedPictures(1), true);
    QStringList listed;
    QString name;
    QTimer::singleShot(0, [&] {
      QFileDialog& dialog = *Form->SaveDialog1;
      QTRY_VERIFY(dialog.isVisible());
      dialog.setDirectory(QString::fromStdString(folder));
      dialog.findChild<QLineEdit*>("fileNameEdit")->setText("video.avi");
      auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
      QCOMPARE(types->itemText(4), QString("Alla filer (*.*)"));
      ChooseFilter(dialog, 4);
      auto* view = dialog.findChild<QListView*>("listView");
      QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 3);
      for (int row = 0; row < 3; ++row)
        listed << view->model()->index(row, 0, view->rootIndex()).data().toString();
      name = dialog.findChild<QLineEdit*>("fileNameEdit")->text();
      dialog.reject();
    });
    Form->SaveBtn->click();
    listed.sort();
    QCOMPARE(listed, QStringList({"a.txt", "clip.avi", "notes"}));
    QCOMPARE(name, QString("video.avi"));
  }

  // The name's extension chooses the format, whatever the filter; a name
  // without one takes the filter's format and extension, and "Alla filer"
  // the AVI's, as ever. The saved video holds every picture.
  void TheNameOrTheFilterChoosesTheFormat() {
    const struct {
      const char* Name;
      int Filter;
      const char* File;
      const char* Codec;
    } cases[] = {{"shared.gif", 0, "shared.gif", "gif"},
                 {"shared", 1, "shared.mp4", "h264"},
                 {"shared", 2, "shared.webm", "vp9"},
                 {"shared", 4, "shared.avi", "rawvideo"}};
    const QStringList filters = {"AVI (*.avi)", "MP4 video (*.mp4)", "WebM video (*.webm)",
                                 "GIF animation (*.gif)", "Alla filer (*.*)"};
    QCOMPARE(Form->SaveDialog1->nameFilters(), filters);
    SettingsForm->CompressionCBX->setCurrentIndex(0);
    for (const auto& c : cases) {
      Record(NumberedPictures(6), true);
      const std::string folder = Temp->File("formats") + std::to_string(c.Filter);
      std::filesystem::create_directory(folder);
      QTimer::singleShot(0, [&] {
        QFileDialog& dialog = *Form->SaveDialog1;
        QTRY_VERIFY(dialog.isVisible());
        dialog.setDirectory(QString::fromStdString(folder));
        ChooseFilter(dialog, c.Filter);
        dialog.findChild<QLineEdit*>("fileNameEdit")->setText(c.Name);
        // No sound in this recording: nothing is said of it.
        QCOMPARE(Form->SaveDialog1->SoundNote(), QString());
        static_cast<QDialog&>(dialog).accept();
      });
      Form->SaveBtn->click();
      Form->WaitForExport();
      const std::string file = folder + "/" + c.File;
      QVERIFY2(std::filesystem::exists(file), c.File);
      const std::string probed = ProbeVideo(file);
      QVERIFY2(probed.find(std::string("codec_name=") + c.Codec) != std::string::npos, probed.c_str());
      QVERIFY2(probed.find("nb_read_frames=6") != std::string::npos, probed.c_str());
      QCOMPARE(Form->FrameCount(), 0);
      QCOMPARE(Form->ProgressBar1->value(), 6);
    }
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestExport>(argc, argv, 1024, 768);
}

#include "export_test.moc"
