// Saving a recording as an AVI file, read back with ffprobe and ffmpeg.
#include <QApplication>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Main_F.h"
#include "frame_store.h"
#include "image/picture_files.h"
#include "image_box.h"
#include "platform/registry.h"
#include "qt_support.h"
#include "qt_test_support.h"
#include "sample_pictures.h"
#include "settings_f.h"
#include "test_support.h"
#include "x_server.h"

namespace {

// A picture that tells its index by its colours, in flat blocks that JPEG
// keeps close to their values.
TBitmap Numbered(int32_t width, int32_t height, int index) {
  TBitmap picture(width, height, pf32bit);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      picture.SetPixel(x, y,
                       RGBQUAD{static_cast<uint8_t>((index * 5) & 0xFF), static_cast<uint8_t>((x / 8) * 16),
                               static_cast<uint8_t>((y / 8) * 16), 0});
  return picture;
}

// What ffprobe says of the video stream, as "key=value" lines.
std::string Probe(const std::string& path) {
  return RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=codec_name,width,height,time_base,nb_read_frames -of default=nw=1 '" +
      path + "'");
}

// Frame index of the file as 24-bit BGR rows, top row first.
std::string FrameBytes(const std::string& path, int index) {
  return RunCommand("ffmpeg -v error -i '" + path + "' -vf 'select=eq(n\\," + std::to_string(index) +
                    ")' -frames:v 1 -f rawvideo -pix_fmt bgr24 -");
}

