// A recording with sound, from the program's windows to the exported AVI:
// the area's colour flips as a click plays, and in the AVI the click lies
// within one frame time of the frame where the colour changed.
#include <QApplication>
#include <QTest>
#include <cmath>

#include <QLineEdit>

#include "Main_F.h"
#include "areaform_f.h"
#include "platform/registry.h"
#include "qt_test_support.h"
#include "save_dialog.h"
#include "settings_f.h"
#include "sound_server.h"

namespace {

const TXServer* Server = nullptr;
const TTempFolder* Temp = nullptr;

}  // namespace

class TestSound : public QObject {
  Q_OBJECT

 public:
  TestSound(const TXServer& server, const TTempFolder& temp) {
    Server = &server;
    Temp = &temp;
    unsetenv("PULSE_SERVER");  // no sound server but the tests' own
  }

 private:
  std::unique_ptr<TMainForm> Form;

  void AreaAndRate(int rate) {
    SettingsForm->FPSSpin->setValue(rate);
    SettingsForm->CursorCB->setChecked(false);
    MarkArea(*Form, QPoint(100, 100), QPoint(260, 220));
  }
  std::string Export(const std::string& name) {
    const std::string avi = Temp->File(name);
    SaveRecording(*Form, avi);
    return avi;
  }
  void Paint(uint32_t grey) {
    Server->PaintRoot([grey](int32_t, int32_t) { return grey * 0x010101u; });
  }

  // Records desktop audio at rate pictures a second; after waitMs the
  // area's colour flips four times, a click played with each, and the
  // exported AVI has each click within a frame time of its flip. With
  // stall, the microphone is recorded too and stops giving sound for about
  // three seconds, from after the first click to before the third.
  void Sync(int rate, int waitMs, bool stall = false) {
    TSoundServer sound;
    const std::string click = Temp->File("click.wav");
    RunCommand("sox -n -r 48000 -c 2 -b 16 '" + click + "' synth 0.02 square 700 vol 0.9");
    AreaAndRate(rate);
    SettingsForm->SoundCBX->setCurrentIndex(stall ? 3 : 2);
    SettingsForm->JpegCB->setChecked(true);
    TMessageBoxes boxes;
    // The bar shows each tick's level for one tick only: every value it took counts.
    int loudest = 0;
    const QMetaObject::Connection watch =
        QObject::connect(Form->SoundLevel, &QProgressBar::valueChanged,
                         [&loudest](int value) { loudest = std::max(loudest, value); });
    Form->RecordBtnClick();
    // A fresh null output takes its first seconds to run at a low latency:
    // what is played then comes late. Not what is measured here.
    QTest::qWait(waitMs);
    for (int flip = 0; flip < 4; ++flip) {
      if (stall && flip == 1) {
        QTest::qWait(300);
        sound.Pactl("suspend-source microphone 1");
        QTest::qWait(1400);
      } else if (stall && flip == 2) {
        QTest::qWait(1300);
        sound.Pactl("suspend-source microphone 0");
        QTest::qWait(400);
      } else {
        QTest::qWait(1700);
      }
      Paint(flip % 2 ? 0x20 : 0xE0);
      sound.Play(click, "desktop");
    }
    // The level bar showed the clicks.
    QTRY_VERIFY(loudest > 30);
    QObject::disconnect(watch);
    QTest::qWait(1000);
    Form->StopRecordingBtnClick();
    QCOMPARE(boxes.Texts, QStringList());
    const int32_t frameTime = 1000 / rate;
    const std::string avi = Export((stall ? "stall" : "sync") + std::to_string(rate) + ".avi");
    const std::vector<double> changes = ColourChanges(avi, frameTime), clicks = Clicks(avi);
    QCOMPARE(changes.size(), size_t(4));
    QCOMPARE(clicks.size(), size_t(4));
    double worst = 0, sum = 0;
    for (size_t i = 0; i < 4; ++i) {
      const double offset = clicks[i] - changes[i];
      worst = std::max(worst, std::abs(offset));
      sum += offset;
      QVERIFY2(std::abs(offset) <= frameTime / 1000.0,
               qPrintable(QString("click %1 is %2 ms from its picture").arg(i).arg(offset * 1000)));
    }
    qInfo("%d/s after %d s%s: mean offset %.1f ms, worst %.1f ms", rate, waitMs / 1000,
          stall ? ", the microphone stalled" : "", sum / 4 * 1000, worst * 1000);
  }

