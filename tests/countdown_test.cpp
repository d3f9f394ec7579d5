// The countdown before the first picture.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <chrono>

#include "Main_F.h"
#include "areaform_f.h"
#include "countdown_f.h"
#include "image/picture_files.h"
#include "qt_test_support.h"
#include "settings_f.h"
#include "test_support.h"

class TestCountdown : public TWindowSuite {
  Q_OBJECT

 public:
  using TWindowSuite::TWindowSuite;

 private:
  uint32_t Color(const TBitmap& picture, int32_t x, int32_t y) {
    RGBQUAD c = picture.Pixel(x, y);
    return (static_cast<uint32_t>(c.rgbRed) << 16) | (static_cast<uint32_t>(c.rgbGreen) << 8) | c.rgbBlue;
  }

 private slots:
  // With a delay, a countdown comes first, never in a picture: over an area
  // that fills the screen it goes before the first picture; a smaller area
  // has it beside. Stop during the countdown leaves the recording before.
  void ACountdownComesFirstAndNeverShowsInAPicture() {
    SettingsForm->JpegCB->setChecked(false);  // the pictures' colours exactly
    SettingsForm->FPSSpin->setValue(20);
    SettingsForm->DelaySpin->setValue(2);
    MarkArea(*Form, QPoint(0, 0), QPoint(1279, 1023));
    const auto clicked = std::chrono::steady_clock::now();
    Form->RecordBtnClick();
    QVERIFY(Form->CountingDown() && Form->Countdown->isVisible());
    QCOMPARE(Form->Countdown->text(), QString("2"));
    QVERIFY(!Form->PauseAction->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(Form->Countdown->text(), QString("1"), 3000);
    QTRY_VERIFY_WITH_TIMEOUT(Form->FrameCount() >= 5, 8000);
    Form->StopRecordingBtnClick();
    const auto first =
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(Form->Session().PictureTimes().at(0)));
    QVERIFY(first - clicked >= std::chrono::milliseconds(1950));  // not one picture before its end
    const int recorded = Form->FrameCount();
    for (const std::string& path : Form->Frames()) {
      const TBitmap picture = LoadPictureFile(path);
      for (int32_t y = 0; y < picture.Height(); y += 2)
        for (int32_t x = 0; x < picture.Width(); x += 2)
          QVERIFY2(Color(picture, x, y) != 0x8b1010, path.c_str());
    }
    QVERIFY(!Form->Countdown->isVisible());

    MarkArea(*Form, QPoint(200, 200), QPoint(400, 300));
    Form->RecordBtnClick();
    QVERIFY(Form->Countdown->isVisible());
    QVERIFY(!Form->Countdown->frameGeometry().intersects(QRect(188, 188, 224, 124)));
    QVERIFY(!Form->SaveBtn->isEnabled());
    Form->StopRecordingBtnClick();
    QVERIFY(!Form->CountingDown() && !Form->Countdown->isVisible());
    QTest::qWait(2500);
    QCOMPARE(Form->FrameCount(), recorded);  // nothing recorded, nothing lost
    QCOMPARE(Form->frameslabel->text(), QString("Pictures: %1 st.").arg(recorded));
    QVERIFY(Form->SaveBtn->isEnabled() && Form->RecordBtn->isEnabled() && !Form->RecordTimer->isActive());
    Form->ClearFrames();
  }
};

int main(int argc, char** argv) {
  return RunQtSuite<TestCountdown>(argc, argv, 1280, 1024);
}

#include "countdown_test.moc"