std::string PictureBytes(const TBitmap& picture) {
  std::string bytes;
  for (int32_t y = 0; y < picture.Height(); ++y)
    for (int32_t x = 0; x < picture.Width(); ++x) {
      RGBQUAD c = picture.Pixel(x, y);
      bytes += {static_cast<char>(c.rgbBlue), static_cast<char>(c.rgbGreen), static_cast<char>(c.rgbRed)};
    }
  return bytes;
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

class TestExport : public QObject {
  Q_OBJECT

 public:
  TestExport(const TXServer&, const TTempFolder& temp) : Temp(&temp) {}

 private:
  const TTempFolder* Temp;

  std::unique_ptr<TMainForm> Form;

  // A stopped recording of the given pictures, stored as the ticks store them.
  void Record(const std::vector<TBitmap>& pictures, bool jpeg) {
    for (const TBitmap& picture : pictures) Form->FFrames.push_back(StorePicture(picture, jpeg));
    Form->SaveBtn->setEnabled(true);
  }
  std::vector<TBitmap> NumberedPictures(int count, int32_t width = 64, int32_t height = 48) {
    std::vector<TBitmap> pictures;
    for (int i = 0; i < count; ++i) pictures.push_back(Numbered(width, height, i));
    return pictures;
  }
  // Presses Save and answers the file dialog with path, or cancels it when
  // path is empty; message boxes are answered with answer.
  QStringList Save(const std::string& path, QMessageBox::StandardButton answer = QMessageBox::Ok) {
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
    TMessageBoxes boxes(answer);
    Form->SaveBtn->click();
    return boxes.Texts;
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
  void init() {
    std::filesystem::remove(HivePath());
    Form = std::make_unique<TMainForm>();
    Form->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form.get()));
  }
  void cleanup() {
    Form->close();
    Form.reset();
  }

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
      const std::string probe = Probe(path);
      QVERIFY2(probe.find(std::string("codec_name=") + c.codec) != std::string::npos, probe.c_str());
      QVERIFY2(probe.find("width=64\nheight=48\n") != std::string::npos, probe.c_str());
      QVERIFY2(probe.find(std::string("time_base=") + c.frameRate) != std::string::npos, probe.c_str());
      QVERIFY2(probe.find("nb_read_frames=5") != std::string::npos, probe.c_str());
    }
  }

  void ProgressMovesByTwentiesAndPreviewsThePictureReached() {
    for (int count : {45, 40, 1}) {
      Record(NumberedPictures(count), true);
      const std::vector<std::string> files = Form->Frames();
      const TBitmap first = LoadPictureFile(files[0], pf32bit);
      std::vector<int32_t> reports;
      QStringList labels;
      Form->AviWriter->OnProgress = [&](TAviFileWriter& sender, int32_t frameCount, bool& abort) {
        labels << Form->ProgressLabel->text();
        Form->AviWriterProgress(sender, frameCount, abort);
        reports.push_back(frameCount);
        QCOMPARE(Form->ProgressBar1->value(), frameCount);
        if (frameCount < count)
          QCOMPARE(Form->StatusImg->Picture(),
                   ToQImage(LoadPictureFile(files[static_cast<size_t>(frameCount)])));
      };
      const std::string path = Temp->File("progress" + std::to_string(count) + ".avi");
      QVERIFY(Save(path).isEmpty());
      QCOMPARE(Form->ProgressBar1->maximum(), count);
      // While adding: every twentieth picture; the label keeps its text.
      std::vector<int32_t> adding;
      for (int i = 20; i <= count; i += 20) adding.push_back(i);
      QVERIFY(reports.size() >= adding.size());
      QCOMPARE(std::vector<int32_t>(reports.begin(), reports.begin() + static_cast<long>(adding.size())),
               adding);
      // While writing: the writer's reports, ending at the count for 45 and 40.
      QVERIFY(reports.size() > adding.size());
      QCOMPARE(labels[static_cast<qsizetype>(adding.size())], QString("Writing file..."));
      // The save's last report is 45 of 45, but 39 of 40 (40 x 0.01 x 100
      // falls just short in binary); the label says "Done..." either way.
      if (count == 45) QCOMPARE(reports.back(), 45);
      if (count == 40) QCOMPARE(reports.back(), 39);
      QCOMPARE(Form->ProgressLabel->text(), QString("Done..."));
      QVERIFY(Probe(path).find("nb_read_frames=" + std::to_string(count)) != std::string::npos);
      // The first frame is the first picture, as JPEG gave it back.
      QVERIFY(FrameBytes(path, 0) == PictureBytes(first));
    }
  }

  // The video takes the first picture's size; others are centred on black
  // or cropped, never scaled. JPEG and BMP pictures mix in one recording.
  void PicturesOfOtherSizesAndKindsAreCentred() {
    const TBitmap pictures[] = {Numbered(40, 30, 1), Numbered(60, 50, 2), Numbered(20, 10, 3)};
    Record({pictures[0]}, false);
    Record({pictures[1]}, true);
    Record({pictures[2]}, false);
    SettingsForm->JpegCB->setChecked(true);
    // The JPEG picture as it decodes, cropped to the middle of it.
    TBitmap cropped(40, 30, pf32bit);
    cropped.Draw(-10, -10, LoadPictureFile(Form->Frames()[1], pf32bit));
    TBitmap centred(40, 30, pf32bit);
    centred.FillRect(TRect(0, 0, 40, 30), RGBQUAD{0, 0, 0, 0});
    centred.Draw(10, 10, pictures[2]);
    const std::string path = Temp->File("sizes.avi");
    QVERIFY(Save(path).isEmpty());
    QVERIFY(Probe(path).find("width=40\nheight=30\ntime_base=1/8\nnb_read_frames=3") != std::string::npos);
    QVERIFY(FrameBytes(path, 0) == PictureBytes(pictures[0]));
    QVERIFY(FrameBytes(path, 1) == PictureBytes(cropped));
    QVERIFY(FrameBytes(path, 2) == PictureBytes(centred));
  }

  // A failed export keeps the recording and leaves the writer with nothing
  // open, so the next try starts afresh and succeeds.
  void AFailedExportKeepsTheRecordingForTheNextTry() {
    Record(NumberedPictures(25), true);
    SettingsForm->PixelFormatCBX->setCurrentIndex(4);  // "16 bit"
    QCOMPARE(Save(Temp->File("refused.avi")), QStringList{"Pixelformat not supported."});
    const std::vector<std::string> descriptors = OpenFiles(Temp->Path());
    VerifyRecordingKept(25);
    QVERIFY(!std::filesystem::exists(Temp->File("refused.avi")));

    // A picture that cannot be read ends the export half-way.
    SettingsForm->PixelFormatCBX->setCurrentIndex(5);  // "24 bit"
    const std::string broken = Form->Frames()[22];
    std::filesystem::rename(broken, broken + ".away");
    std::ofstream(broken) << "not a picture";
    const QStringList messages = Save(Temp->File("broken.avi"));
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages[0].contains("neither a JPEG nor a Windows bitmap"), qPrintable(messages[0]));
    VerifyRecordingKept(25);
    QVERIFY(!std::filesystem::exists(Form->AviWriter->TempFileName()));
    QCOMPARE(OpenFiles(Temp->Path()), descriptors);

    std::filesystem::rename(broken + ".away", broken);
    QVERIFY(Save(Temp->File("mended.avi")).isEmpty());
    QVERIFY(Probe(Temp->File("mended.avi")).find("nb_read_frames=25") != std::string::npos);
    QVERIFY(Form->Frames().empty());
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
    QVERIFY(Probe(path).find("nb_read_frames=2") != std::string::npos);
    // The name chosen last is proposed again.
    Record(NumberedPictures(1), true);
    QTimer::singleShot(0, [this, path] {
      QTRY_VERIFY(Form->SaveDialog1->isVisible());
      QCOMPARE(Form->SaveDialog1->selectedFiles().value(0), QString::fromStdString(path));
      Form->SaveDialog1->reject();
    });
    Form->SaveBtn->click();
  }
};

int main(int argc, char** argv) {
  Q_INIT_RESOURCE(pelimar);
  return RunQtSuite<TestExport>(argc, argv, 1024, 768);
}

#include "export_test.moc"