 private slots:
  void init() {
    Paint(0x20);
    StartWindow(Form);
  }
  void cleanup() { CloseWindow(Form); }

  // The click goes to the desktop's output, recorded as desktop audio.
  void TheSoundStaysWithThePictures_data() {
    QTest::addColumn<int>("rate");
    QTest::newRow("8 a second") << 8;
    QTest::newRow("20 a second") << 20;
  }
  void TheSoundStaysWithThePictures() {
    QFETCH(int, rate);
    Sync(rate, 1500);
  }

  // The same after five minutes of recording: nothing has drifted apart.
  void TheSoundStaysWithThePicturesForMinutes() {
    if (!getenv("PELIMAR_LONG_SOUND")) QSKIP("a long run, labelled large");
    Sync(8, 300000);
  }

  // Desktop audio mixed with a microphone that stalls for a while: the
  // desktop's clicks stay in their places, during the stall and after it.
  void TheSoundStaysWithThePicturesWhenASourceStalls() { Sync(8, 1500, true); }

  // Saved as MP4 the sound goes with the pictures; the dialog says that a
  // GIF would leave it out while a GIF is chosen.
  void SharedVideosKeepTheSoundButAGifSaysItHasNone() {
    TSoundServer sound;
    AreaAndRate(8);
    SettingsForm->SoundCBX->setCurrentIndex(2);
    Form->RecordBtnClick();
    QTest::qWait(2500);
    Form->StopRecordingBtnClick();
    QStringList notes;
    const std::string mp4 = Temp->File("shared.mp4");
    QTimer::singleShot(0, [&] {
      TSaveDialog& dialog = *Form->SaveDialog1;
      QTRY_VERIFY(dialog.isVisible());
      auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
      for (const char* typed : {"shared.gif", "shared.mp4", "shared.GIF"}) {
        name->setText(typed);
        notes << dialog.SoundNote();
      }
      dialog.selectFile(QString::fromStdString(mp4));
      static_cast<QDialog&>(dialog).accept();
    });
    Form->SaveBtn->click();
    Form->WaitForExport();
    const QString gif = "A GIF animation has no sound: the recording's sound is left out.";
    QCOMPARE(notes, (QStringList{gif, QString(), gif}));
    QCOMPARE(
        RunCommand("ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 '" + mp4 + "'"),
        std::string("h264,video\naac,audio\n"));
  }

  void WithoutSoundTheVideoHasNone() {
    TSoundServer sound;
    AreaAndRate(8);
    Form->RecordBtnClick();
    QTest::qWait(500);
    Form->StopRecordingBtnClick();
    const std::string avi = Export("silent.avi");
    QCOMPARE(RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + avi + "'"),
             std::string("video\n"));
    // The setting is kept with the others.
    SettingsForm->SoundCBX->setCurrentIndex(3);
    Form->close();
    TRegistry registry;
    QVERIFY(registry.OpenKey("software\\quorvane\\Sorvek", false));
    QCOMPARE(registry.ReadInteger("Sound"), 3);
  }

  // No server: the recording does not start, and the box names the sound.
  // A server that goes while recording: the pictures go on, one message.
  void WhenTheSoundIsNotThere() {
    AreaAndRate(8);
    SettingsForm->SoundCBX->setCurrentIndex(1);
    {
      TMessageBoxes boxes;
      Form->RecordBtn->click();
      QTRY_COMPARE(boxes.Texts,
                   QStringList("Cannot record the sound \"Microphone\": no sound server answers."));
      QVERIFY(!Form->RecordTimer->isActive());
      QVERIFY(Form->RecordBtn->isEnabled());
      QCOMPARE(Form->FrameCount(), 0);
    }
    TSoundServer sound;
    TMessageBoxes boxes;
    Form->RecordBtnClick();
    QTest::qWait(2500);  // a fresh server's sound flows after a second or two
    sound.Kill();
    const int32_t before = Form->FrameCount();
    QTest::qWait(1000);
    QVERIFY(Form->RecordTimer->isActive());
    QVERIFY(Form->FrameCount() > before);
    QCOMPARE(boxes.Texts, QStringList("Error: The sound stopped: the sound server went away"));
    Form->StopRecordingBtnClick();
    QTest::qWait(100);
    QCOMPARE(boxes.Texts.size(), 1);
    const std::string avi = Export("cut.avi");
    QCOMPARE(RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + avi + "'"),
             std::string("video\naudio\n"));
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestSound>(argc, argv, 1280, 1024);
}

#include "sound_test.moc"
